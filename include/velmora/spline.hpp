#pragma once
// Evenly spaced parameter grids and a one-dimensional spline over a
// parameter (in this library: the cumulative path length).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velmora {

/// count evenly spaced values from start to exactly end ([end] for count 1).
/// extra_capacity reserves room for that many more entries, so that a caller
/// appending to the grid does not reallocate it.
/// Throws InternalError "index out of bounds: the len is 0 but the index is 0" for count 0.
std::vector<double> linspace(std::int32_t start, std::size_t count, double end,
                             std::size_t extra_capacity = 0);

/// How the segment that starts at a key is interpolated.
enum class KeyInterpolation { Linear, CatmullRom };

/// One control point of a Spline.
struct SplineKey {
    double t = 0.0;
    double value = 0.0;
    KeyInterpolation interpolation = KeyInterpolation::Linear;

    friend bool operator==(const SplineKey&, const SplineKey&) = default;
};

/// A sample: the interpolated value and the index of the key that starts the segment used.
struct SplineSample {
    double value = 0.0;
    std::size_t key = 0;
};

/// Remembers where the previous sample of a spline was found, so that sampling
/// along an ascending grid does not search the keys from scratch every time.
/// A default-constructed cursor knows nothing; one cursor serves one spline.
class SplineCursor {
public:
    SplineCursor() = default;

private:
    friend class Spline;
    std::size_t lower_ = 0;
    bool valid_ = false;
};

/// Keys sorted ascending by t; keys with equal t keep the order in which they
/// were added.
class Spline {
public:
    Spline() = default;
    /// Sorts the keys stably by t.
    static Spline from_keys(std::vector<SplineKey> keys);

    /// Inserts a key after every existing key whose t is not greater.
    void add(SplineKey key);

    const std::vector<SplineKey>& keys() const noexcept { return keys_; }
    std::size_t len() const noexcept { return keys_.size(); }

    /// Interpolates at s from the segment that starts at the last key with
    /// t <= s. No sample for fewer than two keys, for s below the first key or
    /// at/after the last key, and for Catmull-Rom segments lacking a key on
    /// either side. Throws InternalError "called `Option::unwrap()` on a
    /// `None` value" when the key search compares against a NaN.
    std::optional<SplineSample> sample_with_key(double s) const;

    /// Same result as sample_with_key(s), found from the cursor's previous
    /// position when s lies at or after it.
    std::optional<SplineSample> sample_with_key(double s, SplineCursor& cursor) const;

private:
    std::optional<std::size_t> search_lower(double s) const;
    std::optional<std::size_t> search_lower_from(double s, std::size_t from) const;
    std::optional<SplineSample> interpolate(std::size_t lower, double s) const;

    std::vector<SplineKey> keys_;
    bool has_nan_ = false;  // any NaN t: only the plain search reproduces its failures
};

/// One key (keys[i], values[i]) per index below the shorter length, plus the
/// guard keys (-1, values[0]), (keys.back() + 0.01, values.back()) and
/// (keys.back() + 0.02, values.back()), all of the given kind.
/// Throws InternalError "index out of bounds: the len is 0 but the index is 0"
/// for empty values and "called `Option::unwrap()` on a `None` value" for empty keys.
Spline make_spline(std::span<const double> keys, std::span<const double> values,
                   KeyInterpolation interpolation);

}  // namespace velmora
