#include "protocol/DataPacketView.h"

#include "protocol/BasePacket.h"
#include "protocol/DataPacket.h"

namespace daq {

namespace {
constexpr size_t kHeaderAndTrailerBytes = 20;

DataPacketFault check(const DataPacketView& view) {
    if (view.length() < kHeaderAndTrailerBytes) return DataPacketFault::kTooShort;
    if (view.word(0) != packet::kMagic) return DataPacketFault::kBadMagic;
    if ((view.word(1) & 0xFF) != packet::kData) return DataPacketFault::kNotData;
    if (view.length() % 2 != 0) return DataPacketFault::kOddLength;
    if (view.length() != DataPacketView::expected_length(view.count(), view.mode())) {
        return DataPacketFault::kLengthMismatch;
    }
    if (view.word(view.length() / 2 - 1) != packet::kTrailer) return DataPacketFault::kNoTrailer;
    return DataPacketFault::kNone;
}
}  // namespace

const char* describe(DataPacketFault fault) {
    switch (fault) {
        case DataPacketFault::kNone:
            return "well formed";
        case DataPacketFault::kTooShort:
            return "shorter than a data packet header and trailer";
        case DataPacketFault::kBadMagic:
            return "bad magic";
        case DataPacketFault::kNotData:
            return "not a data packet code";
        case DataPacketFault::kOddLength:
            return "odd length";
        case DataPacketFault::kLengthMismatch:
            return "length does not match readout mode and count";
        case DataPacketFault::kNoTrailer:
            return "no trailer";
    }
    return "unknown fault";
}

DataPacketView::DataPacketView(const uint8_t* bytes, size_t length)
    : bytes_(bytes), length_(length), fault_(DataPacketFault::kNone) {
    fault_ = check(*this);
}

size_t DataPacketView::expected_length(uint16_t count, unsigned mode) {
    // The same rule as DataPacket::packet_size: mode 2 always carries one triple.
    const int payload = DataPacket::payload_bytes(mode == DataPacket::kHitChannel ? 1 : count,
                                                  static_cast<int>(mode));
    return kHeaderAndTrailerBytes + static_cast<size_t>(payload);
}

double DataPacketView::time_value() const { return time_value_of(time_value_word()); }

size_t DataPacketView::value_count() const {
    if (mode() != DataPacket::kAllChannels) return 0;
    return length_ >= kHeaderAndTrailerBytes ? (length_ - kHeaderAndTrailerBytes) / 2 : 0;
}

size_t DataPacketView::triple_count() const {
    if (mode() != DataPacket::kHitChannel && mode() != DataPacket::kHitAndNeighbours) return 0;
    return length_ >= kHeaderAndTrailerBytes ? (length_ - kHeaderAndTrailerBytes) / 6 : 0;
}

NeighbourTriple DataPacketView::triple(size_t m) const {
    const size_t first = DataPacket::kPayload + 3 * m;
    return {word(first), word(first + 1), word(first + 2)};
}

double time_value_of(uint16_t word) {
    const double magnitude = ((word >> 4) & 0x7F) + (word & 0xF) / 16.0;
    return (word & 0x800) != 0 ? -magnitude : magnitude;
}

}  // namespace daq
