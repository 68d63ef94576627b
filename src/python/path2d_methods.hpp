#pragma once
// Method rows of Path2D, each defined next to its wrapper in the file of its
// area; path2d_type.cpp lists them in the class's order.

#include "object.hpp"

namespace velmora::python {

extern const PyMethodDef compute_circle_fit_curvature_def;
extern const PyMethodDef find_circle_segments_def;
extern const PyMethodDef resampled_path_def;
extern const PyMethodDef smoothed_path_elastic_band_def;
extern const PyMethodDef smoothed_path_chaikin_def;
extern const PyMethodDef index_from_point_def;
extern const PyMethodDef path_length_from_point_def;
extern const PyMethodDef sub_path_def;
extern const PyMethodDef detect_corrupted_point_order_def;
extern const PyMethodDef repair_corrupted_point_order_def;
extern const PyMethodDef add_associated_values_def;
extern const PyMethodDef associated_values_def;
extern const PyMethodDef associated_value_np_def;

}  // namespace velmora::python
