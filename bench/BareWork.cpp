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

#include "protocol/DataPacket.h"
#include "protocol/DataPayload.h"
#include "protocol/PacketConversion.h"
#include "support/DAQTimer.h"
#include "support/random.h"

namespace {

constexpr int kChipsPerHybrid = 2;
constexpr int kChannelsPerChip = 128;
constexpr double kPedestalMean = 2024.0;
constexpr double kPedestalNoise = 5.0;
constexpr double kCommonNoise = 1.0;
constexpr double kSignalMean = 500.0;

// rand() yields 31 bits here; its top 15 are the generator's integers.
int libc_rand_15() { return std::rand() >> 16; }

void make_block(int16_t* values, int n) {
    const double cm = randgauss(0.0, kCommonNoise);
    for (int i = 0; i < n; ++i) {
        values[i] = static_cast<int16_t>(
            static_cast<uint16_t>(static_cast<int>(randgauss(kPedestalMean, kPedestalNoise) + cm)));
    }
}

}  // namespace

int run_bare_work(const BareWorkSettings& settings) {
    if (settings.libc_rand) set_integer_source(libc_rand_15);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 1;
    sockaddr_in host = {};
    host.sin_family = AF_INET;
    host.sin_port = htons(settings.host_port);
    host.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    const int nchan = kChipsPerHybrid * kChannelsPerChip;
    const int side = static_cast<int>(std::sqrt(static_cast<double>(nchan)));
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
            if (randuniform() > 1.0) continue;
            for (int chip = 0; chip < kChipsPerHybrid; ++chip) {
                make_block(block, kChannelsPerChip);
                std::memcpy(channels.data() + static_cast<size_t>(chip) * kChannelsPerChip, block,
                            sizeof(block));
            }
            const double amplitudes[2] = {randgauss(kSignalMean, 10.0),
                                          randgauss(kSignalMean, 10.0) / 3.0};
            const int spot = std::min(static_cast<int>(2.0 * randuniform()), 1);
            // The spots sit on whole channels: integer division, as the emulator places them.
            const int column = spot == 0 ? side / 4 : (3 * side) / 4;
            const int row = side / 2;
            int hit;
            for (;;) {
                double x;
                double y;
                randgauss2d(column, 4.0, row, 4.0, 0.0, &x, &y);
                if (!(x >= 0 && x < side && y >= 0 && y < side)) continue;
                // Rounded by truncating x + 0.5, the emulator's own rule (x and y are not
                // negative here).
                hit = static_cast<int>(x + 0.5) + static_cast<int>(y + 0.5) * side;  // NOLINT

                if (hit >= 0 && hit < nchan) break;
            }
            channels[hit] =
                static_cast<uint16_t>(static_cast<int>(channels[hit] + amplitudes[spot]));
            const double time_value = randgauss(25.0, 5.0);

            const int count =
                settings.mode == DataPacket::kHitAndNeighbours ? settings.nadj : nchan;
            DataPacket::Ptr packet = DataPacket::create(id, id, count, settings.mode);
            uint16_t* words = packet->words();
            words[DataPacket::kEvent] = static_cast<uint16_t>(event);
            words[DataPacket::kTimeHigh] = static_cast<uint16_t>(time_stamp >> 16);
            words[DataPacket::kTimeLow] = static_cast<uint16_t>(time_stamp & 0xFFFF);
            words[DataPacket::kTimeValue] = floating_point_binary(time_value);
            encode_payload(packet->payload(), settings.mode, channels.data(), nchan, hit,
                           settings.nadj);
            const int bytes = packet->packet_size();
            WireWords wire = convert_packet(reinterpret_cast<const char*>(words), bytes);
            if (::sendto(fd, wire.get(), static_cast<size_t>(bytes), 0,
                         reinterpret_cast<const sockaddr*>(&host), sizeof(host)) != bytes) {
                ++failures;
            }
        }
    }
    ::close(fd);
    return failures == 0 ? 0 : 1;
}
