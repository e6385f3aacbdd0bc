#include "emulator/DAQemulator.h"

#include <iostream>

#include "protocol/PacketConversion.h"
#include "protocol/Request.h"

using namespace daq;

DAQemulator::DAQemulator(const std::string& interface, int port) : DAQServer(interface, port) {}

void DAQemulator::handle_request(const std::string& sender, unsigned short port, const char* data,
                                 int length) {
    // Shorter than the magic and code words: not a request of any host.
    if (length < 4) {
        ++requests_.malformed;
        return;
    }
    // From the server's own address and port: its own packets coming back, after a discovery
    // with that sender forged made the module its own host peer. Answered, every reply would
    // come back as a new request without end.
    if (port == bound_port() && sender == ip_address) {
        ++requests_.own;
        return;
    }
    const Request request(data, length);
    // A mask test, not an equality: every word with all the bits of the magic passes.
    if ((request.word(0) & packet::kMagic) != packet::kMagic) {
        ++requests_.malformed;
        return;
    }
    const uint8_t code = request.code();
    ++requests_.by_code[code];
    std::cout << "Got a message from " << sender << ":" << port << " with code "
              << static_cast<int>(code) << std::endl;

    AcknowledgePacket ack(code, 0, 0, 0);
    ack.set_error(packet::kDone);
    unsigned short error = packet::kDone;
    if (code == packet::kDiscovery) {
        peer_address = sender;
        peer_port = port;
    } else {
        error = take_request(sender, port, data, length, &ack);
    }
    ack.set_error(error);

    int bytes = 0;
    WireWords wire = convert_packet(&ack, bytes);
    if (send_packet(peer_address, peer_port, reinterpret_cast<const char*>(wire.get()), bytes) ==
        0) {
        ++requests_.acknowledges;
    }
}

unsigned short DAQemulator::take_request(const std::string&, unsigned short, const char*, int,
                                         AcknowledgePacket*) {
    return 0;
}

void DAQemulator::send_my_ip() {
    AcknowledgePacket announcement(packet::kDiscovery, 4, 2, 0);
    int bytes = 0;
    WireWords wire = convert_packet(&announcement, bytes);
    const char* data = reinterpret_cast<const char*>(wire.get());
    // Spelt so on purpose: users' scripts match this text as it is.
    std::cout << "Sensing Discover packet: " << dump_packet(data, bytes) << std::endl;
    send_packet(peer_address, peer_port, data, bytes);
}
