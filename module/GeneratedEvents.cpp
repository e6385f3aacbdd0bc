#include "module/GeneratedEvents.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "module/DAQmodule.h"
#include "module/DataStream.h"
#include "protocol/DataPacket.h"

using namespace daq;

namespace {

// The channel array of one stream and trigger, from the module's class-wide allocator.
class ChannelArray {
  public:
    explicit ChannelArray(int nchip)
        : bytes_(static_cast<size_t>(nchip) * DAQmodule::kChannelRoomPerChip * 2),
          data_(DAQmodule::data_allocator.allocate(bytes_)) {
        // Blocks made for 64 channels per chip fill only part of each chip's room: the rest
        // must read 0, never leftover memory.
        std::memset(data_, 0, bytes_);
    }
    ~ChannelArray() { DAQmodule::data_allocator.deallocate(data_, bytes_); }
    ChannelArray(const ChannelArray&) = delete;
    ChannelArray& operator=(const ChannelArray&) = delete;

    // Copies a block in at the given value index, never past the array's end.
    void copy_in(int index, const DataBlock& block) {
        const size_t offset = static_cast<size_t>(index) * 2;
        if (offset >= bytes_) return;
        const size_t n = std::min(static_cast<size_t>(block.size()), bytes_ - offset);
        std::memcpy(data_ + offset, block.data(), n);
    }
    // The values, in host order; the storage came from an allocation function, so it holds
    // them as it holds bytes.
    uint16_t* values() { return reinterpret_cast<uint16_t*>(data_); }

  private:
    size_t bytes_;
    char* data_;
};

}  // namespace

double GeneratedEvents::next_interval(const Pacing& pacing) {
    return draw_interval(pacing.random, pacing.period);
}

void GeneratedEvents::make_pedestal_block(int channels) {
    auto* block = new DataBlock(2 * channels, nullptr);
    fill_pedestal_block(random, reinterpret_cast<int16_t*>(block->data()), channels,
                        pedestal_model);
    pedestals.push_block(block);
}

std::span<const uint8_t> GeneratedEvents::make_event(const DataStream& stream,
                                                     const Trigger& trigger) {
    const int cpc = trigger.channels_per_chip;
    const int nchip = std::max(stream.nchip(), 0);
    ChannelArray channels(nchip);
    for (int j = 0; j < nchip; ++j) {
        std::unique_ptr<DataBlock> block(pedestals.get_block());
        if (block) channels.copy_in(j * cpc, *block);
    }
    // A stream without chips has no channel for a hit: it sends nothing this time.
    if (nchip == 0) return {};

    const int nadj = static_cast<uint16_t>(stream.nadj());
    const int mode = static_cast<uint16_t>(stream.readout_mode());
    const int nchan = nchip * cpc;
    const HitPlacement hit = place_hit(random, nchan, signal_mean);
    add_hit(channels.values(), hit);
    const double time_value = draw_time_value(random);
    DataPacket::Ptr packet =
        assemble_event(stream.id(), mode, nadj, channels.values(), nchan, hit.channel,
                       trigger.event, trigger.time_stamp, time_value);

    const int bytes = packet->packet_size();
    event = convert_packet(reinterpret_cast<const char*>(packet->words()), bytes);
    return {reinterpret_cast<const uint8_t*>(event.get()), static_cast<size_t>(bytes)};
}
