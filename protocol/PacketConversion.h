// Byte order and text form of packets. Inside the program words are in host order; on the
// wire every word is in network order (high byte first).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class BasePacket;

using WireWords = std::unique_ptr<uint16_t[]>;

// The wire form of a packet object: size() / 2 words in network order, the last one the
// trailer 0xACAB. `length` receives the length in bytes (0 for an unregistered
// configuration packet, whose array is then empty).
WireWords convert_packet(const BasePacket* packet, int& length);

// A network-order copy of `length` bytes of host-order words. No trailer is added; a final odd
// byte is not copied. The array has room for an even number of words.
WireWords convert_packet(const char* data, int length);

// Turns the whole words of a received datagram from network to host order, in place; a final
// odd byte is left as it is.
void to_host_order(char* data, int length);

// "[ " then each of the length / 2 host-order words in lower-case hexadecimal, right-aligned
// in four places and followed by a blank, then "]".
std::string dump_packet(const char* data, int length);
