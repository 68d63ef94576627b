#pragma once
// Evenly spaced parameter grids and the spline that resampling evaluates over
// a path's cumulative length: the keys are the lengths, with one guard key
// before them and two after, and every value sequence (x, y, each column)
// shares them.
//
// Reading guide. Resampling walks an ascending grid (LinspaceGrid) of
// parameters s and asks, for each, SplineKnots::locate: which segment holds
// s, and with which weights. The answer, a SplinePosition, is computed once
// per s and then applied to x, y and every column (SplinePosition::value).
//   - The keys, as a spline sees them: key 0 is a guard at t = -1 holding the
//     first value, keys 1..n are the path's lengths, keys n+1 and n+2 are end
//     guards just after the last length (detail::end_guards) holding the last
//     value. The segment of s starts at the last key with t <= s; Catmull-Rom
//     also needs the key before and the key after it.
//   - A path's lengths are ascending, so usually nothing is copied: keys_
//     views them in place and t(j) / source(j) compute the guards' entries
//     on the fly. Other keys (out of order, NaN, at or below -1) are copied
//     and sorted stably into t_ and source_, guards included.
//   - The search: a SplineCursor remembers the previous answer, and
//     detail::count_at_or_below steps forward a few keys before galloping
//     (count_from), so an ascending grid costs about one comparison per key.
//   - Exactly on a key, value() returns that key's value unchanged, sign of
//     zero included, where the weights would give NaN next to an infinity.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "velmora/error.hpp"

namespace velmora {

/// count evenly spaced values from start to exactly end ([end] for count 1),
/// computed on demand: inner entries are i * step + start, the last is end.
class LinspaceGrid {
public:
    /// Throws velmora::Error "index out of bounds: the len is 0 but the index is 0" for count 0.
    LinspaceGrid(std::int32_t start, std::size_t count, double end);

    std::size_t size() const noexcept { return count_; }
    double operator[](std::size_t i) const noexcept {
        // With count 1 the end wins over the start.
        if (i + 1 == count_) return end_;
        if (i == 0) return start_;
        return static_cast<double>(i) * step_ + start_;
    }

private:
    double start_ = 0.0;
    double end_ = 0.0;
    double step_ = 0.0;
    std::size_t count_ = 0;
};

/// How the segment that starts at a key is interpolated.
enum class KeyInterpolation { Linear, CatmullRom };

/// Remembers where the previous parameter was located among the keys of a
/// SplineKnots, so that walking an ascending grid does not search the keys
/// from scratch every time. A default-constructed cursor knows nothing; one
/// cursor serves one SplineKnots.
class SplineCursor {
public:
    SplineCursor() = default;

private:
    friend class SplineKnots;
    std::size_t lower_ = 0;
    bool valid_ = false;
};

/// Where a parameter falls among the keys of a SplineKnots, with everything a
/// sample there computes from the parameters alone. Key k of the segment
/// (k = 0 the key before the lower key, 1 the lower key, 2 the next, 3 the one
/// after) takes values[source[k]], or values.back() where source[k] is
/// SplinePosition::last_value.
struct SplinePosition {
    static constexpr std::size_t last_value = std::numeric_limits<std::size_t>::max();

    KeyInterpolation kind = KeyInterpolation::Linear;
    std::size_t source[4] = {0, 0, 0, 0};
    double nt = 0.0;
    double one_minus_nt = 0.0;                          // Linear
    double h00 = 0.0, h10 = 0.0, h01 = 0.0, h11 = 0.0;  // Catmull-Rom
    double width = 0.0;         ///< t of the next key minus t of the lower key
    double width_before = 0.0;  ///< t of the next key minus t of the key before
    double width_after = 0.0;   ///< t of the key after minus t of the lower key

    /// The sample of one value sequence (at least as long as the keys) here.
    double value(std::span<const double> values) const noexcept {
        const auto at = [&values](std::size_t k) {
            return k == last_value ? values.back() : values[k];
        };
        // Exactly on a key the sample is that key's value, even where a
        // neighbour is infinite or a difference overflows (the weights below
        // would give NaN), and with its sign of zero.
        if (nt == 0.0) return at(source[1]);
        if (kind == KeyInterpolation::Linear)
            return nt * at(source[2]) + one_minus_nt * at(source[1]);
        const double x = at(source[0]);
        const double a = at(source[1]);
        const double b = at(source[2]);
        const double y = at(source[3]);
        const double m0 = ((b - x) / width_before) * width;
        const double m1 = ((y - a) / width_after) * width;
        return ((m0 * h10 + a * h00) + b * h01) + m1 * h11;
    }
};

/// The keys of a spline without its values: the given keys sorted stably,
/// with a guard key at -1 taking the first value and the two end guards
/// (end_guards(keys.back())) taking the last value, each placed after every
/// key whose t is not greater. Every value sequence over the same keys shares
/// them, so one key search per parameter serves all of them. A sample at s
/// uses the segment that starts at the last key with t <= s; there is none
/// below the first key, at or after the last, or for Catmull-Rom without a key
/// on either side. A key search that compares against a NaN throws
/// MissingResultError.
///
/// Keys that are ascending, NaN-free and above -1 (a path's cumulative
/// length) are read in place and must outlive the SplineKnots; other keys are
/// copied and sorted.
class SplineKnots {
public:
    /// Throws velmora::Error "called `Option::unwrap()` on a `None` value" for empty keys.
    explicit SplineKnots(std::span<const double> keys);

    std::size_t len() const noexcept { return n_ + 3; }
    /// Parameter of key j < len().
    double t(std::size_t j) const noexcept {
        if (!in_place_) return t_[j];
        if (j == 0) return -1.0;
        if (j <= n_) return keys_[j - 1];
        return j == n_ + 1 ? end_guard_1_ : end_guard_2_;
    }
    /// Index into a value sequence of the value of key j < len(), or SplinePosition::last_value.
    std::size_t source(std::size_t j) const noexcept {
        if (!in_place_) return source_[j];
        if (j == 0) return 0;
        return j <= n_ ? j - 1 : SplinePosition::last_value;
    }

    /// The segment and weights for a sample at s; none where the spline has no sample.
    std::optional<SplinePosition> locate(double s, KeyInterpolation kind,
                                         SplineCursor& cursor) const;

private:
    // The last key with t <= s, without an optional, which the compiler
    // handles poorly in the hot loop.
    static constexpr std::size_t no_key = std::numeric_limits<std::size_t>::max();
    std::size_t lower_index(double s, SplineCursor& cursor) const;
    std::size_t copied_lower_index(double s, SplineCursor& cursor) const;

    std::span<const double> keys_;
    std::size_t n_ = 0;
    bool in_place_ = true;
    bool has_nan_ = false;
    double end_guard_1_ = 0.0;
    double end_guard_2_ = 0.0;
    std::vector<double> t_;            // copied layout only
    std::vector<std::size_t> source_;  // copied layout only
};

namespace detail {

/// The end guard keys after a last key: last + 0.01 and last + 0.02. Where an
/// offset is lost to rounding (from a last key of 2^47 on), a guard takes the
/// next double above the key before it instead, so that both lie strictly
/// after the last key and the last key keeps a segment of its own.
struct EndGuards {
    double first;
    double second;
};
inline EndGuards end_guards(double last) noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const auto after = [](double before, double offset) {
        // NaN and infinity have no double above them and keep the offset's result.
        return offset > before || !(before < inf) ? offset : std::nextafter(before, inf);
    };
    const double first = after(last, last + 0.01);
    return {first, after(first, last + 0.02)};
}

/// Number of entries of the ascending, NaN-free t[0..size) that are <= s
/// (s not NaN), found by galloping from hint, which may be any count.
std::size_t count_from(const double* t, std::size_t size, double s, std::size_t hint) noexcept;

/// count_from with the common case inline: along an ascending grid the count
/// moves by a few keys at a time.
inline std::size_t count_at_or_below(const double* t, std::size_t size, double s,
                                     std::size_t hint) noexcept {
    std::size_t c = hint;
    if (c > 0 && !(t[c - 1] <= s)) return count_from(t, size, s, c);
    for (int step = 0; step < 4; ++step) {
        if (c == size || !(t[c] <= s)) return c;
        ++c;
    }
    return count_from(t, size, s, c);
}

}  // namespace detail

inline std::size_t SplineKnots::lower_index(double s, SplineCursor& cursor) const {
    if (!in_place_) return copied_lower_index(s, cursor);
    // Every search compares s, so a NaN s always fails.
    if (std::isnan(s)) throw_unwrap_none();
    const std::size_t c =
        detail::count_at_or_below(keys_.data(), n_, s, cursor.valid_ ? cursor.lower_ : 0);
    cursor.lower_ = c;
    cursor.valid_ = true;
    // Sorted, the keys are the -1 guard, keys_ and the two end guards, so the
    // last key with t <= s is one less than the number of them that are <= s.
    const std::size_t count = static_cast<std::size_t>(-1.0 <= s) + c +
                              static_cast<std::size_t>(end_guard_1_ <= s) +
                              static_cast<std::size_t>(end_guard_2_ <= s);
    return count - 1;  // no_key for a count of 0
}

inline std::optional<SplinePosition> SplineKnots::locate(double s, KeyInterpolation kind,
                                                         SplineCursor& cursor) const {
    const std::size_t i = lower_index(s, cursor);
    const std::size_t length = len();
    if (i == no_key || i + 1 >= length) return std::nullopt;
    const bool cubic = kind == KeyInterpolation::CatmullRom;
    if (cubic && (i == 0 || i >= length - 2)) return std::nullopt;

    SplinePosition p;
    p.kind = kind;
    double ta;
    double tb;
    double tx = 0.0;
    double ty = 0.0;
    if (in_place_ && i >= 2 && i + 2 <= n_) {
        // Away from the guard keys key j is keys[j - 1].
        const double* k = keys_.data() + (i - 2);
        tx = k[0];
        ta = k[1];
        tb = k[2];
        ty = k[3];
        p.source[0] = i - 2;
        p.source[1] = i - 1;
        p.source[2] = i;
        p.source[3] = i + 1;
    } else {
        ta = t(i);
        tb = t(i + 1);
        p.source[1] = source(i);
        p.source[2] = source(i + 1);
        if (cubic) {
            tx = t(i - 1);
            ty = t(i + 2);
            p.source[0] = source(i - 1);
            p.source[3] = source(i + 2);
        }
    }
    const double nt = (s - ta) / (tb - ta);
    p.nt = nt;
    if (!cubic) {
        p.one_minus_nt = 1.0 - nt;
        return p;
    }
    p.width = tb - ta;
    p.width_before = tb - tx;
    p.width_after = ty - ta;
    const double nt2 = nt * nt;
    const double nt3 = nt2 * nt;
    p.h00 = 2.0 * nt3 - 3.0 * nt2 + 1.0;
    p.h10 = nt3 - 2.0 * nt2 + nt;
    p.h01 = 3.0 * nt2 - 2.0 * nt3;
    p.h11 = nt3 - nt2;
    return p;
}

}  // namespace velmora
