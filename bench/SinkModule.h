// A module that runs outside an event loop, for timing its pieces in-process. Its data packets
// and acknowledges go either through the server's own socket (the real send path) to a UDP
// sink on loopback that this object owns, or nowhere: only counted.
#pragma once

#include <cstdint>
#include <string>

#include "module/DAQmodule.h"

class SinkModule : public DAQmodule {
  public:
    enum class Send { kUdpSink, kCountOnly };

    // One stream of two chips per hybrid in `mask`, chip type 1 (128 channels) or another
    // value (64). The server socket binds an ephemeral port on loopback, never port 10000, so
    // that this object can live beside a running emulator.
    SinkModule(int chip_type, uint8_t mask, Send send);
    ~SinkModule() override;

    // False when the socket or the sink could not be made (then nothing can be timed).
    bool ready() const { return ready_; }

    // The readout mode (and neighbour count) of every stream, set through a request as a
    // host would set it.
    void set_mode(int mode, int nadj);

    // Fills the pedestal buffer to the top and empties the sink's receive queue.
    void refill();
    // Empties the pedestal buffer.
    void drain_pedestals();

    int send_packet(const std::string& address, int port, const char* data, int length) override;

    uint64_t packets_sent() const { return packets_; }
    uint64_t bytes_sent() const { return bytes_; }
    uint16_t sink_port() const { return sink_port_; }

  private:
    void drain_sink();

    Send send_;
    bool ready_ = false;
    int sink_fd_ = -1;
    uint16_t sink_port_ = 0;
    uint64_t packets_ = 0;
    uint64_t bytes_ = 0;
};

// A request of four host-order words, as filter() leaves a received datagram.
struct HostWords {
    uint16_t word[4];
    const char* data() const { return reinterpret_cast<const char*>(word); }
    static constexpr int size() { return 8; }
};
