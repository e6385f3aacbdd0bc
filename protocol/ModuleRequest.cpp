#include "protocol/ModuleRequest.h"

#include "protocol/PacketConversion.h"

namespace daq {

namespace {

uint16_t hybrid_byte(unsigned hybrid) { return static_cast<uint16_t>((hybrid & 0xFFu) << 8); }

void put_word(std::array<uint8_t, ModuleRequest::kWireBytes>& bytes, size_t i, uint16_t word) {
    bytes[2 * i] = static_cast<uint8_t>(word >> 8);
    bytes[2 * i + 1] = static_cast<uint8_t>(word & 0xFF);
}

}  // namespace

ModuleRequest ModuleRequest::discovery() { return {packet::kDiscovery, 0, 0}; }

ModuleRequest ModuleRequest::no_action() { return {packet::kNoAction, 0, 0}; }

ModuleRequest ModuleRequest::stream_configuration(const StreamConfiguration& fields) {
    return {packet::kConfigureStream,
            static_cast<uint16_t>(hybrid_byte(fields.hybrid) | (fields.chip_type & 0xFu) << 4),
            static_cast<uint16_t>((fields.chips & 0xFFu) << 8)};
}

StreamConfiguration ModuleRequest::stream_configuration() const {
    return {hybrid(), (word2 >> 4) & 0xFu, static_cast<unsigned>(word3 >> 8)};
}

ModuleRequest ModuleRequest::readout_mode(const ReadoutModeSetting& fields) {
    return {packet::kReadoutMode,
            static_cast<uint16_t>(hybrid_byte(fields.hybrid) | (fields.mode & 0xFu)),
            static_cast<uint16_t>(fields.nadj)};
}

ReadoutModeSetting ModuleRequest::readout_mode() const { return {hybrid(), word2 & 0xFu, word3}; }

ModuleRequest ModuleRequest::daq_command(unsigned hybrid, bool start) {
    return {packet::kDaqCommand, hybrid_byte(hybrid), static_cast<uint16_t>(start ? 1 : 0)};
}

ModuleRequest ModuleRequest::setting(uint8_t code, unsigned hybrid, uint16_t value) {
    return {code, hybrid_byte(hybrid), value};
}

std::array<uint8_t, ModuleRequest::kWireBytes> ModuleRequest::wire() const {
    std::array<uint8_t, kWireBytes> bytes = {};
    put_word(bytes, 0, packet::kMagic);
    put_word(bytes, 1, code);
    put_word(bytes, 2, word2);
    put_word(bytes, 3, word3);
    put_word(bytes, 4, packet::kTrailer);
    return bytes;
}

std::optional<ModuleRequest> ModuleRequest::parse(const uint8_t* bytes, size_t length) {
    if (length < 8 || wire_word(bytes, length, 0) != packet::kMagic) return std::nullopt;
    return ModuleRequest{static_cast<uint8_t>(wire_word(bytes, length, 1) & 0xFF),
                         wire_word(bytes, length, 2), wire_word(bytes, length, 3)};
}

}  // namespace daq
