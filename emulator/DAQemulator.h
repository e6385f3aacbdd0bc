// The layer between the UDP server and the module: it checks each request's header, answers
// discovery by remembering the sender as the host peer, routes every other request to
// take_request(), and sends one acknowledge per accepted request to the host peer.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "protocol/AcknowledgePacket.h"
#include "server/DAQServer.h"
#include "support/DAQTimer.h"

class DAQemulator : public DAQServer {
  public:
    DAQemulator(const std::string& interface, int port);

    void handle_request(const std::string& sender, unsigned short port, const char* data,
                        int length) override;
    // Carries out one request other than discovery and returns the acknowledge's error code.
    virtual unsigned short take_request(const std::string& sender, unsigned short port,
                                        const char* data, int length, daq::AcknowledgePacket* ack);

    // The host peer: set by the last discovery request; empty and 0 before the first.
    int server_port() const { return peer_port; }
    std::string server_ip() const { return peer_address; }

    // Announces the module to the host peer.
    void send_my_ip();

    // The requests taken since the emulator was made, by command code; the acknowledges that
    // left; the datagrams dropped for a header no host sends (shorter than 4 bytes, or words
    // without the magic's bits) and those that came from the emulator's own address and port.
    struct Requests {
        std::array<uint64_t, 256> by_code{};
        uint64_t acknowledges = 0;
        uint64_t malformed = 0;
        uint64_t own = 0;
    };
    const Requests& requests() const { return requests_; }

  protected:
    int peer_port = 0;
    std::string peer_address;
    DAQTimer trigger_timer;

  private:
    Requests requests_;
};
