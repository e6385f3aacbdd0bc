#include "BareWork.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "module/generation.h"
#include "protocol/DataPacket.h"
#include "protocol/PacketConversion.h"
#include "support/DAQTimer.h"
#include "support/RandomSequence.h"

using namespace daq;

namespace {

constexpr int kChipsPerHybrid = 2;
constexpr int kChannelsPerChip = 128;
constexpr double kSignalMean = 500.0;

// rand() yields 31 bits here; its top 15 are the generator's integers.
int libc_rand_15() { return std::rand() >> 16; }

}  // namespace

int run_bare_work(const BareWorkSettings& settings) {
    RandomSequence random;
    if (settings.libc_rand) random.set_integer_source(libc_rand_15);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 1;
    sockaddr_in own = {};
    own.sin_family = AF_INET;
    own.sin_port = htons(settings.own_port);
    own.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&own), sizeof(own)) != 0) {
        ::close(fd);
        return 1;
    }
    sockaddr_in host = {};
    host.sin_family = AF_INET;
    host.sin_port = htons(settings.host_port);
    host.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    const int nchan = kChipsPerHybrid * kChannelsPerChip;
    std::vector<uint16_t> channels(static_cast<size_t>(nchan));
    int16_t block[kChannelsPerChip];
    uint32_t counter[5] = {0, 0, 0, 0, 0};
    int failures = 0;
    DAQTimer run_timer;

    for (uint64_t trigger = 0; trigger < settings.triggers; ++trigger) {
        const auto time_stamp = static_cast<uint32_t>(static_cast<int64_t>(run_timer() * 1e6));
        for (int id = 1; id <= settings.hybrids; ++id) {
            const uint32_t event = ++counter[id];
            // Efficiency 1: the test is drawn and always passes.
            if (random.randuniform() > 1.0) continue;
            for (int chip = 0; chip < kChipsPerHybrid; ++chip) {
                fill_pedestal_block(random, block, kChannelsPerChip, PedestalModel{});
                std::memcpy(channels.data() + static_cast<size_t>(chip) * kChannelsPerChip, block,
                            sizeof(block));
            }
            const HitPlacement hit = place_hit(random, nchan, kSignalMean);
            add_hit(channels.data(), hit);
            const double time_value = draw_time_value(random);
            DataPacket::Ptr packet =
                assemble_event(id, settings.mode, settings.nadj, channels.data(), nchan,
                               hit.channel, static_cast<uint16_t>(event), time_stamp, time_value);
            const int bytes = packet->packet_size();
            WireWords wire = convert_packet(reinterpret_cast<const char*>(packet->words()), bytes);
            if (::sendto(fd, wire.get(), static_cast<size_t>(bytes), 0,
                         reinterpret_cast<const sockaddr*>(&host), sizeof(host)) != bytes) {
                ++failures;
            }
        }
    }
    ::close(fd);
    return failures == 0 ? 0 : 1;
}
