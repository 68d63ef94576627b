#pragma once
// The method table of Path2D (path2d_methods.cpp), for its type object.

#include <span>

#include "object.hpp"

namespace velmora::python {

/// The PyMethodDef rows of every Path2D method, in the class's order, without
/// the terminating sentinel.
std::span<const PyMethodDef> path2d_methods();

}  // namespace velmora::python
