#include "support/random.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

// The additive feedback generator behind glibc's rand(), in the state that srandom(1) leaves:
// r[i] = r[i - 3] + r[i - 31] modulo 2^32, output r[i] >> 1. The table is set up exactly as
// glibc sets up its default one, so the outputs match an unseeded rand() one for one.
class RandSequence {
  public:
    RandSequence() {
        constexpr int kDegree = 31;
        int32_t word = 1;
        state_[0] = word;
        for (int i = 1; i < kDegree; ++i) {
            // 16807 * word % 2147483647 without overflow (Schrage's method), as glibc does.
            const int32_t hi = word / 127773;
            const int32_t lo = word % 127773;
            word = 16807 * lo - 2836 * hi;
            if (word < 0) word += 2147483647;
            state_[i] = word;
        }
        front_ = 3;
        rear_ = 0;
        for (int i = 0; i < kDegree * 10; ++i) next();
    }

    int next() {
        uint32_t value =
            static_cast<uint32_t>(state_[front_]) + static_cast<uint32_t>(state_[rear_]);
        state_[front_] = static_cast<int32_t>(value);
        if (++front_ == 31) front_ = 0;
        if (++rear_ == 31) rear_ = 0;
        return static_cast<int>(value >> 1);
    }

  private:
    int32_t state_[31];
    int front_;
    int rear_;
};

RandSequence sequence;
IntegerSource integer_source = rand_sequence_15;

// State of randgauss: the parameters of the previous call and the cached deviate.
double pMean = 0.0;
double pStdDev = 0.0;
int haveCachedNormal = 0;
double cachedNormal = 0.0;

}  // namespace

int rand_sequence_next() { return sequence.next(); }

int rand_sequence_15() { return sequence.next() >> 16; }

void restart_random_sequence() {
    sequence = RandSequence();
    integer_source = rand_sequence_15;
    pMean = 0.0;
    pStdDev = 0.0;
    haveCachedNormal = 0;
    cachedNormal = 0.0;
}

IntegerSource set_integer_source(IntegerSource source) {
    IntegerSource previous = integer_source;
    integer_source = source;
    haveCachedNormal = 0;
    return previous;
}

double randuniform() { return integer_source() / 32767.0; }

double randgauss(double mean, double sigma) {
    // Written as negated equality so that a not-a-number parameter counts as a change.
    if (!(mean == pMean) || !(sigma == pStdDev)) {
        haveCachedNormal = 0;
        pMean = mean;
        pStdDev = sigma;
    }
    if (haveCachedNormal == 1) {
        haveCachedNormal = 0;
        return pMean + pStdDev * cachedNormal;
    }
    double w1;
    double w2;
    double s;
    do {
        const double u1 = randuniform();
        const double u2 = randuniform();
        w1 = 2.0 * u1 - 1.0;
        w2 = 2.0 * u2 - 1.0;
        s = w1 * w1 + w2 * w2;
    } while (s > 1.0);
    const double f = std::sqrt(-2.0 * std::log(s) / s);
    cachedNormal = w2 * f;
    haveCachedNormal = 1;
    return pMean + pStdDev * w1 * f;
}

void randgauss2d(double mean_x, double sigma_x, double mean_y, double sigma_y, double rho,
                 double* x, double* y) {
    const double a = std::sqrt((1.0 + rho) / 2.0);
    const double b = std::sqrt((1.0 - rho) / 2.0);
    const double g1 = randgauss(0.0, 1.0);
    const double g2 = randgauss(0.0, 1.0);
    *x = (a * g1 + b * g2) * sigma_x + mean_x;
    *y = (a * g1 - b * g2) * sigma_y + mean_y;
}
