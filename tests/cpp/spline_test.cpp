#include <cmath>
#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "velmora/error.hpp"
#include "velmora/spline.hpp"

using velmora::KeyInterpolation;
using velmora::Spline;
using velmora::SplineKey;

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
const std::string unwrap_message = "called `Option::unwrap()` on a `None` value";
const std::string empty_index_message = "index out of bounds: the len is 0 but the index is 0";

template <class F>
std::string internal_error(F&& f) {
    try {
        f();
    } catch (const velmora::InternalError& e) {
        return e.what();
    }
    return "<no InternalError>";
}

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
    EXPECT_THROW(velmora::linspace(0, 10, 1.0, std::numeric_limits<std::size_t>::max()),
                 std::bad_alloc);
    EXPECT_GE(velmora::linspace(0, 10, 1.0, 1).capacity(), 11u);
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
    velmora::SplineCursor cursor;
    const auto via_cursor = spline.sample_with_key(c.s, cursor);
    ASSERT_EQ(via_cursor.has_value(), c.value.has_value());
    if (via_cursor) {
        EXPECT_EQ(via_cursor->value, sample->value);
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

    velmora::SplineCursor cursor;
    EXPECT_DOUBLE_EQ(s.sample_with_key(0.5, cursor)->value, 0.5);
    EXPECT_EQ(internal_error([&] { s.sample_with_key(3.5, cursor); }), unwrap_message);

    const std::vector<double> keys{0, 1};
    const Spline clean = velmora::make_spline(keys, keys, KeyInterpolation::Linear);
    velmora::SplineCursor warm;
    ASSERT_TRUE(clean.sample_with_key(0.5, warm));
    EXPECT_EQ(internal_error([&] { clean.sample_with_key(nan_value, warm); }), unwrap_message);
}

namespace {

// Plain search and cursor search side by side: same value bits, same key,
// or the same failure.
std::string describe(const Spline& s, double t, velmora::SplineCursor* cursor) {
    try {
        const auto sample = cursor ? s.sample_with_key(t, *cursor) : s.sample_with_key(t);
        if (!sample) return "none";
        return std::to_string(sample->key) + ":" + std::to_string(std::bit_cast<std::uint64_t>(sample->value));
    } catch (const velmora::InternalError& e) {
        return e.what();
    }
}

}  // namespace

TEST(Spline, CursorSearchMatchesBinarySearch) {
    std::mt19937_64 rng(12345);
    std::uniform_int_distribution<int> small(0, 3);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int round = 0; round < 40; ++round) {
        // Keys with many repeats and a few large gaps.
        std::vector<double> keys;
        double t = 0.0;
        const int n = 2 + round * 7;
        for (int i = 0; i < n; ++i) {
            keys.push_back(t);
            const int jump = small(rng);
            t += jump == 0 ? 0.0 : jump == 3 ? 10.0 * unit(rng) : unit(rng);
        }
        std::vector<double> values(keys.size());
        for (double& v : values) v = unit(rng) * 100.0 - 50.0;

        std::vector<std::vector<double>> grids;
        std::vector<double> ascending = velmora::linspace(-2, 3 * n + 5, keys.back() + 1.0);
        grids.push_back(ascending);
        grids.emplace_back(ascending.rbegin(), ascending.rend());
        std::vector<double> coarse;
        for (std::size_t i = 0; i < ascending.size(); i += 13) coarse.push_back(ascending[i]);
        coarse.push_back(keys.back() * 0.5);  // like an appended total behind the grid end
        grids.push_back(coarse);
        std::vector<double> on_keys = keys;
        on_keys.push_back(nan_value);
        on_keys.push_back(keys.front());
        grids.push_back(on_keys);
        std::vector<double> shuffled = ascending;
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        shuffled.insert(shuffled.begin() + static_cast<std::ptrdiff_t>(shuffled.size() / 2), nan_value);
        grids.push_back(shuffled);

        for (const KeyInterpolation kind : {KeyInterpolation::Linear, KeyInterpolation::CatmullRom}) {
            const Spline s = velmora::make_spline(keys, values, kind);
            for (const auto& grid : grids) {
                velmora::SplineCursor cursor;
                for (const double g : grid) ASSERT_EQ(describe(s, g, &cursor), describe(s, g, nullptr)) << g;
            }
        }
    }
}
