// Uniform, Gaussian and paired Gaussian draws. Most cases feed the generator a scripted
// sequence of 15-bit integers, so that the pair consumption and the cache are visible.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/RandomSequence.h"

namespace {

std::vector<int> script;
size_t script_next = 0;
int source_calls = 0;

int scripted_source() {
    ++source_calls;
    const int value = script[script_next % script.size()];
    ++script_next;
    return value;
}

// The two standard deviates the polar method makes from one accepted pair of integers.
struct Deviates {
    double first;
    double second;
};

Deviates polar(int r1, int r2) {
    const double w1 = 2.0 * (r1 / 32767.0) - 1.0;
    const double w2 = 2.0 * (r2 / 32767.0) - 1.0;
    const double s = w1 * w1 + w2 * w2;
    const double f = std::sqrt(-2.0 * std::log(s) / s);
    return {w1 * f, w2 * f};
}

// An accepted pair (s about 0.5) and a second one to tell them apart.
constexpr int kA1 = 24575;
constexpr int kA2 = 8191;
constexpr int kB1 = 20000;
constexpr int kB2 = 10000;

class ScriptedRandom : public testing::Test {
  protected:
    void SetUp() override {
        script.clear();
        script_next = 0;
        source_calls = 0;
        random.set_integer_source(&scripted_source);
    }

    void use(std::vector<int> values) {
        script = std::move(values);
        script_next = 0;
        source_calls = 0;
    }

    RandomSequence random;
};

TEST_F(ScriptedRandom, uniform_draw_is_zero_for_0_and_exactly_one_for_32767) {
    use({0, 32767, 16384});
    EXPECT_EQ(random.randuniform(), 0.0);
    EXPECT_EQ(random.randuniform(), 1.0);
    EXPECT_EQ(random.randuniform(), 16384 / 32767.0);
    EXPECT_EQ(source_calls, 3);
}

TEST_F(ScriptedRandom, two_calls_with_same_parameters_consume_one_accepted_pair) {
    use({kA1, kA2, kB1, kB2});
    const Deviates d = polar(kA1, kA2);
    EXPECT_DOUBLE_EQ(random.randgauss(10.0, 2.0), 10.0 + 2.0 * d.first);
    EXPECT_EQ(source_calls, 2);
    EXPECT_DOUBLE_EQ(random.randgauss(10.0, 2.0), 10.0 + 2.0 * d.second);
    EXPECT_EQ(source_calls, 2) << "the second deviate must come from the cache";
    random.randgauss(10.0, 2.0);
    EXPECT_EQ(source_calls, 4) << "the cache holds one deviate only";
}

TEST_F(ScriptedRandom, parameter_change_discards_the_cached_deviate) {
    use({kA1, kA2, kB1, kB2});
    random.randgauss(10.0, 2.0);
    ASSERT_EQ(source_calls, 2);
    const Deviates b = polar(kB1, kB2);
    EXPECT_DOUBLE_EQ(random.randgauss(5.0, 1.0), 5.0 + b.first);
    EXPECT_EQ(source_calls, 4);
    EXPECT_DOUBLE_EQ(random.randgauss(5.0, 1.0), 5.0 + b.second);
    EXPECT_EQ(source_calls, 4);
}

TEST_F(ScriptedRandom, change_of_sigma_alone_also_discards_the_cache) {
    use({kA1, kA2, kB1, kB2});
    random.randgauss(0.0, 1.0);
    const Deviates b = polar(kB1, kB2);
    EXPECT_DOUBLE_EQ(random.randgauss(0.0, 3.0), 3.0 * b.first);
    EXPECT_EQ(source_calls, 4);
}

TEST_F(ScriptedRandom, pair_outside_the_unit_circle_is_drawn_again) {
    // s == 1 cannot be reached with 15-bit integers: w = (2r - 32767) / 32767 is an odd
    // multiple of 1/32767, and 32767 = 7 * 31 * 151 has only prime factors of the form 4k + 3,
    // so 32767^2 is no sum of two odd squares. The closest pair outside the circle is
    // (32767, 16383) with s = 1 + 1/32767^2, which must be rejected.
    use({32767, 16383, 32767, 32767, 0, 16384, kA1, kA2});
    const Deviates a = polar(kA1, kA2);
    EXPECT_DOUBLE_EQ(random.randgauss(1.0, 1.0), 1.0 + a.first);
    EXPECT_EQ(source_calls, 8);
}

TEST_F(ScriptedRandom, not_a_number_parameter_counts_as_a_change_every_time) {
    use({kA1, kA2});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(std::isnan(random.randgauss(nan, 1.0)));
    EXPECT_EQ(source_calls, 2);
    EXPECT_TRUE(std::isnan(random.randgauss(nan, 1.0)));
    EXPECT_EQ(source_calls, 4) << "NaN never equals the previous mean";
    random.randgauss(0.0, nan);
    random.randgauss(0.0, nan);
    EXPECT_EQ(source_calls, 8) << "NaN never equals the previous sigma";
    random.randgauss(0.0, 1.0);
    EXPECT_EQ(source_calls, 10);
    random.randgauss(0.0, 1.0);
    EXPECT_EQ(source_calls, 10);
}

TEST_F(ScriptedRandom, zero_sigma_returns_the_mean_exactly_from_both_deviates) {
    use({kA1, kA2});
    EXPECT_EQ(random.randgauss(3.25, 0.0), 3.25);
    EXPECT_EQ(random.randgauss(3.25, 0.0), 3.25);
    EXPECT_EQ(source_calls, 2);
}

TEST_F(ScriptedRandom, replacing_the_source_forgets_a_cached_deviate) {
    use({kA1, kA2, kB1, kB2});
    random.randgauss(0.0, 1.0);
    ASSERT_EQ(random.set_integer_source(&scripted_source), &scripted_source);
    const Deviates b = polar(kB1, kB2);
    EXPECT_DOUBLE_EQ(random.randgauss(0.0, 1.0), b.first);
    EXPECT_EQ(source_calls, 4);
}

TEST_F(ScriptedRandom, pair_draw_with_rho_zero_uses_both_deviates_of_one_pair) {
    use({kA1, kA2, kB1, kB2});
    const Deviates a = polar(kA1, kA2);
    const double h = std::sqrt(0.5);
    double x = 0;
    double y = 0;
    random.randgauss2d(100.0, 4.0, 50.0, 2.0, 0.0, &x, &y);
    EXPECT_EQ(source_calls, 2);
    EXPECT_DOUBLE_EQ(x, (h * a.first + h * a.second) * 4.0 + 100.0);
    EXPECT_DOUBLE_EQ(y, (h * a.first - h * a.second) * 2.0 + 50.0);
}

class DefaultRandom : public testing::Test {
  protected:
    RandomSequence random;
};

TEST_F(DefaultRandom, each_sequence_draws_as_a_new_one_whatever_another_drew) {
    RandomSequence other;
    for (int i = 0; i < 100; ++i) other.randgauss(0.0, 1.0);
    RandomSequence fresh;
    const double first = fresh.randgauss(2024.0, 5.0);
    EXPECT_EQ(random.randgauss(2024.0, 5.0), first);
    other.restart();
    EXPECT_EQ(other.randgauss(2024.0, 5.0), first) << "a restart begins the sequence again";
}

TEST_F(DefaultRandom, uniform_draws_stay_within_zero_and_one) {
    double low = 1.0;
    double high = 0.0;
    for (int i = 0; i < 200000; ++i) {
        const double u = random.randuniform();
        ASSERT_GE(u, 0.0);
        ASSERT_LE(u, 1.0);
        low = std::min(low, u);
        high = std::max(high, u);
    }
    EXPECT_LT(low, 0.001);
    EXPECT_GT(high, 0.999);
}

TEST_F(DefaultRandom, gaussian_draws_have_the_requested_mean_and_sigma) {
    constexpr int kDraws = 40000;
    double sum = 0.0;
    double squares = 0.0;
    for (int i = 0; i < kDraws; ++i) {
        const double g = random.randgauss(2024.0, 5.0);
        sum += g;
        squares += g * g;
    }
    const double mean = sum / kDraws;
    const double sigma = std::sqrt(squares / kDraws - mean * mean);
    EXPECT_NEAR(mean, 2024.0, 0.2);
    EXPECT_NEAR(sigma, 5.0, 0.2);
}

TEST_F(DefaultRandom, pair_with_rho_one_deviates_in_the_ratio_of_the_sigmas) {
    for (int i = 0; i < 100; ++i) {
        double x = 0;
        double y = 0;
        random.randgauss2d(10.0, 2.0, -3.0, 0.5, 1.0, &x, &y);
        EXPECT_NEAR((x - 10.0) / 2.0, (y + 3.0) / 0.5, 1e-9) << "draw " << i;
    }
}

TEST_F(DefaultRandom, pair_with_rho_minus_one_deviates_in_opposite_directions) {
    for (int i = 0; i < 100; ++i) {
        double x = 0;
        double y = 0;
        random.randgauss2d(0.0, 1.0, 0.0, 3.0, -1.0, &x, &y);
        EXPECT_NEAR(x, -y / 3.0, 1e-9) << "draw " << i;
    }
}

TEST_F(DefaultRandom, rho_beyond_one_gives_not_a_number) {
    double x = 0;
    double y = 0;
    random.randgauss2d(0.0, 1.0, 0.0, 1.0, 1.5, &x, &y);
    EXPECT_TRUE(std::isnan(x));
    EXPECT_TRUE(std::isnan(y));
}

TEST_F(DefaultRandom, independent_pair_coordinates_are_uncorrelated) {
    constexpr int kDraws = 20000;
    double sx = 0, sy = 0, sxy = 0, sxx = 0, syy = 0;
    for (int i = 0; i < kDraws; ++i) {
        double x = 0;
        double y = 0;
        random.randgauss2d(0.0, 4.0, 0.0, 4.0, 0.0, &x, &y);
        sx += x;
        sy += y;
        sxy += x * y;
        sxx += x * x;
        syy += y * y;
    }
    const double cov = sxy / kDraws - (sx / kDraws) * (sy / kDraws);
    const double vx = sxx / kDraws - (sx / kDraws) * (sx / kDraws);
    const double vy = syy / kDraws - (sy / kDraws) * (sy / kDraws);
    EXPECT_NEAR(cov / std::sqrt(vx * vy), 0.0, 0.05);
    EXPECT_NEAR(std::sqrt(vx), 4.0, 0.2);
    EXPECT_NEAR(std::sqrt(vy), 4.0, 0.2);
}

}  // namespace
