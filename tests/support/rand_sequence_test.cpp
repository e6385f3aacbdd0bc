// A module's integer sequence must replay the C library's unseeded rand() exactly,
// so that runs of the emulator draw what hosts' regression data were recorded with. This file
// is its own executable: rand() must be in its initial state when the test begins.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/RandomSequence.h"

namespace {

TEST(RandSequence, replays_unseeded_rand_then_its_top_fifteen_bits_feed_the_uniform_draw) {
    constexpr int kCompared = 1000000;
    RandomSequence random;
    int mismatch_at = -1;
    int expected = 0;
    int got = 0;
    for (int i = 0; i < kCompared; ++i) {
        expected = std::rand();
        got = random.next_rand();
        if (got != expected) {
            mismatch_at = i;
            break;
        }
    }
    ASSERT_EQ(mismatch_at, -1) << "value " << mismatch_at << ": rand() gave " << expected
                               << ", the sequence " << got;

    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(random.next_integer(), std::rand() >> 16) << "value " << i;
    }
    for (int i = 0; i < 1000; ++i) {
        const int r = std::rand() >> 16;
        ASSERT_EQ(random.randuniform(), r / 32767.0) << "value " << i;
    }
}

}  // namespace
