#pragma once
// Decision variables of a quadratic program: a registry that hands out
// index handles in order of registration.

#include <compare>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace velmora::qp {

/// Handle of one scalar decision variable: its position in the registry.
/// It carries no reference to the registry it came from.
class Variable {
public:
    constexpr explicit Variable(std::size_t index) noexcept : index_(index) {}

    constexpr std::size_t index() const noexcept { return index_; }

    friend constexpr bool operator==(Variable, Variable) = default;
    friend constexpr auto operator<=>(Variable, Variable) = default;

private:
    std::size_t index_;
};

/// Optional box bounds of one registered variable.
struct VariableBounds {
    std::optional<double> lower;
    std::optional<double> upper;

    friend bool operator==(const VariableBounds&, const VariableBounds&) = default;
};

/// The ordered, append-only registry of a problem's variables.
class ProblemVariables {
public:
    /// Appends `count` variables, each with the given bounds, and returns
    /// their handles in registration order.
    std::vector<Variable> add_vector(std::size_t count, std::optional<double> lower,
                                     std::optional<double> upper);

    /// Number of registered variables.
    std::size_t size() const noexcept { return entries_.size(); }
    const std::vector<VariableBounds>& entries() const noexcept { return entries_; }

private:
    std::vector<VariableBounds> entries_;
};

}  // namespace velmora::qp

template <>
struct std::hash<velmora::qp::Variable> {
    std::size_t operator()(velmora::qp::Variable v) const noexcept {
        return std::hash<std::size_t>{}(v.index());
    }
};
