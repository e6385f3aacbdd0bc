// An IPv4 address and UDP port, both in host order, and their text form "a.b.c.d:port".
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Export.h"

namespace daq {

struct DAQ_API Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;

    std::string text() const;
    std::string address_text() const;
    sockaddr_in sockaddr() const;
    static Endpoint from(const sockaddr_in& address);
    // A dotted IPv4 address; nothing for any other text.
    static std::optional<Endpoint> parse(const std::string& address, uint16_t port);
    // "a.b.c.d" or "a.b.c.d:port" (port `lowest_port` to 65535), `port` where the text names
    // none.
    static std::optional<Endpoint> parse_with_port(const std::string& text, uint16_t port,
                                                   uint16_t lowest_port = 1);
    // Every IPv4 address that `name` resolves to (a scaled service's name, say), each once,
    // with `port`; none, with `error` set, when it does not resolve or has no IPv4 address.
    static std::vector<Endpoint> resolve(const std::string& name, uint16_t port,
                                         std::string& error);
    // The same, telling a name that has no IPv4 address (or no longer exists) from a look that
    // failed (a name server that does not answer): only the latter is `failed`.
    struct Resolution {
        std::vector<Endpoint> endpoints;
        bool failed = false;
        std::string error;
    };
    static Resolution look_up(const std::string& name, uint16_t port);

    bool operator==(const Endpoint&) const = default;
};

}  // namespace daq
