// Random numbers for the pedestals, the hits, the efficiency test and the trigger interval.
//
// The generator is never seeded: every start of the program draws the same sequence, which
// hosts' regression tests rely on. All functions share one program-wide state and are meant
// for one thread.
#pragma once

// A source of integers uniform over 0 to 32767.
using IntegerSource = int (*)();

// A uniform draw in [0, 1], both ends included: an integer of the source divided by 32767.
double randuniform();

// A Gaussian draw (polar method); the second deviate of each pair is kept for the next call
// with the same mean and sigma.
double randgauss(double mean, double sigma);

// A pair of Gaussian draws with correlation rho, written to *x and *y.
void randgauss2d(double mean_x, double sigma_x, double mean_y, double sigma_y, double rho,
                 double* x, double* y);

// The next value of the C library's rand() sequence in its initial, unseeded state (0 to
// 2^31 - 1), from a private state: no lock, and nothing else in the process can disturb it.
int rand_sequence_next();

// The default integer source: rand_sequence_next() reduced to its top 15 bits.
int rand_sequence_15();

// Puts the draws back where a new process starts them: the sequence at its first value, the
// default integer source, no cached deviate (for tests that compare the draws of a fresh start).
void restart_random_sequence();

// Replaces the integer source (for tests); returns the previous one. Also forgets a cached
// Gaussian deviate so that the next randgauss draws from the new source.
IntegerSource set_integer_source(IntegerSource source);
