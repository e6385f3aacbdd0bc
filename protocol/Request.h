// A received request in host order, read word by word. Words beyond the datagram read as 0,
// so no handler ever takes a byte that the datagram did not carry.
#pragma once

#include <cstdint>

#include "protocol/ModuleRequest.h"

namespace daq {

class Request {
  public:
    Request(const char* data, int size) : data_(data), size_(size) {}

    // Word n counted from the magic word; 0 when the datagram does not hold all of it.
    uint16_t word(int n) const;
    // The command code: the low byte of word 1.
    uint8_t code() const { return static_cast<uint8_t>(word(1) & 0xFF); }
    // The hybrid id of the commands that address a hybrid: the high byte of word 2.
    uint8_t hybrid() const { return static_cast<uint8_t>(word(2) >> 8); }
    // The code and the two parameter words, whose fields ModuleRequest reads.
    ModuleRequest fields() const { return {code(), word(2), word(3)}; }

    const char* data() const { return data_; }
    int size() const { return size_; }

  private:
    const char* data_;
    int size_;
};

}  // namespace daq
