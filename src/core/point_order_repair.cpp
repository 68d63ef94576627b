#include <algorithm>
#include <cmath>
#include <cstdint>

#include "velmora/path2d.hpp"

namespace velmora {

namespace {

// The doubles nearest to pi and 2 pi, spelled out so the folding is reproducible.
constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;

double heading(Point from, Point to) { return std::atan2(to.y - from.y, to.x - from.x); }

// The turn at b between the segments a -> b and b -> c, folded into 0 ... pi.
double turn(Point a, Point b, Point c) {
    const double d = std::abs(heading(b, c) - heading(a, b));
    return pi < d ? std::abs(two_pi - d) : d;
}

// NaN on either side compares false and is never flagged.
bool suspicious(double turn, double sus_angle) { return turn >= sus_angle; }

// The points still in the path during a repair, over the original indices.
// The nearest kept neighbour of a point is found by stepping over removed
// points; across a long removed run it is found through links from removed
// points towards kept ones, shortened as they are followed, so that eating a
// run point by point costs no more than removing it at once. The links are
// set up only once a run is long: typical data removes short runs all over
// the path, and writing links for those would cost more than the repair
// itself. The end points are never flagged, so they stay.
class Chain {
public:
    explicit Chain(std::size_t n) : removed_(n, 0) {}

    bool interior(std::size_t j) const { return j != 0 && j + 1 != removed_.size(); }
    void remove(std::size_t j) {
        removed_[j] = 1;
        if (!links_.empty()) links_[j] = {j - 1, j + 1};
    }
    // The nearest kept points before and after j.
    std::size_t prev(std::size_t j) { return kept_from(j - 1, &Links::left); }
    std::size_t next(std::size_t j) { return kept_from(j + 1, &Links::right); }

private:
    struct Links {
        std::size_t left;
        std::size_t right;
    };
    static constexpr int short_run = 8;

    std::size_t kept_from(std::size_t j, std::size_t Links::*towards) {
        const std::size_t step = towards == &Links::right ? 1 : std::size_t(-1);
        for (int hop = 0; hop < short_run; ++hop, j += step)
            if (!removed_[j]) return j;
        if (links_.empty()) {
            links_.resize(removed_.size());
            for (std::size_t i = 0; i < removed_.size(); ++i)
                if (removed_[i]) links_[i] = {i - 1, i + 1};
        }
        std::size_t kept = j;
        while (removed_[kept]) kept = links_[kept].*towards;
        while (j != kept) {
            const std::size_t further = links_[j].*towards;
            links_[j].*towards = kept;
            j = further;
        }
        return kept;
    }

    std::vector<std::uint8_t> removed_;
    std::vector<Links> links_;
};

}  // namespace

std::vector<std::size_t> Path2D::detect_corrupted_point_order(double sus_angle) const {
    std::vector<std::size_t> flagged;
    const std::size_t n = points_.size();
    if (n < 3) return flagged;
    double h_in = heading(points_[0], points_[1]);
    for (std::size_t j = 1; j + 1 < n; ++j) {
        const double h_out = heading(points_[j], points_[j + 1]);
        const double d = std::abs(h_out - h_in);
        if (suspicious(pi < d ? std::abs(two_pi - d) : d, sus_angle)) flagged.push_back(j);
        h_in = h_out;
    }
    return flagged;
}

Path2D Path2D::repair_corrupted_point_order(double sus_angle) const {
    Path2D repaired = *this;
    std::vector<std::size_t> flagged = detect_corrupted_point_order(sus_angle);
    if (flagged.empty()) return repaired;

    // Each pass removes every flagged point at once. Only the turns at the
    // kept neighbours of a removed run change, and a point's turn depends on
    // its neighbours alone, so the next pass looks at those only: exactly what
    // a detection over the whole shortened path would flag. The points are
    // unlinked rather than moved, and the path is compacted once at the end,
    // so the whole repair costs O(n + removed) for any input.
    const std::vector<Point>& pts = points_;
    Chain chain(pts.size());
    std::vector<std::size_t> all_removed;
    std::vector<std::size_t> neighbours;
    bool sorted = true;
    while (!flagged.empty()) {
        for (const std::size_t j : flagged) chain.remove(j);
        sorted = sorted && (all_removed.empty() || all_removed.back() < flagged.front());
        all_removed.insert(all_removed.end(), flagged.begin(), flagged.end());
        // Every point of a removed run has the same kept neighbours; in
        // ascending order of the runs those come out ascending too.
        neighbours.clear();
        std::size_t run_left = 0, run_right = 0;
        for (const std::size_t j : flagged) {
            const std::size_t left = chain.prev(j), right = chain.next(j);
            if (left == run_left && right == run_right) continue;
            run_left = left;
            run_right = right;
            for (const std::size_t k : {left, right}) {
                if (!chain.interior(k)) continue;
                if (neighbours.empty() || neighbours.back() != k) neighbours.push_back(k);
            }
        }
        flagged.clear();
        for (const std::size_t k : neighbours) {
            if (suspicious(turn(pts[chain.prev(k)], pts[k], pts[chain.next(k)]), sus_angle))
                flagged.push_back(k);
        }
    }
    if (!sorted) std::sort(all_removed.begin(), all_removed.end());
    repaired.remove_points(all_removed);
    return repaired;
}

}  // namespace velmora
