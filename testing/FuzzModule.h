// What both fuzz targets share besides the capturing module: the check of its
// sends, a reader that cuts the fuzzer's input into settings and datagrams, a random source
// that replays, and the cleanup of a module driven outside a loop.
#pragma once

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "server/DAQServer.h"
#include "support/RandomSequence.h"
#include "testing/CapturingModule.h"

namespace fuzz {

// The capturing module of both targets: each datagram sent is counted, checked to be a whole
// packet and read byte by byte, never recorded and never sent.
constexpr Capture kCheckEverySend{.check = true};

// A datagram that is not a whole packet is a finding, so it stops the fuzzer; `after` says
// what sent it.
inline void require_whole_packets(const CapturingModule& module, const char* after) {
    if (module.malformed() == 0) return;
    std::fprintf(stderr, "sent %llu malformed datagrams after %s\n",
                 static_cast<unsigned long long>(module.malformed()), after);
    std::abort();
}

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

inline void restart_random() { random_state() = 0x5DEECE66DULL; }

// Makes `random` draw from that generator.
inline void draw_replayably(RandomSequence& random) {
    random.set_integer_source(replayable_source);
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
inline void destroy(std::unique_ptr<CapturingModule>& module) {
    void* key = module.get();
    module.reset();
    while (g_idle_remove_by_data(key)) {
    }
}

}  // namespace fuzz
