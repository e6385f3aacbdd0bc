// The events testModule makes: one chip's pedestals per block, drawn ahead of the triggers, and
// for each stream that sends, its chips' blocks with one hit added, in the stream's readout
// mode. The trigger intervals are Gaussian around the period.
#pragma once

#include "module/DataBuffer.h"
#include "module/EventSource.h"
#include "module/generation.h"
#include "protocol/PacketConversion.h"

class GeneratedEvents : public EventSource {
  public:
    static constexpr int kPedestalCapacity = 500;

    // Draws from `random`, the module's sequence, which must outlive it.
    explicit GeneratedEvents(RandomSequence& random) : random(random) {}

    double next_interval(const Pacing& pacing) override;
    std::span<const uint8_t> make_event(const DataStream& stream, const Trigger& trigger) override;
    DataBuffer* pedestal_buffer() override { return &pedestals; }
    void make_pedestal_block(int channels) override;

  private:
    RandomSequence& random;
    DataBuffer pedestals{kPedestalCapacity};
    PedestalModel pedestal_model;
    double signal_mean = 500.0;
    // The datagram of the last event.
    daq::WireWords event;
};
