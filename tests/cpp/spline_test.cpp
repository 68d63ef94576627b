#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "spline/knots.hpp"
#include "spline_reference.hpp"
#include "test_support.hpp"
#include "velmora/error.hpp"

using velmora::KeyInterpolation;
using velmora::SplineKnots;
using velmora::SplinePosition;
using velmora::testing::ReferenceSpline;

namespace {

using velmora::testing::inf_value;
using velmora::testing::internal_error;
using velmora::testing::nan_value;

using velmora::testing::bits;
const std::string unwrap_message = "called `Option::unwrap()` on a `None` value";
const std::string empty_index_message = "index out of bounds: the len is 0 but the index is 0";

std::vector<double> knot_ts(const SplineKnots& knots) {
    std::vector<double> ts;
    for (std::size_t j = 0; j < knots.len(); ++j) ts.push_back(knots.t(j));
    return ts;
}

// The value each key takes from values.
std::vector<double> knot_values(const SplineKnots& knots, const std::vector<double>& values) {
    std::vector<double> vs;
    for (std::size_t j = 0; j < knots.len(); ++j) {
        const std::size_t source = knots.source(j);
        vs.push_back(source == SplinePosition::last_value ? values.back() : values[source]);
    }
    return vs;
}

// The sample of values at s, or none.
std::optional<SplinePosition> locate(const SplineKnots& knots, double s, KeyInterpolation kind) {
    velmora::SplineCursor cursor;
    return knots.locate(s, kind, cursor);
}

}  // namespace

TEST(LinspaceGrid, Grids) {
    using velmora::testing::reference_linspace;
    EXPECT_EQ(reference_linspace(0, 5, 2.0), (std::vector<double>{0.0, 0.5, 1.0, 1.5, 2.0}));
    EXPECT_EQ(reference_linspace(0, 2, 3.0), (std::vector<double>{0.0, 3.0}));
    EXPECT_EQ(reference_linspace(0, 1, 3.0), (std::vector<double>{3.0}));
    EXPECT_EQ(reference_linspace(-2, 3, 2.0), (std::vector<double>{-2.0, 0.0, 2.0}));
    EXPECT_EQ(internal_error([] { velmora::LinspaceGrid(0, 0, 1.0); }), empty_index_message);
}

TEST(LinspaceGrid, InnerEntriesAreMultiplesOfTheStepAndTheLastIsEndExactly) {
    const double end = 0.9;
    const velmora::LinspaceGrid grid(0, 4, end);
    const double step = end / 3.0;
    ASSERT_EQ(grid.size(), 4u);
    for (std::size_t i = 1; i < 3; ++i) EXPECT_EQ(grid[i], static_cast<double>(i) * step);
    EXPECT_NE(3.0 * step, end);  // so the next line tests something
    EXPECT_EQ(grid[3], end);
    // The first entry is the start itself, also where 0 * step is NaN.
    EXPECT_EQ(velmora::LinspaceGrid(0, 3, inf_value)[0], 0.0);
}

TEST(SplineKnots, AddsGuardKeys) {
    const std::vector<double> keys{0, 1, 2};
    const SplineKnots knots(keys);
    EXPECT_EQ(knot_ts(knots), (std::vector<double>{-1, 0, 1, 2, 2 + 0.01, 2 + 0.02}));
    EXPECT_EQ(knot_values(knots, {10, 20, 40}), (std::vector<double>{10, 10, 20, 40, 40, 40}));
}

TEST(SplineKnots, SortsStablyAndTakesGuardsFromTheLastEntries) {
    // Unsorted keys with a repeat; the end guards follow keys.back() = 0 and
    // take values.back() = 4, after the keys at t = 0.
    const std::vector<double> keys{2, 0, 1, 0};
    const SplineKnots knots(keys);
    EXPECT_EQ(knot_ts(knots), (std::vector<double>{-1, 0, 0, 0.01, 0.02, 1, 2}));
    EXPECT_EQ(knot_values(knots, {1, 2, 3, 4}), (std::vector<double>{1, 2, 4, 4, 4, 3, 1}));
}

TEST(SplineKnots, EndGuardsLieStrictlyAfterTheLastKey) {
    // From 2^47 on, last + 0.01 rounds onto the last key, from 2^48 last + 0.02
    // does too; a guard then takes the next double above the key before it.
    // Where the offsets move past the key before, they stay as they are.
    const double big = std::ldexp(1.0, 47);
    const auto up = [](double v) { return std::nextafter(v, inf_value); };
    struct Case {
        std::vector<double> keys;
        double first;
        double second;
    };
    const std::vector<Case> cases{
        {{0, 2}, 2 + 0.01, 2 + 0.02},
        {{0, 1e12}, 1e12 + 0.01, 1e12 + 0.02},
        // Both offsets round to the same double: only the second moves.
        {{0, 1e14}, 1e14 + 0.01, up(1e14 + 0.01)},
        {{0, big}, up(big), up(up(big))},
        {{0, 2 * big}, up(2 * big), up(up(2 * big))},
        {{0, 1e15}, up(1e15), up(up(1e15))},
        {{5, -1e17}, up(-1e17), up(up(-1e17))},  // unsorted: the copied layout
        {{0, inf_value}, inf_value, inf_value},
    };
    for (const Case& c : cases) {
        const SplineKnots knots(c.keys);
        const std::vector<double> ts = knot_ts(knots);
        const auto last = std::find(ts.begin(), ts.end(), c.keys.back());
        ASSERT_LE(last + 3, ts.end()) << c.keys.back();
        EXPECT_EQ(bits(last[1]), bits(c.first)) << c.keys.back();
        EXPECT_EQ(bits(last[2]), bits(c.second)) << c.keys.back();
    }
}

struct SampleCase {
    KeyInterpolation kind;
    double s;
    std::optional<double> value;
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
    const auto at = locate(SplineKnots(keys), c.s, c.kind);
    ASSERT_EQ(at.has_value(), c.value.has_value());
    if (at) EXPECT_DOUBLE_EQ(at->value(values), *c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplineSampling,
    ::testing::Values(SampleCase{KeyInterpolation::Linear, 0.5, 15.0},
                      SampleCase{KeyInterpolation::Linear, 2.0, 40.0},
                      SampleCase{KeyInterpolation::Linear, 2.02, std::nullopt},
                      SampleCase{KeyInterpolation::Linear, 2.5, std::nullopt},
                      SampleCase{KeyInterpolation::Linear, -1.0, 10.0},
                      SampleCase{KeyInterpolation::Linear, -1.5, std::nullopt},
                      SampleCase{KeyInterpolation::Linear, 2.015, 40.0},
                      SampleCase{KeyInterpolation::CatmullRom, 1.0, 20.0},
                      SampleCase{KeyInterpolation::CatmullRom, 0.0, 10.0},
                      SampleCase{KeyInterpolation::CatmullRom, -0.5, std::nullopt},
                      SampleCase{KeyInterpolation::CatmullRom, 2.0, 40.0},
                      SampleCase{KeyInterpolation::CatmullRom, 2.015, std::nullopt},
                      // m0 = (40 - 10) / 2, m1 = (40 - 20) / 1.01; nt = 0.5
                      SampleCase{KeyInterpolation::CatmullRom, 1.5,
                                 15.0 * 0.125 + 20 * 0.5 + 40 * 0.5 - 20.0 / 1.01 * 0.125}));

TEST(SplineKnots, SamplesAtKeysAreTheKeysValues) {
    // Exactly on a key the weights would meet an infinite neighbour or an
    // overflowing difference (NaN) or add a zero of the other sign.
    const std::vector<double> keys{0, 0.3, 1.7, 2.2, 5};
    const SplineKnots knots(keys);
    const std::vector<std::vector<double>> columns{
        {0.1, -3.3, 7.7, 1e-3, 2.5},
        {10, inf_value, 30, -inf_value, 7},
        {-1e308, 1e308, -1e308, 1e308, -1e308},
        {-0.0, 1, -0.0, -2, -0.0},
    };
    for (const KeyInterpolation kind : {KeyInterpolation::Linear, KeyInterpolation::CatmullRom})
        for (const auto& values : columns)
            for (std::size_t i = 0; i < keys.size(); ++i)
                EXPECT_EQ(bits(locate(knots, keys[i], kind)->value(values)), bits(values[i]))
                    << "key " << i << " of " << values[1];
}

TEST(SplineKnots, RepeatedParameterUsesTheLastEqualKey) {
    const std::vector<double> keys{0, 1, 1, 2};
    const std::vector<double> values{0, 5, 7, 9};
    for (const KeyInterpolation kind : {KeyInterpolation::Linear, KeyInterpolation::CatmullRom}) {
        const auto at = locate(SplineKnots(keys), 1.0, kind);
        ASSERT_TRUE(at);
        EXPECT_EQ(at->value(values), 7.0);
    }
}

TEST(SplineKnots, NaNMetBySearchFails) {
    const std::vector<double> keys{0, 1, 2, 3, nan_value};
    const SplineKnots knots(keys);
    EXPECT_TRUE(std::isnan(knots.t(knots.len() - 1)));  // NaN sorts last
    // 0.5 never probes the NaN key; 3.5 does.
    EXPECT_DOUBLE_EQ(locate(knots, 0.5, KeyInterpolation::Linear)->value(keys), 0.5);
    EXPECT_EQ(internal_error([&] { locate(knots, 3.5, KeyInterpolation::Linear); }),
              unwrap_message);
    EXPECT_EQ(internal_error([&] { locate(knots, nan_value, KeyInterpolation::Linear); }),
              unwrap_message);
}

namespace {

// A sample as text: the value's bits, "none", or the failure.
std::string describe(const ReferenceSpline& s, double t) {
    try {
        const auto sample = s.sample(t);
        if (!sample) return "none";
        return std::to_string(bits(*sample));
    } catch (const velmora::Error& e) {
        return e.what();
    }
}

// What a SplineKnots lookup gives one value sequence, in describe()'s terms.
std::string describe_position(const std::optional<velmora::SplinePosition>& at,
                              const std::string& error, std::span<const double> values) {
    if (!error.empty()) return error;
    if (!at) return "none";
    return std::to_string(bits(at->value(values)));
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

TEST(SplineKnots, KeysAreTheKeysOfThePlainSpline) {
    std::mt19937_64 rng(99);
    for (int shape = 0; shape < 7; ++shape) {
        for (const int n : {1, 2, 3, 5, 40}) {
            const std::vector<double> keys = random_keys(rng, shape, n);
            // Longer values: the end guards take values.back(), not the value of the last key.
            std::vector<double> values(keys.size() + 2);
            for (std::size_t i = 0; i < values.size(); ++i)
                values[i] = 0.5 + static_cast<double>(i);
            const ReferenceSpline spline(keys, values, KeyInterpolation::Linear);
            const velmora::SplineKnots knots(keys);
            ASSERT_EQ(knots.len(), spline.keys().size());
            for (std::size_t j = 0; j < knots.len(); ++j) {
                const velmora::testing::ReferenceKey& key = spline.keys()[j];
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
            std::vector<double> ascending =
                velmora::testing::reference_linspace(-3, count, hi + 1.0);
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

            for (const KeyInterpolation kind :
                 {KeyInterpolation::Linear, KeyInterpolation::CatmullRom}) {
                const velmora::SplineKnots knots(keys);
                std::vector<ReferenceSpline> splines;
                for (const auto& seq : sequences) splines.emplace_back(keys, seq, kind);
                for (const auto& grid : grids) {
                    velmora::SplineCursor cursor;
                    for (const double g : grid) {
                        std::optional<velmora::SplinePosition> at;
                        std::string error;
                        try {
                            at = knots.locate(g, kind, cursor);
                        } catch (const velmora::Error& e) {
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
