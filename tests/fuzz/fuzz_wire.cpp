// Fuzz target: the wire forms of protocol/ in both directions. What one side writes, the other
// must read back the same, and what a reader accepts from arbitrary bytes must re-encode to
// those bytes, less the bits the form does not carry. A violated property traps.
//
// Input: one byte choosing the form, then what FuzzedDataProvider reads for it:
//   0  a request from arbitrary fields, through every builder, to the wire and back, as a host
//      (ModuleRequest::parse) and as the module (to_host_order, then Request) read it
//   1  arbitrary bytes as a request from the wire
//   2  an acknowledge from arbitrary fields, to the wire and back
//   3  arbitrary bytes as an acknowledge
//   4  a data packet of arbitrary header fields, mode, counts and channel values, laid out as
//      the module lays out an event, to the wire and back through DataPacketView
//   5  arbitrary bytes as a data packet, and the byte order and text form of any datagram
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "module/generation.h"
#include "protocol/Acknowledge.h"
#include "protocol/AcknowledgePacket.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacket.h"
#include "protocol/DataPacketView.h"
#include "protocol/ModuleRequest.h"
#include "protocol/PacketConversion.h"
#include "protocol/Request.h"

using namespace daq;

namespace {

// The most channels a stream carries: 255 chips of the largest kind.
constexpr int kMaxChannels = 255 * packet::kChannelsOfChipType1;
constexpr size_t kWordBytes = 2;

void require(bool property) {
    if (!property) __builtin_trap();
}

bool same(const ModuleRequest& a, const ModuleRequest& b) {
    return a.code == b.code && a.word2 == b.word2 && a.word3 == b.word3;
}

std::vector<uint8_t> wire_bytes(const BasePacket& packet) {
    int length = 0;
    const WireWords words = convert_packet(&packet, length);
    const auto* bytes = reinterpret_cast<const uint8_t*>(words.get());
    return {bytes, bytes + length};
}

// The module's reading of a request: the words turned to host order in place, then Request.
ModuleRequest as_module_reads(const uint8_t* bytes, size_t length) {
    std::vector<char> copy(bytes, bytes + length);
    to_host_order(copy.data(), static_cast<int>(copy.size()));
    return Request(copy.data(), static_cast<int>(copy.size())).fields();
}

// A request sent and read back by both readers must be the request sent.
void round_trip(const ModuleRequest& sent) {
    const auto wire = sent.wire();
    require(wire_word(wire.data(), wire.size(), 0) == packet::kMagic &&
            wire_word(wire.data(), wire.size(), 4) == packet::kTrailer);
    const std::optional<ModuleRequest> read = ModuleRequest::parse(wire.data(), wire.size());
    require(read && same(*read, sent));
    require(same(as_module_reads(wire.data(), wire.size()), sent));
}

void request_fields(FuzzedDataProvider& input) {
    const auto code = input.ConsumeIntegral<uint8_t>();
    const auto word2 = input.ConsumeIntegral<uint16_t>();
    const auto word3 = input.ConsumeIntegral<uint16_t>();
    round_trip({code, word2, word3});

    // Each builder keeps exactly the bits its fields have on the wire.
    const auto hybrid = input.ConsumeIntegral<unsigned>();
    const StreamConfiguration stream{hybrid, input.ConsumeIntegral<unsigned>(),
                                     input.ConsumeIntegral<unsigned>()};
    const ModuleRequest configure = ModuleRequest::stream_configuration(stream);
    round_trip(configure);
    const StreamConfiguration stream_read = configure.stream_configuration();
    require(configure.code == packet::kConfigureStream && stream_read.hybrid == (hybrid & 0xFF) &&
            stream_read.chip_type == (stream.chip_type & 0xF) &&
            stream_read.chips == (stream.chips & 0xFF));

    const ReadoutModeSetting mode{hybrid, input.ConsumeIntegral<unsigned>(),
                                  input.ConsumeIntegral<unsigned>()};
    const ModuleRequest readout = ModuleRequest::readout_mode(mode);
    round_trip(readout);
    const ReadoutModeSetting mode_read = readout.readout_mode();
    require(readout.code == packet::kReadoutMode && mode_read.hybrid == (hybrid & 0xFF) &&
            mode_read.mode == (mode.mode & 0xF) && mode_read.nadj == (mode.nadj & 0xFFFF));

    const bool start = input.ConsumeBool();
    const ModuleRequest command = ModuleRequest::daq_command(hybrid, start);
    round_trip(command);
    require(command.code == packet::kDaqCommand && command.hybrid() == (hybrid & 0xFF) &&
            command.starts() == start);

    const ModuleRequest setting = ModuleRequest::setting(code, hybrid, word3);
    round_trip(setting);
    require(setting.code == code && setting.hybrid() == (hybrid & 0xFF) && setting.word3 == word3);

    for (const ModuleRequest& plain : {ModuleRequest::discovery(), ModuleRequest::no_action()}) {
        round_trip(plain);
        require(plain.word2 == 0 && plain.word3 == 0);
    }
    require(command_name(code) != nullptr);
}

// A request is accepted from four words on with the magic first; it re-encodes to those words,
// but for the high byte of word 1, which carries no field, and then the trailer.
void request_bytes(const std::vector<uint8_t>& bytes) {
    const std::optional<ModuleRequest> read = ModuleRequest::parse(bytes.data(), bytes.size());
    const bool acceptable = bytes.size() >= 4 * kWordBytes &&
                            wire_word(bytes.data(), bytes.size(), 0) == packet::kMagic;
    require(read.has_value() == acceptable);
    if (!read) return;
    const auto wire = read->wire();
    std::vector<uint8_t> expected(bytes.begin(), bytes.begin() + 4 * kWordBytes);
    expected[2] = 0;
    require(std::equal(expected.begin(), expected.end(), wire.begin()));
    round_trip(*read);
    // The module reads the same request from the same bytes.
    require(same(as_module_reads(bytes.data(), bytes.size()), *read));
}

void acknowledge_fields(FuzzedDataProvider& input) {
    const auto code = input.ConsumeIntegral<uint8_t>();
    const auto error = input.ConsumeIntegral<uint16_t>();
    uint8_t version[3];
    for (uint8_t& part : version) part = input.ConsumeIntegral<uint8_t>();
    AcknowledgePacket packet(code, version[0], version[1], version[2]);
    packet.set_error(error);
    require(packet.error() == error);
    const std::vector<uint8_t> wire = wire_bytes(packet);
    const std::optional<Acknowledge> read = Acknowledge::parse(wire.data(), wire.size());
    require(read.has_value());
    require(read->code_byte == (code | packet::kReplyFlag) && read->code == (code & 0x7F) &&
            read->error == error && read->answers(code));
    require(std::equal(version, version + 3, read->version));
    require(read->version_text() == std::to_string(version[0]) + "." + std::to_string(version[1]) +
                                        "." + std::to_string(version[2]));
    (void)error_text(error);
}

// An accepted acknowledge re-encodes to its 16 bytes, less the id byte of word 1, the high byte
// of word 4 and the reserved word 6, which carry nothing.
void acknowledge_bytes(const std::vector<uint8_t>& bytes) {
    const std::optional<Acknowledge> read = Acknowledge::parse(bytes.data(), bytes.size());
    if (!read) return;
    require(bytes.size() == 16);
    AcknowledgePacket packet(read->code_byte, read->version[0], read->version[1], read->version[2]);
    packet.set_error(read->error);
    std::vector<uint8_t> expected = bytes;
    expected[2] = 0;
    expected[8] = 0;
    expected[12] = expected[13] = 0;
    require(wire_bytes(packet) == expected);
}

void data_fields(FuzzedDataProvider& input) {
    const int id = input.ConsumeIntegral<uint8_t>();
    const int mode = input.ConsumeIntegralInRange<int>(0, 15);
    // Any count up to a few chips, or a thousand neighbours, reaches every branch. The largest
    // packets (255 chips of 128 channels, 65535 neighbours, whose counter would wrap at 16
    // bits) cost a thousand times more: one byte value of 256 chooses them.
    const bool largest = input.ConsumeIntegral<uint8_t>() == 0xFF;
    const int nchan = largest ? kMaxChannels : input.ConsumeIntegralInRange<int>(1, 512);
    const int hit = input.ConsumeIntegralInRange<int>(0, nchan - 1);
    const int nadj = largest ? 0xFFFF : input.ConsumeIntegralInRange<int>(0, 1023);
    const auto event = input.ConsumeIntegral<uint16_t>();
    const auto time_stamp = input.ConsumeIntegral<uint32_t>();
    const double time_value = input.ConsumeFloatingPoint<double>();
    std::vector<uint16_t> values(static_cast<size_t>(nchan));
    for (uint16_t& value : values) value = input.ConsumeIntegral<uint16_t>();

    // Laid out as the module lays out an event, and turned to the wire as it sends it.
    const DataPacket::Ptr packet =
        assemble_event(id, mode, nadj, values.data(), nchan, hit, event, time_stamp, time_value);
    const int length = packet->packet_size();
    const WireWords wire = convert_packet(reinterpret_cast<const char*>(packet->words()), length);

    const DataPacketView view(reinterpret_cast<const uint8_t*>(wire.get()),
                              static_cast<size_t>(length));
    require(view.ok() && view.id() == id && view.stream() == id &&
            view.mode() == static_cast<unsigned>(mode) && view.event() == event &&
            view.time_stamp() == time_stamp);
    // The time value keeps its sign and its whole part modulo 128.
    const double whole = std::trunc(time_value);
    if (std::fabs(whole) < 128) require(view.time_value() == whole);
    switch (mode) {
        case DataPacket::kAllChannels:
            require(view.value_count() == values.size());
            for (size_t i = 0; i < values.size(); ++i) require(view.value(i) == values[i]);
            break;
        case DataPacket::kHitChannel: {
            require(view.triple_count() == 1);
            const NeighbourTriple triple = view.triple(0);
            const auto value = values[static_cast<size_t>(hit)];
            require(triple.channel == hit && triple.right == value && triple.left == value);
            break;
        }
        case DataPacket::kHitAndNeighbours:
            require(view.triple_count() == static_cast<size_t>(nadj) + 1);
            for (size_t m = 0; m < view.triple_count(); ++m) {
                const NeighbourTriple triple = view.triple(m);
                const int right = std::min(hit + static_cast<int>(m), nchan - 1);
                const int left = std::max(hit - static_cast<int>(m), 0);
                require(triple.channel == static_cast<uint16_t>(hit + m) &&
                        triple.right == values[static_cast<size_t>(right)] &&
                        triple.left == values[static_cast<size_t>(left)]);
            }
            break;
        default:
            require(view.value_count() == 0 && view.triple_count() == 0 &&
                    view.length() == DataPacketView::expected_length(view.count(), view.mode()));
            break;
    }
}

// Any datagram: the view reads only its bytes, and its verdict is the first check that fails;
// the byte order round-trips and the text form has one field a word.
void data_bytes(const std::vector<uint8_t>& bytes) {
    const DataPacketView view(bytes.data(), bytes.size());
    require(describe(view.fault()) != nullptr);
    if (view.ok()) {
        require(bytes.size() == DataPacketView::expected_length(view.count(), view.mode()));
    }
    uint64_t sum = view.time_stamp() + view.event() + view.id() + view.stream();
    for (size_t i = 0; i < view.value_count(); ++i) sum += view.value(i);
    for (size_t m = 0; m < view.triple_count(); ++m) sum += view.triple(m).left;
    (void)view.time_value();
    (void)sum;

    const int length = static_cast<int>(bytes.size());
    const WireWords swapped = convert_packet(reinterpret_cast<const char*>(bytes.data()), length);
    std::vector<char> back(bytes.size() / kWordBytes * kWordBytes);
    if (!back.empty()) std::memcpy(back.data(), swapped.get(), back.size());
    to_host_order(back.data(), static_cast<int>(back.size()));
    require(std::equal(back.begin(), back.end(), reinterpret_cast<const char*>(bytes.data())));
    const std::string text = dump_packet(reinterpret_cast<const char*>(bytes.data()), length);
    require(text.size() == 3 + 5 * (bytes.size() / kWordBytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegral<uint8_t>() % 6) {
        case 0:
            request_fields(input);
            break;
        case 1:
            request_bytes(input.ConsumeRemainingBytes<uint8_t>());
            break;
        case 2:
            acknowledge_fields(input);
            break;
        case 3:
            acknowledge_bytes(input.ConsumeRemainingBytes<uint8_t>());
            break;
        case 4:
            data_fields(input);
            break;
        default:
            data_bytes(input.ConsumeRemainingBytes<uint8_t>());
            break;
    }
    return 0;
}
