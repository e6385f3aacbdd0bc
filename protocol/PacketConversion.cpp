#include "protocol/PacketConversion.h"

#include <arpa/inet.h>

#include <cstring>

#include "protocol/BasePacket.h"

namespace daq {

WireWords convert_packet(const BasePacket* packet, int& length) {
    const int n = packet->size() / 2;
    WireWords words(new uint16_t[n > 0 ? n : 0]());
    for (int i = 0; i + 1 < n; ++i) words[i] = htons(packet->word(i));
    if (n > 0) words[n - 1] = htons(packet::kTrailer);
    length = 2 * (n > 0 ? n : 0);
    return words;
}

WireWords convert_packet(const char* data, int length) {
    const int n = length > 0 ? length / 2 : 0;
    const int rounded = n + (n % 2);
    WireWords words(new uint16_t[rounded]());
    for (int i = 0; i < n; ++i) {
        uint16_t word;
        std::memcpy(&word, data + 2 * i, sizeof(word));
        words[i] = htons(word);
    }
    return words;
}

void to_host_order(char* data, int length) {
    for (int i = 0; i < length / 2; ++i) {
        uint16_t word;
        std::memcpy(&word, data + 2 * i, sizeof(word));
        word = ntohs(word);
        std::memcpy(data + 2 * i, &word, sizeof(word));
    }
}

std::string dump_packet(const char* data, int length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text = "[ ";
    const int n = length > 0 ? length / 2 : 0;
    text.reserve(3 + 5 * static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        uint16_t word;
        std::memcpy(&word, data + 2 * i, sizeof(word));
        char field[5] = {' ', ' ', ' ', ' ', ' '};
        int position = 3;
        do {
            field[position--] = kDigits[word & 0xF];
            word = static_cast<uint16_t>(word >> 4);
        } while (word != 0);
        text.append(field, 5);
    }
    text += "]";
    return text;
}

}  // namespace daq
