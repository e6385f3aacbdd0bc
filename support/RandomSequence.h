// The random numbers of one module: for the pedestals, the hits, the efficiency test and the
// trigger interval.
//
// The generator is never seeded: a new sequence draws what every start of the program draws,
// which hosts' regression tests rely on. Each module holds a sequence of its own, so modules
// that share a process draw independently, each as a lone module would. Meant for one thread.
#pragma once

#include <cstdint>

class RandomSequence {
  public:
    // A source of integers uniform over 0 to 32767, in place of the sequence's own (tests).
    using IntegerSource = int (*)();

    RandomSequence() { restart(); }

    // A uniform draw in [0, 1], both ends included: an integer of the source divided by 32767.
    double randuniform();

    // A Gaussian draw (polar method); the second deviate of each pair is kept for the next
    // call with the same mean and sigma.
    double randgauss(double mean, double sigma);

    // A pair of Gaussian draws with correlation rho, written to *x and *y.
    void randgauss2d(double mean_x, double sigma_x, double mean_y, double sigma_y, double rho,
                     double* x, double* y);

    // The next value of the C library's rand() sequence in its initial, unseeded state (0 to
    // 2^31 - 1), from the sequence's own state: no lock, nothing else can disturb it.
    int next_rand();

    // The integers of randuniform(): next_rand() reduced to its top 15 bits, unless a source
    // was given.
    int next_integer();

    // Puts the draws back where a new sequence starts them: the first value, the sequence's
    // own integers, no cached deviate.
    void restart();

    // Replaces the integers the draws are made from (null: the sequence's own); returns the
    // previous source. Also forgets a cached Gaussian deviate, so that the next randgauss draws
    // from the new source.
    IntegerSource set_integer_source(IntegerSource source);

  private:
    static constexpr int kDegree = 31;

    // The additive feedback generator behind glibc's rand(), in the state srandom(1) leaves.
    int32_t state_[kDegree] = {};
    int front_ = 0;
    int rear_ = 0;
    IntegerSource source_ = nullptr;
    // randgauss: the parameters of the previous call and the cached deviate.
    double previous_mean_ = 0.0;
    double previous_sigma_ = 0.0;
    bool have_cached_ = false;
    double cached_ = 0.0;
};
