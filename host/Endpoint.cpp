#include "daqhost/Endpoint.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <utility>

namespace daq {

std::string Endpoint::address_text() const {
    char text[INET_ADDRSTRLEN] = {};
    const in_addr in = {htonl(address)};
    inet_ntop(AF_INET, &in, text, sizeof(text));
    return text;
}

std::string Endpoint::text() const { return address_text() + ":" + std::to_string(port); }

sockaddr_in Endpoint::sockaddr() const {
    sockaddr_in result = {};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    result.sin_addr.s_addr = htonl(address);
    return result;
}

Endpoint Endpoint::from(const sockaddr_in& address) {
    return {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

std::optional<Endpoint> Endpoint::parse(const std::string& address, uint16_t port) {
    in_addr in = {};
    if (inet_pton(AF_INET, address.c_str(), &in) != 1) return std::nullopt;
    return Endpoint{ntohl(in.s_addr), port};
}

std::optional<Endpoint> Endpoint::parse_with_port(const std::string& text, uint16_t port,
                                                  uint16_t lowest_port) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return parse(text, port);
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const unsigned long number = std::stoul(digits);
    if (number < lowest_port || number > 65535) return std::nullopt;
    return parse(text.substr(0, colon), static_cast<uint16_t>(number));
}

std::vector<Endpoint> Endpoint::resolve(const std::string& name, uint16_t port,
                                        std::string& error) {
    Resolution found = look_up(name, port);
    error = found.error;
    return std::move(found.endpoints);
}

Endpoint::Resolution Endpoint::look_up(const std::string& name, uint16_t port) {
    Resolution found;
    if (name.empty()) {
        found.error = "no name to resolve";
        return found;
    }
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* results = nullptr;
    const int status = getaddrinfo(name.c_str(), nullptr, &hints, &results);
    if (status != 0) {
        found.error = "cannot resolve " + name + ": " + gai_strerror(status);
        // The name does not exist, or has no address: an answer all the same.
        found.failed = status != EAI_NONAME && status != EAI_NODATA;
        return found;
    }
    for (const addrinfo* a = results; a != nullptr; a = a->ai_next) {
        Endpoint endpoint = from(*reinterpret_cast<const sockaddr_in*>(a->ai_addr));
        endpoint.port = port;
        if (std::find(found.endpoints.begin(), found.endpoints.end(), endpoint) ==
            found.endpoints.end()) {
            found.endpoints.push_back(endpoint);
        }
    }
    freeaddrinfo(results);
    if (found.endpoints.empty()) found.error = name + " resolves to no IPv4 address";
    return found;
}

}  // namespace daq
