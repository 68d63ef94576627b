#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "velmora/error.hpp"
#include "velmora/path2d.hpp"

using velmora::Path2D;
using velmora::Point;

// Columns of any length and unchecked parts would let a caller make paths
// that later operations read past; only the operations themselves use these.
template <class P>
concept sets_columns = requires(P p) {
    p.set_associated_values({{1.0}});
};
template <class P>
concept builds_from_parts = requires {
    P::from_parts({}, {}, {});
};
static_assert(!sets_columns<Path2D> && !builds_from_parts<Path2D>);

TEST(Path2D, ConstructionKeepsUnequalCoordinates) {
    const Path2D path = Path2D::from_coordinates({0, 1, 2}, {5, 6});
    ASSERT_EQ(path.size(), 2u);
    EXPECT_EQ(path.points()[1], (Point{1, 6}));
    EXPECT_EQ(path.x().size(), 3u);
    EXPECT_EQ(path.curvature().size(), 2u);
    EXPECT_EQ(path.unit_tangent_vector().size(), 2u);
}

TEST(Path2D, RemovePointsCompactsEveryColumnAndEmptiesCaches) {
    Path2D path = Path2D::from_points({{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}});
    ASSERT_NO_THROW(path.add_associated_values({10, 11, 12, 13, 14}));
    (void)path.length();
    path.remove_points({1, 3});
    EXPECT_EQ(path.points(), (std::vector<Point>{{0, 0}, {2, 0}, {4, 0}}));
    EXPECT_EQ(path.associated_values()[0], (std::vector<double>{10, 12, 14}));
    EXPECT_FALSE(path.path_length_cache().has_value());
    EXPECT_THROW((void)*path.path_length_cache(), velmora::MissingResultError);
}

TEST(Path2D, FromInterleavedIsFromPoints) {
    const std::vector<double> xy{0, 1, 2, 3, -0.0, 5};
    const Path2D path = Path2D::from_interleaved(xy);
    EXPECT_EQ(path.points(), (std::vector<Point>{{0, 1}, {2, 3}, {-0.0, 5}}));
    EXPECT_EQ(path.x(), (std::vector<double>{0, 2, -0.0}));
    EXPECT_EQ(path.y(), (std::vector<double>{1, 3, 5}));
    const std::vector<double> odd{0, 1, 2};
    EXPECT_THROW((void)Path2D::from_interleaved(odd), velmora::InvalidArgumentError);
}

TEST(Path2D, RemovePointsRefusesIndicesItCannotHonour) {
    struct Case {
        std::vector<std::size_t> indices;
        const char* type;
        std::string message;
    };
    const std::vector<Case> cases{
        {{1, 3},
         typeid(velmora::IndexError).name(),
         "index out of bounds: the len is 3 but the index is 3"},
        {{7},
         typeid(velmora::IndexError).name(),
         "index out of bounds: the len is 3 but the index is 7"},
        {{2, 1},
         typeid(velmora::InvalidArgumentError).name(),
         "indices to remove must be strictly ascending"},
        {{1, 1},
         typeid(velmora::InvalidArgumentError).name(),
         "indices to remove must be strictly ascending"},
    };
    for (const Case& c : cases) {
        // x longer than the points: an index past the points would shift them apart.
        Path2D path = Path2D::from_coordinates({0, 1, 2, 3}, {0, 0, 0});
        ASSERT_NO_THROW(path.add_associated_values({5, 6, 7}));
        try {
            path.remove_points(c.indices);
            ADD_FAILURE() << "no error for " << c.message;
        } catch (const velmora::Error& e) {
            EXPECT_EQ(typeid(e).name(), std::string(c.type));
            EXPECT_EQ(e.what(), c.message);
        }
        EXPECT_EQ(path.size(), 3u);
        EXPECT_EQ(path.x().size(), 4u);
        EXPECT_EQ(path.associated_values()[0], (std::vector<double>{5, 6, 7}));
    }
}

TEST(Path2D, ConcurrentReadsOfOnePathAgree) {
    // Const members may run on several threads at once: the first reads of
    // each property race to fill its cache. Run under ThreadSanitizer
    // (make test-tsan) this also proves the filling free of data races.
    std::vector<Point> points;
    for (int i = 0; i < 3000; ++i) points.push_back({i * 0.5, std::sin(i * 0.01) * 40.0});
    const Path2D reference = Path2D::from_points(points);
    constexpr int threads = 4;
    for (int round = 0; round < 25; ++round) {
        const Path2D path = Path2D::from_points(points);
        std::atomic<int> waiting{threads};
        std::vector<int> agrees(threads, 0);
        std::vector<const void*> seen(threads, nullptr);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                waiting.fetch_sub(1);
                while (waiting.load() > 0) std::this_thread::yield();
                // Each thread starts with another property, so that every
                // cache is filled by two threads at once.
                bool same = true;
                for (int k = 0; k < 4; ++k) {
                    switch ((t + k) % 4) {
                        case 0:
                            same = same && path.path_length_per_point() ==
                                               reference.path_length_per_point();
                            break;
                        case 1:
                            same = same && path.orientation() == reference.orientation();
                            break;
                        case 2:
                            same = same &&
                                   path.unit_tangent_vector() == reference.unit_tangent_vector();
                            break;
                        case 3:
                            same = same && path.curvature() == reference.curvature();
                            break;
                    }
                }
                agrees[t] = same && path.length() == reference.length();
                seen[t] = &path.curvature();
            });
        }
        for (std::thread& thread : pool) thread.join();
        for (int t = 0; t < threads; ++t) {
            EXPECT_TRUE(agrees[t]) << "round " << round << " thread " << t;
            EXPECT_EQ(seen[t], seen[0]);
        }
        // A copy carries the filled caches, and moving it keeps them.
        Path2D copy = path;
        const Path2D moved = std::move(copy);
        EXPECT_TRUE(moved.curvature_cache().has_value());
        EXPECT_EQ(moved.curvature_cache(), path.curvature_cache());
    }
}

TEST(ComputeDifferences, OneSidedAtEndsCentralInside) {
    EXPECT_TRUE(velmora::compute_differences({}).empty());
    EXPECT_EQ(velmora::compute_differences({4}), (std::vector<double>{0.0}));
    EXPECT_EQ(velmora::compute_differences({1, 3}), (std::vector<double>{2, 2}));
    EXPECT_EQ(velmora::compute_differences({1, 2, 4, 8}), (std::vector<double>{1, 1.5, 3, 4}));
}
