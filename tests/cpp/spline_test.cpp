#include <cmath>
#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

#include "velmora/error.hpp"
#include "velmora/spline.hpp"

using velmora::KeyInterpolation;
using velmora::Spline;
using velmora::SplineKey;

namespace {

using velmora::testing::inf_value;
using velmora::testing::internal_error;
using velmora::testing::nan_value;

using velmora::testing::bits;
const std::string unwrap_message = "called `Option::unwrap()` on a `None` value";
const std::string empty_index_message = "index out of bounds: the len is 0 but the index is 0";


std::vector<double> key_ts(const Spline& s) {
    std::vector<double> ts;
    for (const SplineKey& k : s.keys()) ts.push_back(k.t);
    return ts;
}

std::vector<double> key_values(const Spline& s) {
    std::vector<double> vs;
    for (const SplineKey& k : s.keys()) vs.push_back(k.value);
    return vs;
}

}  // namespace

TEST(Linspace, Grids) {
    EXPECT_EQ(velmora::linspace(0, 5, 2.0), (std::vector<double>{0.0, 0.5, 1.0, 1.5, 2.0}));
    EXPECT_EQ(velmora::linspace(0, 2, 3.0), (std::vector<double>{0.0, 3.0}));
    EXPECT_EQ(velmora::linspace(0, 1, 3.0), (std::vector<double>{3.0}));
    EXPECT_EQ(velmora::linspace(-2, 3, 2.0), (std::vector<double>{-2.0, 0.0, 2.0}));
}

TEST(Linspace, InnerEntriesAreMultiplesOfTheStepAndTheLastIsEndExactly) {
    const double end = 0.9;
    const std::vector<double> grid = velmora::linspace(0, 4, end);
    const double step = end / 3.0;
    ASSERT_EQ(grid.size(), 4u);
    for (std::size_t i = 1; i < 3; ++i) EXPECT_EQ(grid[i], static_cast<double>(i) * step);
    EXPECT_NE(3.0 * step, end);  // so the next line tests something
    EXPECT_EQ(grid.back(), end);
}

TEST(Linspace, Failures) {
    EXPECT_EQ(internal_error([] { velmora::linspace(0, 0, 3.0); }), empty_index_message);
    EXPECT_THROW(velmora::linspace(0, std::size_t{1} << 62, 1.0), std::bad_alloc);
}

TEST(MakeSpline, AddsGuardKeys) {
    const std::vector<double> keys{0, 1, 2};
    const std::vector<double> values{10, 20, 40};
    const Spline s = velmora::make_spline(keys, values, KeyInterpolation::CatmullRom);
    EXPECT_EQ(key_ts(s), (std::vector<double>{-1, 0, 1, 2, 2 + 0.01, 2 + 0.02}));
    EXPECT_EQ(key_values(s), (std::vector<double>{10, 10, 20, 40, 40, 40}));
    for (const SplineKey& k : s.keys()) EXPECT_EQ(k.interpolation, KeyInterpolation::CatmullRom);
}

TEST(MakeSpline, SortsStablyAndTakesGuardsFromTheLastEntries) {
    // Unsorted keys with a repeat; the end guards use keys.back() = 0 and
    // values.back() = 4, and land after the keys at t = 0.
    const std::vector<double> keys{2, 0, 1, 0};
    const std::vector<double> values{1, 2, 3, 4};
    const Spline s = velmora::make_spline(keys, values, KeyInterpolation::Linear);
    EXPECT_EQ(key_ts(s), (std::vector<double>{-1, 0, 0, 0.01, 0.02, 1, 2}));
    EXPECT_EQ(key_values(s), (std::vector<double>{1, 2, 4, 4, 4, 3, 1}));

    // Unequal lengths: keys for the shorter length, guards from each sequence's own end.
    const std::vector<double> short_values{5, 6};
    const Spline t = velmora::make_spline(keys, short_values, KeyInterpolation::Linear);
    EXPECT_EQ(key_ts(t), (std::vector<double>{-1, 0, 0.01, 0.02, 2}));
    EXPECT_EQ(key_values(t), (std::vector<double>{5, 6, 6, 6, 5}));
}

TEST(MakeSpline, EmptyInputs) {
    const std::vector<double> none;
    const std::vector<double> some{1.0};
    EXPECT_EQ(internal_error([&] { velmora::make_spline(none, none, KeyInterpolation::Linear); }),
              empty_index_message);
    EXPECT_EQ(internal_error([&] { velmora::make_spline(some, none, KeyInterpolation::Linear); }),
              empty_index_message);
    EXPECT_EQ(internal_error([&] { velmora::make_spline(none, some, KeyInterpolation::Linear); }),
              unwrap_message);
}

TEST(Spline, AddPlacesNewKeyAfterEqualParameters) {
    Spline s = Spline::from_keys({{1, 10}, {0, 0}, {1, 11}});
    s.add({1, 12});
    s.add({0.5, 5});
    EXPECT_EQ(key_values(s), (std::vector<double>{0, 5, 10, 11, 12}));
}

struct SampleCase {
    KeyInterpolation kind;
    double s;
    std::optional<double> value;
    std::size_t key;
};

// Printed briefly, so that test listings stay one short line per case.
void PrintTo(const SampleCase& c, std::ostream* os) {
    *os << (c.kind == KeyInterpolation::Linear ? "linear" : "catmull-rom") << " at " << c.s;
}

class SplineSampling : public ::testing::TestWithParam<SampleCase> {};

TEST_P(SplineSampling, MatchesExpectedValue) {
    const SampleCase& c = GetParam();
    const std::vector<double> keys{0, 1, 2};
    const std::vector<double> values{10, 20, 40};
    const Spline spline = velmora::make_spline(keys, values, c.kind);
    const auto sample = spline.sample_with_key(c.s);
    ASSERT_EQ(sample.has_value(), c.value.has_value());
    if (sample) {
        EXPECT_DOUBLE_EQ(sample->value, *c.value);
        EXPECT_EQ(sample->key, c.key);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplineSampling,
    ::testing::Values(SampleCase{KeyInterpolation::Linear, 0.5, 15.0, 1},
                      SampleCase{KeyInterpolation::Linear, 2.0, 40.0, 3},
                      SampleCase{KeyInterpolation::Linear, 2.02, std::nullopt, 0},
                      SampleCase{KeyInterpolation::Linear, 2.5, std::nullopt, 0},
                      SampleCase{KeyInterpolation::Linear, -1.0, 10.0, 0},
                      SampleCase{KeyInterpolation::Linear, -1.5, std::nullopt, 0},
                      SampleCase{KeyInterpolation::Linear, 2.015, 40.0, 4},
                      SampleCase{KeyInterpolation::CatmullRom, 1.0, 20.0, 2},
                      SampleCase{KeyInterpolation::CatmullRom, 0.0, 10.0, 1},
                      SampleCase{KeyInterpolation::CatmullRom, -0.5, std::nullopt, 0},
                      SampleCase{KeyInterpolation::CatmullRom, 2.0, 40.0, 3},
                      SampleCase{KeyInterpolation::CatmullRom, 2.015, std::nullopt, 0},
                      // m0 = (40 - 10) / 2, m1 = (40 - 20) / 1.01; nt = 0.5
                      SampleCase{KeyInterpolation::CatmullRom, 1.5,
                                 15.0 * 0.125 + 20 * 0.5 + 40 * 0.5 - 20.0 / 1.01 * 0.125, 2}));

TEST(Spline, CatmullRomHitsKeysExactly) {
    const std::vector<double> keys{0, 0.3, 1.7, 2.2, 5};
    const std::vector<double> values{0.1, -3.3, 7.7, 1e-3, 2.5};
    const Spline s = velmora::make_spline(keys, values, KeyInterpolation::CatmullRom);
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(s.sample_with_key(keys[i])->value, values[i]);
}

TEST(Spline, RepeatedParameterUsesTheLastEqualKey) {
    const std::vector<double> keys{0, 1, 1, 2};
    const std::vector<double> values{0, 5, 7, 9};
    for (const KeyInterpolation kind : {KeyInterpolation::Linear, KeyInterpolation::CatmullRom}) {
        const Spline s = velmora::make_spline(keys, values, kind);
        const auto sample = s.sample_with_key(1.0);
        ASSERT_TRUE(sample);
        EXPECT_EQ(sample->key, 3u);
        EXPECT_EQ(sample->value, 7.0);
    }
}

TEST(Spline, FewerThanTwoKeysGiveNoSampleEvenForNaN) {
    EXPECT_FALSE(Spline().sample_with_key(0.0));
    EXPECT_FALSE(Spline::from_keys({{0, 1}}).sample_with_key(nan_value));
}

TEST(Spline, NaNMetBySearchFails) {
    const Spline s = Spline::from_keys({{0, 0}, {1, 1}, {2, 2}, {3, 3}, {nan_value, 4}});
    EXPECT_EQ(key_ts(s).size(), 5u);
    EXPECT_TRUE(std::isnan(s.keys().back().t));  // NaN sorts last
    // 0.5 never probes the NaN key; 3.5 does.
    EXPECT_DOUBLE_EQ(s.sample_with_key(0.5)->value, 0.5);
    EXPECT_EQ(internal_error([&] { s.sample_with_key(3.5); }), unwrap_message);
    EXPECT_EQ(internal_error([&] { s.sample_with_key(nan_value); }), unwrap_message);

}

namespace {

// A sample as text: the key and the value's bits, "none", or the failure.
std::string describe(const Spline& s, double t) {
    try {
        const auto sample = s.sample_with_key(t);
        if (!sample) return "none";
        return std::to_string(sample->key) + ":" + std::to_string(std::bit_cast<std::uint64_t>(sample->value));
    } catch (const velmora::InternalError& e) {
        return e.what();
    }
}

}  // namespace

TEST(LinspaceGrid, EntriesMatchLinspaceBitForBit) {
    const double inf = std::numeric_limits<double>::infinity();
    for (const std::int32_t start : {0, -2, 7}) {
        for (const std::size_t count : {1u, 2u, 3u, 4u, 10u, 97u, 1001u}) {
            for (const double end : {0.0, 2.0, 0.9, -3.3, 1e300, inf, nan_value}) {
                const std::vector<double> stored = velmora::linspace(start, count, end);
                const velmora::LinspaceGrid grid(start, count, end);
                ASSERT_EQ(grid.size(), stored.size());
                for (std::size_t i = 0; i < count; ++i)
                    ASSERT_EQ(bits(grid[i]), bits(stored[i])) << start << " " << count << " " << end << " " << i;
            }
        }
    }
    EXPECT_EQ(internal_error([] { velmora::LinspaceGrid(0, 0, 1.0); }), empty_index_message);
}

namespace {

// What a SplineKnots lookup gives one value sequence, in describe()'s terms.
std::string describe_position(const std::optional<velmora::SplinePosition>& at,
                              const std::string& error, std::span<const double> values) {
    if (!error.empty()) return error;
    if (!at) return "none";
    return std::to_string(at->key) + ":" + std::to_string(bits(at->value(values)));
}

// Keys of the kinds a caller can hand in: a path's lengths (ascending from 0,
// with repeats), keys at or below -1, unsorted keys, keys with NaN or infinity.
std::vector<double> random_keys(std::mt19937_64& rng, int shape, int n) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> keys;
    double t = shape == 1 ? -3.0 : shape == 6 ? -1.0 : 0.0;
    for (int i = 0; i < n; ++i) {
        keys.push_back(t);
        const double r = unit(rng);
        t += r < 0.25 ? 0.0 : r < 0.3 ? 20.0 * unit(rng) : unit(rng);
    }
    if (shape == 2) std::shuffle(keys.begin(), keys.end(), rng);
    if (shape == 3) keys[static_cast<std::size_t>(n / 2)] = nan_value;  // a NaN inside
    if (shape == 4) {
        // a path's NaN tail
        std::fill(keys.begin() + n / 3, keys.end(), nan_value);
    }
    if (shape == 5) keys.back() = std::numeric_limits<double>::infinity();
    return keys;
}

}  // namespace

TEST(SplineKnots, KeysAreTheKeysOfMakeSpline) {
    std::mt19937_64 rng(99);
    for (int shape = 0; shape < 7; ++shape) {
        for (const int n : {1, 2, 3, 5, 40}) {
            const std::vector<double> keys = random_keys(rng, shape, n);
            // Longer values: the end guards take values.back(), not the value of the last key.
            std::vector<double> values(keys.size() + 2);
            for (std::size_t i = 0; i < values.size(); ++i) values[i] = 0.5 + static_cast<double>(i);
            const Spline spline = velmora::make_spline(keys, values, KeyInterpolation::Linear);
            const velmora::SplineKnots knots(keys);
            ASSERT_EQ(knots.len(), spline.len());
            for (std::size_t j = 0; j < knots.len(); ++j) {
                const SplineKey& key = spline.keys()[j];
                const std::size_t source = knots.source(j);
                const double value =
                    source == velmora::SplinePosition::last_value ? values.back() : values[source];
                EXPECT_EQ(bits(knots.t(j)), bits(key.t)) << shape << " " << n << " " << j;
                EXPECT_EQ(value, key.value) << shape << " " << n << " " << j;
            }
        }
    }
    EXPECT_EQ(internal_error([] { velmora::SplineKnots(std::span<const double>{}); }),
              unwrap_message);
}

TEST(SplineKnots, SamplesMatchPlainSplineSampling) {
    // One locate per parameter serves every value sequence: each must get
    // exactly what its own spline's plain binary search gives, failures included.
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int round = 0; round < 12; ++round) {
        for (int shape = 0; shape < 7; ++shape) {
            const int n = 1 + round * 9;
            const std::vector<double> keys = random_keys(rng, shape, n);
            std::vector<std::vector<double>> sequences(3, std::vector<double>(keys.size()));
            for (auto& seq : sequences)
                for (double& v : seq) v = unit(rng) * 100.0 - 50.0;
            sequences[2].push_back(1234.5);  // longer than the keys

            double hi = -1.0;
            for (const double k : keys)
                if (!std::isnan(k)) hi = std::max(hi, k);
            const auto count = static_cast<std::size_t>(4 * n + 7);
            std::vector<double> ascending = velmora::linspace(-3, count, hi + 1.0);
            std::vector<std::vector<double>> grids{ascending,
                                                   {ascending.rbegin(), ascending.rend()}};
            std::vector<double> exact{-1.0};  // exactly on keys and guards
            for (const double k : keys) {
                if (std::isnan(k)) continue;
                exact.insert(exact.end(), {k, k + 0.01, k + 0.02, k + 0.015});
            }
            std::sort(exact.begin(), exact.end());
            grids.push_back(exact);
            std::vector<double> shuffled = exact;
            shuffled.insert(shuffled.end(), ascending.begin(), ascending.end());
            std::shuffle(shuffled.begin(), shuffled.end(), rng);
            grids.push_back(shuffled);
            std::vector<double> with_nan = ascending;
            with_nan.insert(with_nan.begin() + static_cast<std::ptrdiff_t>(count / 2), nan_value);
            grids.push_back(with_nan);

            for (const KeyInterpolation kind : {KeyInterpolation::Linear, KeyInterpolation::CatmullRom}) {
                const velmora::SplineKnots knots(keys);
                std::vector<Spline> splines;
                for (const auto& seq : sequences)
                    splines.push_back(velmora::make_spline(keys, seq, kind));
                for (const auto& grid : grids) {
                    velmora::SplineCursor cursor;
                    for (const double g : grid) {
                        std::optional<velmora::SplinePosition> at;
                        std::string error;
                        try {
                            at = knots.locate(g, kind, cursor);
                        } catch (const velmora::InternalError& e) {
                            error = e.what();
                        }
                        for (std::size_t k = 0; k < sequences.size(); ++k) {
                            ASSERT_EQ(describe_position(at, error, sequences[k]),
                                      describe(splines[k], g))
                                << "shape " << shape << " n " << n << " s " << g << " seq " << k;
                        }
                    }
                }
            }
        }
    }
}
