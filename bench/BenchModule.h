// A module that runs outside an event loop, for timing its pieces in-process: the capturing
// module (testing/) made ready for the benchmarks. Its data packets and acknowledges go
// either through the server's own socket (the real send path) to a UDP sink on loopback that
// this object owns, or nowhere: only counted.
#pragma once

#include <cstdint>

#include "testing/CapturingModule.h"

class BenchModule : public CapturingModule {
  public:
    enum class Send { kUdpSink, kCountOnly };

    // One stream of two chips per hybrid in `mask`, chip type 1 (128 channels) or another
    // value (64). The server socket binds an ephemeral port on loopback, never port 10000, so
    // that this object can live beside a running emulator.
    BenchModule(int chip_type, uint8_t mask, Send send);
    ~BenchModule() override;

    // False when the socket or the sink could not be made (then nothing can be timed).
    bool ready() const { return ready_; }

    // The readout mode (and neighbour count) of every stream, set as a host's request sets it.
    void set_mode(int mode, int nadj);

    // Fills the pedestal buffer to the top and empties the sink's receive queue.
    void refill();
    // Empties the pedestal buffer.
    void drain_pedestals();

    uint16_t sink_port() const { return sink_port_; }

  private:
    void drain_sink();

    bool ready_ = false;
    int sink_fd_ = -1;
    uint16_t sink_port_ = 0;
};
