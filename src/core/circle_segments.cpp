#include <span>
#include <string>

#include "core/circle_fit_within.hpp"
#include "velmora/circle_fit.hpp"
#include "velmora/error.hpp"
#include "velmora/path2d.hpp"

namespace velmora {

namespace {

class Decomposition {
public:
    Decomposition(std::span<const double> x, std::span<const double> y, double max_rmse,
                  std::vector<Segment>& out)
        : x_(x), y_(y), max_rmse_(max_rmse), out_(out) {}

    // Appends the segments of [start, end) to out_; `known` holds the range's
    // coordinate sums where the enclosing fit computed them.
    void run(std::size_t start, std::size_t end, const detail::CoordinateSums* known = nullptr) {
        const std::size_t d = end - start;  // wraps when end < start; the fit rejects that
        if (d < 3) {
            out_.push_back({start, end, 0.0});
            return;
        }
        detail::CoordinateSums halves[2];
        const CircleFit whole = fit(start, end, {known, d / 2, halves});
        if (accepts(whole)) {
            out_.push_back({start, end, 1.0 / whole.r});
            return;
        }
        run(start, start + d / 2, &halves[0]);
        const std::size_t last_left = out_.size() - 1;
        run(start + d / 2, end, &halves[1]);

        // Try once to merge the two segments that meet at the split point.
        // When both halves came back whole, that is the range rejected above.
        const std::size_t g = out_[last_left].start;
        const std::size_t h = out_[last_left + 1].end;
        if (g == start && h == end) return;
        const CircleFit junction = fit(g, h);
        if (accepts(junction)) {
            out_[last_left] = {g, h, 1.0 / junction.r};
            out_.erase(out_.begin() + static_cast<std::ptrdiff_t>(last_left) + 1);
        }
    }

private:
    // NaN on either side rejects the fit.
    bool accepts(const CircleFit& f) const { return max_rmse_ >= f.rmse; }

    CircleFit fit(std::size_t start, std::size_t end, const detail::SumsShared& sums = {}) {
        if (end < start) {
            throw IndexError("slice index starts at " + std::to_string(start) + " but ends at " +
                             std::to_string(end));
        }
        check_end(end, x_.size());
        check_end(end, y_.size());
        // Only acceptance matters here, so the fit may stop its RMSE early.
        const std::optional<CircleFit> f = detail::taubin_circle_fit_within(
            x_.subspan(start, end - start), y_.subspan(start, end - start), ws_, max_rmse_, sums);
        if (!f) throw_unwrap_none();
        return *f;
    }

    static void check_end(std::size_t end, std::size_t length) {
        if (end > length) {
            throw IndexError("range end index " + std::to_string(end) +
                             " out of range for slice of length " + std::to_string(length));
        }
    }

    std::span<const double> x_;
    std::span<const double> y_;
    double max_rmse_;
    std::vector<Segment>& out_;
    FitWorkspace ws_;
};

}  // namespace

std::vector<Segment> Path2D::find_circle_segments(std::size_t start, std::size_t end,
                                                  double max_rmse) const {
    std::vector<Segment> segments;
    Decomposition(x_, y_, max_rmse, segments).run(start, end);
    return segments;
}

}  // namespace velmora
