#include "support/RandomSequence.h"

#include <cmath>

void RandomSequence::restart() {
    // r[i] = r[i - 3] + r[i - 31] modulo 2^32, output r[i] >> 1. The table is set up exactly as
    // glibc sets up its default one, so the outputs match an unseeded rand() one for one.
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
    for (int i = 0; i < kDegree * 10; ++i) next_rand();
    source_ = nullptr;
    previous_mean_ = 0.0;
    previous_sigma_ = 0.0;
    have_cached_ = false;
    cached_ = 0.0;
}

int RandomSequence::next_rand() {
    const uint32_t value =
        static_cast<uint32_t>(state_[front_]) + static_cast<uint32_t>(state_[rear_]);
    state_[front_] = static_cast<int32_t>(value);
    if (++front_ == kDegree) front_ = 0;
    if (++rear_ == kDegree) rear_ = 0;
    return static_cast<int>(value >> 1);
}

int RandomSequence::next_integer() { return source_ != nullptr ? source_() : next_rand() >> 16; }

RandomSequence::IntegerSource RandomSequence::set_integer_source(IntegerSource source) {
    const IntegerSource previous = source_;
    source_ = source;
    have_cached_ = false;
    return previous;
}

double RandomSequence::randuniform() { return next_integer() / 32767.0; }

double RandomSequence::randgauss(double mean, double sigma) {
    // Written as negated equality so that a not-a-number parameter counts as a change.
    if (!(mean == previous_mean_) || !(sigma == previous_sigma_)) {
        have_cached_ = false;
        previous_mean_ = mean;
        previous_sigma_ = sigma;
    }
    if (have_cached_) {
        have_cached_ = false;
        return previous_mean_ + previous_sigma_ * cached_;
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
    cached_ = w2 * f;
    have_cached_ = true;
    return previous_mean_ + previous_sigma_ * w1 * f;
}

void RandomSequence::randgauss2d(double mean_x, double sigma_x, double mean_y, double sigma_y,
                                 double rho, double* x, double* y) {
    const double a = std::sqrt((1.0 + rho) / 2.0);
    const double b = std::sqrt((1.0 - rho) / 2.0);
    const double g1 = randgauss(0.0, 1.0);
    const double g2 = randgauss(0.0, 1.0);
    *x = (a * g1 + b * g2) * sigma_x + mean_x;
    *y = (a * g1 - b * g2) * sigma_y + mean_y;
}
