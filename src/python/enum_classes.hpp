#pragma once
// The enumeration classes: ResamplingMethod (with its two variant classes),
// InterpolationMethod and ElasticBandMethod.

#include "object.hpp"
#include "velmora/operation_options.hpp"

namespace velmora::python {

/// Type objects, created on first use (null with an error set on failure).
/// Creating ResamplingMethod creates its two variant classes too.
PyTypeObject* resampling_method_type();
PyTypeObject* interpolation_method_type();
PyTypeObject* elastic_band_method_type();

/// Argument conversions: an instance of the class, else TypeError
/// "'{type}' object cannot be converted to '{class}'".
ResamplingMethod to_resampling_method(handle obj);
InterpolationMethod to_interpolation_method(handle obj);
ElasticBandMethod to_elastic_band_method(handle obj);

/// The member of InterpolationMethod or ElasticBandMethod whose integer value
/// is `value` (the very object the class holds); ValueError for no member.
object enum_member(PyTypeObject* type, handle value);

/// A new object of the variant class that holds `value`.
object new_resampling_method(const ResamplingMethod& value);

}  // namespace velmora::python
