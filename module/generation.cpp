#include "module/generation.h"

#include <algorithm>
#include <cmath>

#include "protocol/DataPayload.h"

using namespace daq;

namespace {
constexpr double kHitAmplitudeSigma = 10.0;
constexpr double kSecondSpotDivisor = 3.0;
constexpr double kHitPositionSigma = 4.0;
constexpr double kTimeValueMean = 25.0;
constexpr double kTimeValueSigma = 5.0;
constexpr double kIntervalSigma = 0.1;  // of the period
}  // namespace

void fill_pedestal_block(RandomSequence& random, int16_t* values, int n,
                         const PedestalModel& model) {
    const double cm = random.randgauss(0.0, model.common);
    for (int i = 0; i < n; ++i) {
        values[i] = static_cast<int16_t>(static_cast<uint16_t>(
            static_cast<int>(random.randgauss(model.mean, model.noise) + cm)));
    }
}

HitPlacement place_hit(RandomSequence& random, int nchan, double signal_mean) {
    const int side = static_cast<int>(std::sqrt(static_cast<double>(nchan)));
    // Both amplitudes are drawn every time, whichever spot is hit.
    const double amplitudes[2] = {
        random.randgauss(signal_mean, kHitAmplitudeSigma),
        random.randgauss(signal_mean, kHitAmplitudeSigma) / kSecondSpotDivisor};
    const int spot = std::min(static_cast<int>(2.0 * random.randuniform()), 1);
    const int spot_column = spot == 0 ? side / 4 : (3 * side) / 4;
    const int spot_row = side / 2;
    for (;;) {
        double x;
        double y;
        random.randgauss2d(spot_column, kHitPositionSigma, spot_row, kHitPositionSigma, 0.0, &x,
                           &y);
        if (!(x >= 0 && x < side && y >= 0 && y < side)) continue;
        // The coordinates are not negative here, so truncating x + 0.5 rounds half up: the
        // grid's rule, which a coordinate just below `side` may round onto the next row.
        const int channel = static_cast<int>(x + 0.5) + static_cast<int>(y + 0.5) * side;  // NOLINT
        if (channel >= 0 && channel < nchan) return {channel, amplitudes[spot]};
    }
}

void add_hit(uint16_t* values, const HitPlacement& hit) {
    values[hit.channel] =
        static_cast<uint16_t>(static_cast<int>(values[hit.channel] + hit.amplitude));
}

double draw_time_value(RandomSequence& random) {
    return random.randgauss(kTimeValueMean, kTimeValueSigma);
}

double draw_interval(RandomSequence& random, double period) {
    return random.randgauss(period, kIntervalSigma * period);
}

DataPacket::Ptr assemble_event(int stream, int mode, int nadj, const uint16_t* values, int nchan,
                               int hit_channel, uint16_t event, uint32_t time_stamp,
                               double time_value) {
    const int count = mode == DataPacket::kHitAndNeighbours ? nadj : nchan;
    DataPacket::Ptr packet = DataPacket::create(stream, stream, count, mode);
    uint16_t* words = packet->words();
    words[DataPacket::kEvent] = event;
    words[DataPacket::kTimeHigh] = static_cast<uint16_t>(time_stamp >> 16);
    words[DataPacket::kTimeLow] = static_cast<uint16_t>(time_stamp & 0xFFFF);
    words[DataPacket::kTimeValue] = floating_point_binary(time_value);
    encode_payload(packet->payload(), mode, values, nchan, hit_channel, nadj);
    return packet;
}
