// What both fuzz targets share: a module whose sends go to a counting sink instead of the
// network, a reader that cuts the fuzzer's input into settings and datagrams, and the request
// step as the event loop runs it, minus the socket.
#pragma once

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "module/DAQmodule.h"
#include "server/DAQServer.h"
#include "support/random.h"

namespace fuzz {

// Every datagram the emulator sends is a whole packet: magic first, trailer last, whole words.
// A send that breaks this is a finding, so it stops the fuzzer.
inline void check_wire_packet(const char* data, int length) {
    if (data == nullptr || length < 16 || length % 2 != 0) {
        std::fprintf(stderr, "sent a malformed datagram of %d bytes\n", length);
        std::abort();
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    const bool magic = bytes[0] == 0xCA && bytes[1] == 0xFE;
    const bool trailer = bytes[length - 2] == 0xAC && bytes[length - 1] == 0xAB;
    if (!magic || !trailer) {
        std::fprintf(stderr, "sent a datagram without magic or trailer (%d bytes)\n", length);
        std::abort();
    }
}

class SinkModule : public DAQmodule {
  public:
    explicit SinkModule(int chip_type) : DAQmodule("lo", 10000, chip_type) {}

    int send_packet(const std::string&, int, const char* data, int length) override {
        check_wire_packet(data, length);
        // Reading every byte lets the sanitizer see an array that is shorter than it claims.
        unsigned sum = 0;
        for (int i = 0; i < length; ++i) sum += static_cast<unsigned char>(data[i]);
        checksum += sum;
        ++packets;
        bytes += static_cast<uint64_t>(length);
        return 0;
    }

    uint64_t packets = 0;
    uint64_t bytes = 0;
    unsigned checksum = 0;
};

// The fuzzer's input, read front to back; past its end every read gives 0 or nothing.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return offset_ >= size_; }
    uint8_t byte() { return empty() ? 0 : data_[offset_++]; }

    // A datagram: a two-byte big-endian length, then that many bytes (fewer at the input's
    // end), at most what one request step reads.
    std::string datagram() {
        size_t length = static_cast<size_t>(byte()) << 8;
        length |= byte();
        if (length > static_cast<size_t>(DAQServer::kMaxDatagram)) {
            length = static_cast<size_t>(DAQServer::kMaxDatagram);
        }
        if (length > size_ - offset_) length = size_ - offset_;
        std::string datagram(reinterpret_cast<const char*>(data_ + offset_), length);
        offset_ += length;
        return datagram;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

// One request step as process_request runs it once a datagram has been received: an empty
// datagram reaches no hook; any other is filtered in place, then handled. The bytes are copied
// to an array of exactly their length, so that reading past the datagram is caught.
inline void deliver(DAQmodule& module, const std::string& datagram, unsigned short port) {
    const int length = static_cast<int>(datagram.size());
    if (length == 0) return;
    std::unique_ptr<char[]> buffer(new char[datagram.size()]);
    std::memcpy(buffer.get(), datagram.data(), datagram.size());
    module.filter(buffer.get(), length);
    module.handle_request("127.0.0.1", port, buffer.get(), length);
}

// A small generator restarted for every input, so that an input replays the same draws and a
// finding reproduces from its file alone.
inline uint64_t& random_state() {
    static uint64_t state = 0;
    return state;
}

inline int replayable_source() {
    uint64_t& state = random_state();
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((state >> 33) & 0x7FFF);
}

inline void restart_random() {
    random_state() = 0x5DEECE66DULL;
    set_integer_source(replayable_source);
}

// The module's log lines would drown the fuzzer's own report; they are still formatted.
inline void silence_stdout() {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
}

// Destroys the module and every idle source still registered for it: the targets call the
// generators directly rather than from a loop, so a generator that removed itself by its
// result is still registered with the default context.
inline void destroy(std::unique_ptr<SinkModule>& module) {
    void* key = module.get();
    module.reset();
    while (g_idle_remove_by_data(key)) {
    }
}

}  // namespace fuzz
