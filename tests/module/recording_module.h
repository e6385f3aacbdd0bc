// A module whose datagrams are recorded instead of sent, and helpers that deliver requests to
// it the way the server's request step does (bytes in network order, filter, handle_request).
#pragma once

#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "module/DAQmodule.h"

struct SentDatagram {
    std::string address;
    int port = 0;
    std::vector<uint8_t> bytes;

    // The datagram's words in host order.
    std::vector<uint16_t> words() const {
        std::vector<uint16_t> result(bytes.size() / 2);
        for (size_t i = 0; i < result.size(); ++i) {
            result[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
        }
        return result;
    }
    bool is_data() const { return bytes.size() >= 4 && bytes[3] == 14; }
    bool is_ack() const { return bytes.size() == 16 && (bytes[3] & 0x80) != 0; }
};

class RecordingModule : public DAQmodule {
  public:
    explicit RecordingModule(int chip_type = 5) : DAQmodule("lo", 10000, chip_type) {}

    int send_packet(const std::string& address, int port, const char* data, int length) override {
        SentDatagram datagram;
        datagram.address = address;
        datagram.port = port;
        datagram.bytes.assign(data, data + length);
        sent.push_back(std::move(datagram));
        return 0;
    }

    std::vector<SentDatagram> data_packets() const {
        std::vector<SentDatagram> result;
        for (const SentDatagram& datagram : sent) {
            if (datagram.is_data()) result.push_back(datagram);
        }
        return result;
    }

    std::vector<SentDatagram> sent;
};

// Network-order bytes of the given host-order words.
inline std::vector<char> wire_request(const std::vector<uint16_t>& words) {
    std::vector<char> bytes(2 * words.size());
    for (size_t i = 0; i < words.size(); ++i) {
        const uint16_t word = htons(words[i]);
        std::memcpy(bytes.data() + 2 * i, &word, 2);
    }
    return bytes;
}

// One request step without the socket: the received bytes go through filter() and then
// handle_request(), as process_request() passes them.
inline void deliver(DAQmodule& module, const std::string& sender, unsigned short port,
                    std::vector<char> bytes) {
    module.filter(bytes.data(), static_cast<int>(bytes.size()));
    module.handle_request(sender, port, bytes.data(), static_cast<int>(bytes.size()));
}

inline void deliver(DAQmodule& module, const std::vector<uint16_t>& words,
                    const std::string& sender = "127.0.0.1", unsigned short port = 4660) {
    deliver(module, sender, port, wire_request(words));
}

// Runs `action` with standard output captured and returns what it printed.
inline std::string printed_by(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

// Iterates the default main context until `done` holds or the time runs out; true when done.
inline bool pump_until(const std::function<bool()>& done, double seconds = 10.0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (long turns = 0; turns < 100000000L; ++turns) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) break;
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(200);
    }
    return done();
}

// Iterates the default main context for the given time, whatever happens.
inline void pump_for(double seconds) {
    pump_until([] { return false; }, seconds);
}
