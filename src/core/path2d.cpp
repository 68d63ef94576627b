#include "velmora/path2d.hpp"

#include <algorithm>
#include <cmath>
#include <ranges>
#include <utility>

#include "core/memory.hpp"
#include "velmora/error.hpp"

namespace velmora {

namespace {

// Room for n elements, advised for huge pages before anything is written.
template <class T>
void reserve_fresh(std::vector<T>& v, std::size_t n) {
    v.reserve(n);
    advise_huge_pages(v.data(), n * sizeof(T));
}

}  // namespace

Path2D Path2D::from_points(std::vector<Point> points) {
    Path2D path;
    // Built from sized ranges: one allocation and one pass each, no zero fill.
    const auto xs = points | std::views::transform(&Point::x);
    const auto ys = points | std::views::transform(&Point::y);
    path.x_.assign(xs.begin(), xs.end());
    path.y_.assign(ys.begin(), ys.end());
    path.points_ = std::move(points);
    return path;
}

Path2D Path2D::from_parts(std::vector<Point> points, std::vector<double> x, std::vector<double> y) {
    Path2D path;
    path.points_ = std::move(points);
    path.x_ = std::move(x);
    path.y_ = std::move(y);
    return path;
}

Path2D Path2D::from_interleaved(std::span<const double> xy) {
    if (xy.size() % 2 != 0) {
        throw InvalidArgumentError("interleaved coordinates need an even count, got " +
                                   std::to_string(xy.size()));
    }
    const std::size_t n = xy.size() / 2;
    std::vector<Point> points;
    std::vector<double> x;
    std::vector<double> y;
    reserve_fresh(points, n);
    reserve_fresh(x, n);
    reserve_fresh(y, n);
    // One pass over the input, which is read once, fills all three.
    for (std::size_t i = 0; i < n; ++i) {
        points.push_back({xy[2 * i], xy[2 * i + 1]});
        x.push_back(xy[2 * i]);
        y.push_back(xy[2 * i + 1]);
    }
    return from_parts(std::move(points), std::move(x), std::move(y));
}

Path2D Path2D::from_coordinates(std::vector<double> x, std::vector<double> y) {
    Path2D path;
    const std::size_t n = std::min(x.size(), y.size());
    path.points_.reserve(n);
    for (std::size_t i = 0; i < n; ++i) path.points_.push_back({x[i], y[i]});
    path.x_ = std::move(x);
    path.y_ = std::move(y);
    return path;
}

const std::vector<double>& Path2D::path_length_per_point() const {
    return path_length_per_point_.get_or_compute([this] {
        const std::size_t n = points_.size();
        std::vector<double> cum(n, 0.0);
        for (std::size_t i = 1; i < n; ++i) {
            const double dx = points_[i].x - points_[i - 1].x;
            const double dy = points_[i].y - points_[i - 1].y;
            // sqrt of the sum of squares, not hypot: the exact formula is observable
            cum[i] = cum[i - 1] + std::sqrt(dx * dx + dy * dy);
        }
        return cum;
    });
}

const std::vector<double>& Path2D::orientation() const {
    return orientation_.get_or_compute([this] {
        const std::size_t n = points_.size();
        std::vector<double> o(n, 0.0);
        auto heading = [this](std::size_t from, std::size_t to) {
            return std::atan2(points_[to].y - points_[from].y, points_[to].x - points_[from].x);
        };
        if (n >= 2) {
            o[0] = heading(0, 1);
            for (std::size_t i = 1; i + 1 < n; ++i) o[i] = heading(i - 1, i + 1);
            o[n - 1] = heading(n - 2, n - 1);
        }
        return o;
    });
}

const std::vector<Point>& Path2D::unit_tangent_vector() const {
    return unit_tangent_vector_.get_or_compute([this] {
        const std::vector<double> gx = compute_differences(x_);
        const std::vector<double> gy = compute_differences(y_);
        const std::size_t n = std::min(gx.size(), gy.size());
        std::vector<Point> t(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double norm = std::sqrt(gx[i] * gx[i] + gy[i] * gy[i]);
            t[i] = {gx[i] / norm, gy[i] / norm};
        }
        return t;
    });
}

const std::vector<double>& Path2D::curvature() const {
    return curvature_.get_or_compute([this] {
        const std::vector<double> gx = compute_differences(x_);
        const std::vector<double> gxx = compute_differences(gx);
        const std::vector<double> gy = compute_differences(y_);
        const std::vector<double> gyy = compute_differences(gy);
        const std::size_t n = points_.size();
        std::vector<double> k(n);
        for (std::size_t i = 0; i < n; ++i) {
            k[i] = (gx[i] * gyy[i] - gxx[i] * gy[i]) / std::pow(gx[i] * gx[i] + gy[i] * gy[i], 1.5);
        }
        return k;
    });
}

double Path2D::length() const {
    const std::vector<double>& cum = path_length_per_point();
    return cum.empty() ? 0.0 : cum.back();
}

const Path2D::Column* Path2D::associated_column(std::size_t handle) const noexcept {
    return handle < associated_values_.size() ? &associated_values_[handle] : nullptr;
}

std::size_t Path2D::add_associated_values(Column values) {
    if (values.size() != points_.size()) {
        throw InvalidArgumentError("The associated value has length " +
                                   std::to_string(values.size()) + ", although " +
                                   std::to_string(points_.size()) + " was expected");
    }
    associated_values_.push_back(std::move(values));
    return associated_values_.size() - 1;
}

namespace {

// Removes the entries at the ascending indices (all below v.size()) in one pass.
template <class T>
void compact(std::vector<T>& v, const std::vector<std::size_t>& ascending) {
    std::size_t write = 0;
    std::size_t next = 0;
    for (std::size_t read = 0; read < v.size(); ++read) {
        if (next < ascending.size() && ascending[next] == read) {
            ++next;
            continue;
        }
        if (write != read) v[write] = std::move(v[read]);
        ++write;
    }
    v.resize(write);
}

}  // namespace

void Path2D::remove_points(const std::vector<std::size_t>& ascending_indices) {
    if (ascending_indices.empty()) return;
    // Checked before anything moves: x and y may be longer than the points,
    // and an index past the points would shift them against each other.
    for (std::size_t k = 1; k < ascending_indices.size(); ++k) {
        if (!(ascending_indices[k - 1] < ascending_indices[k]))
            throw InvalidArgumentError("indices to remove must be strictly ascending");
    }
    if (ascending_indices.back() >= points_.size())
        throw_index_out_of_bounds(points_.size(), ascending_indices.back());
    compact(points_, ascending_indices);
    compact(x_, ascending_indices);
    compact(y_, ascending_indices);
    for (Column& column : associated_values_) compact(column, ascending_indices);
    path_length_per_point_.reset();
    orientation_.reset();
    unit_tangent_vector_.reset();
    curvature_.reset();
}

std::vector<double> compute_differences(const std::vector<double>& v) {
    const std::size_t n = v.size();
    if (n == 0) return {};
    if (n == 1) return {0.0};
    std::vector<double> d(n);
    d[0] = v[1] - v[0];
    d[n - 1] = v[n - 1] - v[n - 2];
    for (std::size_t i = 1; i + 1 < n; ++i) d[i] = (v[i + 1] - v[i - 1]) * 0.5;
    return d;
}

}  // namespace velmora
