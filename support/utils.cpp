#include "support/utils.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "support/Vantor.h"

namespace {

void log_error(const std::string& message) {
    Vantor::ostream log;
    log << Vantor::loglevel(Vantor::Log::Error) << message << std::endl;
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

std::vector<std::string> list_ipv4_addresses() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        log_error("get_ip_address: Unexpected error");
        return addresses;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        char text[22] = {};
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)) != nullptr) {
            addresses.emplace_back(text);
        }
    }
    freeifaddrs(list);
    return addresses;
}

std::string choose_ip_address(const std::vector<std::string>& addresses) {
    std::string result;
    std::string loopback;
    for (const std::string& text : addresses) {
        if (starts_with(text, "11.")) result = text;
        if (starts_with(text, "127.")) loopback = text;
        std::printf("-> %s\n", text.c_str());
    }
    std::fflush(stdout);
    if (result.empty() && !loopback.empty()) result = loopback;
    return result;
}

std::string get_ip_address(const std::string& /*interface*/) {
    return choose_ip_address(list_ipv4_addresses());
}

void DAQwait(double seconds) {
    timeval timeout;
    timeout.tv_sec = static_cast<int>(std::floor(seconds));
    timeout.tv_usec = static_cast<int>(std::fmod(seconds, 1.0) * 1000000.0);
    errno = 0;
    int result = select(0, nullptr, nullptr, nullptr, &timeout);
    if (result != 0 && errno != 0 && errno != EINTR && errno != EINVAL) {
        log_error(std::string("DAQwait: ") + std::strerror(errno));
    }
}

double time_elapsed(const timeval* since) {
    timeval now;
    gettimeofday(&now, nullptr);
    return seconds_between(*since, now);
}

double seconds_between(const timeval& since, timeval now) {
    if (now.tv_usec < since.tv_usec) {
        now.tv_usec += 1000000;
        now.tv_sec -= 1;
    }
    return static_cast<double>(now.tv_sec - since.tv_sec) +
           static_cast<double>(now.tv_usec - since.tv_usec) / 1000000.0;
}

std::string get_this_host() {
    char name[1024] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) {
        log_error("get_this_host: gethostname fails");
        return std::string();
    }
    std::cout << "Host name " << name << std::endl;
    return name;
}
