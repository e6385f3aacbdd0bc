// A module that serves recorded data: it discovers, acknowledges and runs as DAQmodule does,
// but each trigger cycle sends every stream's next data packet of a capture instead of one it
// generated. It makes no pedestals.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "daqreplay/ReplayCapture.h"
#include "module/DAQmodule.h"

enum class ReplayPace {
    kCaptured,         // the captured intervals of the first stream that has packets left
    kRate,             // drawn as testModule draws them (-r)
    kAsFastAsPossible  // no wait between cycles
};

struct ReplayOptions {
    ReplayPace pace = ReplayPace::kCaptured;
    // Sends the captured event numbers and time stamps instead of the run's own.
    bool keep_headers = false;
    // Starts a stream's packets again after its last one.
    bool loop = false;
};

class DAQreplay : public DAQmodule {
  public:
    DAQreplay(const std::string& interface, int port, int chip_type, ReplayCapture capture,
              ReplayOptions options);

    unsigned short take_request(const std::string& sender, unsigned short port, const char* data,
                                int size, daq::AcknowledgePacket* ack) override;
    // Each run sends the capture from its first packet.
    void start_run() override;

  protected:
    void produce_event(const DataStream& stream, uint16_t event, uint32_t time_stamp,
                       int cpc) override;
    double next_interval(double overrun) override;

  private:
    // The index of the next packet stream `id` sends; its packets' size when none is left.
    size_t next_index(int id) const;
    // The next packet of stream `id`, which from then on counts as taken; null when none is
    // left.
    const CapturedPacket* take_packet(int id);
    bool data_left() const;
    void send_captured(const CapturedPacket& packet, uint16_t event, uint32_t time_stamp);
    // Logs one line when a request asks a stream for a layout its captured packets do not have.
    void check_layout(const DataStream& stream, int code);

    ReplayCapture capture_;
    ReplayOptions options_;
    std::map<int, size_t> next_;
    std::vector<uint8_t> outgoing_;
    bool end_reported_ = false;
    // How far the captured pace is behind the capture's own time line, in seconds: a cycle
    // that ends late shortens the next wait by as much, so that lateness does not add up.
    double behind_ = 0.0;
};
