// Byte views of word arrays, for comparing converted packets with the bytes on the wire.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

inline std::vector<uint8_t> wire_bytes(const uint16_t* words, int length) {
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    std::memcpy(bytes.data(), words, bytes.size());
    return bytes;
}

// Host-order words laid out in memory as a received or built buffer would hold them.
inline std::vector<char> host_words(const std::vector<uint16_t>& words) {
    std::vector<char> bytes(2 * words.size());
    std::memcpy(bytes.data(), words.data(), bytes.size());
    return bytes;
}
