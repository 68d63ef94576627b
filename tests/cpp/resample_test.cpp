#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "spline_reference.hpp"
#include "test_support.hpp"

#include "core/memory.hpp"
#include "velmora/error.hpp"
#include "velmora/path2d.hpp"

using velmora::ByNumberPoints;
using velmora::BySamplingDistance;
using velmora::InterpolationMethod;
using velmora::Path2D;
using velmora::Point;

namespace {

using velmora::testing::bits;
using velmora::testing::nan_value;

TEST(Resample, ImpossibleGridsFailBeforeAllocating) {
    const Path2D path = Path2D::from_points({{0, 0}, {1000, 0}});
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(path.resampled_path(ByNumberPoints{std::size_t{1} << 62},
                                     InterpolationMethod::Linear, 0.01),
                 std::bad_alloc);
    // 1e18 samples: below 2^64, far above memory.
    EXPECT_THROW(
        path.resampled_path(BySamplingDistance{1e-15, false}, InterpolationMethod::Cubic, 0.01),
        std::bad_alloc);
    // Fits once, but not with one result value per column on top.
    Path2D wide = path;
    for (int i = 0; i < 200; ++i) ASSERT_NO_THROW(wide.add_associated_values({0, 1}));
    const auto per_column = velmora::physical_memory_bytes() / 8 / 200;
    EXPECT_THROW(wide.resampled_path(ByNumberPoints{per_column}, InterpolationMethod::Linear, 0.01),
                 std::bad_alloc);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

// The resampler as the plain per-spline algorithm: one spline per
// sequence, a stored linspace grid, a full binary search per sample. The
// resampler shares one key search between all sequences and never stores the
// grid; its results must be the same bits.
std::string reference_resample(const Path2D& path, const velmora::ResamplingMethod& method,
                               InterpolationMethod im, double epsilon) {
    const auto kind = im == InterpolationMethod::Cubic ? velmora::KeyInterpolation::CatmullRom
                                                       : velmora::KeyInterpolation::Linear;
    try {
        const std::vector<double>& lengths = path.path_length_per_point();
        const double total = lengths.back();
        std::vector<velmora::testing::ReferenceSpline> splines{{lengths, path.x(), kind},
                                                               {lengths, path.y(), kind}};
        for (const auto& column : path.associated_values())
            splines.emplace_back(lengths, column, kind);
        std::vector<double> grid;
        if (const auto* by_number = std::get_if<ByNumberPoints>(&method)) {
            grid = velmora::testing::reference_linspace(0, by_number->number_points, total);
        } else {
            const auto& by_distance = std::get<BySamplingDistance>(method);
            const double d = by_distance.sampling_distance;
            const double k = std::floor(total / d);
            std::uint64_t saturated = std::numeric_limits<std::uint64_t>::max();
            if (!(k > 0.0))
                saturated = 0;
            else if (k < 18446744073709551616.0)
                saturated = static_cast<std::uint64_t>(k);
            grid = velmora::testing::reference_linspace(0, saturated + 1, d * k);
            if (!by_distance.drop_last && std::abs(d * k - total) > epsilon) grid.push_back(total);
        }
        std::string out;
        for (const velmora::testing::ReferenceSpline& spline : splines) {
            for (const double s : grid) {
                const auto sample = spline.sample(s);
                out += std::to_string(bits(sample ? *sample : 0.0)) + ",";
            }
            out += ";";
        }
        return out;
    } catch (const velmora::Error& e) {
        return e.what();
    }
}

std::string describe_resample(const Path2D& path, const velmora::ResamplingMethod& method,
                              InterpolationMethod im, double epsilon) {
    try {
        const Path2D result = path.resampled_path(method, im, epsilon);
        std::string out;
        std::vector<std::vector<double>> sequences{result.x(), result.y()};
        for (const auto& column : result.associated_values()) sequences.push_back(column);
        for (const auto& sequence : sequences) {
            EXPECT_EQ(sequence.size(), result.size());
            for (const double v : sequence) out += std::to_string(bits(v)) + ",";
            out += ";";
        }
        for (std::size_t i = 0; i < result.size(); ++i) {
            EXPECT_EQ(bits(result.points()[i].x), bits(result.x()[i]));
            EXPECT_EQ(bits(result.points()[i].y), bits(result.y()[i]));
        }
        return out;
    } catch (const velmora::Error& e) {
        return e.what();
    }
}

TEST(Resample, SharedKeySearchMatchesPerSplineSampling) {
    std::mt19937_64 rng(31);
    std::normal_distribution<double> normal;
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<Path2D> paths;
    for (const int n : {2, 3, 5, 40, 301}) {
        for (int shape = 0; shape < 5; ++shape) {
            std::vector<Point> pts{{normal(rng), normal(rng)}};
            for (int i = 1; i < n; ++i) {
                const bool repeat = shape == 1 && i % 3 == 0;
                const Point step{normal(rng), normal(rng)};
                pts.push_back(repeat ? pts.back()
                                     : Point{pts.back().x + step.x, pts.back().y + step.y});
            }
            if (shape == 2) pts[static_cast<std::size_t>(n) / 2].y = nan_value;
            if (shape == 3) pts.back().x = inf;
            if (shape == 4) pts.back() = pts.front();
            Path2D path = Path2D::from_points(pts);
            for (int c = 0; c < shape % 3; ++c) {
                std::vector<double> column(pts.size());
                for (double& v : column) v = normal(rng);
                if (c == 1) column.back() = nan_value;
                EXPECT_NO_THROW(path.add_associated_values(column));
            }
            paths.push_back(path);
        }
        // Unequal coordinate lengths: the end guards take the longer sequence's last value.
        std::vector<double> xs(static_cast<std::size_t>(n) + 2);
        std::vector<double> ys(static_cast<std::size_t>(n));
        for (double& v : xs) v = normal(rng);
        for (double& v : ys) v = normal(rng);
        paths.push_back(Path2D::from_coordinates(xs, ys));
        paths.push_back(Path2D::from_coordinates(ys, xs));
    }

    int compared = 0;
    int sampled = 0;
    for (const Path2D& path : paths) {
        const double total = path.length();
        std::vector<velmora::ResamplingMethod> methods{ByNumberPoints{0}, ByNumberPoints{1},
                                                       ByNumberPoints{2}, ByNumberPoints{7},
                                                       ByNumberPoints{500}};
        for (const double d : {total / 3.0, total / 97.3, 0.37, -2.0, 0.0, nan_value, 1e3})
            for (const bool drop_last : {false, true})
                methods.push_back(BySamplingDistance{d, drop_last});
        for (const auto& method : methods)
            for (const InterpolationMethod im :
                 {InterpolationMethod::Linear, InterpolationMethod::Cubic})
                for (const double epsilon : {0.01, 1.0}) {
                    const std::string expected = reference_resample(path, method, im, epsilon);
                    ASSERT_EQ(describe_resample(path, method, im, epsilon), expected)
                        << "path of " << path.size() << " points, total " << total;
                    ++compared;
                    sampled += expected.find(';') != std::string::npos;
                }
    }
    EXPECT_EQ(compared, 35 * 19 * 2 * 2);
    EXPECT_GT(sampled, compared / 2);  // most calls sample rather than fail
}

}  // namespace
