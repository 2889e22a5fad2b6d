// What the subsystem sources of terrak.geo give the module frame.
#pragma once

#include "host/host.hpp"
#include "pyclass/pyclass.hpp"

namespace geo {

namespace py = pybind11;

// The namespace entries _ClassificationMethod needs when it is created (its abstract method).
py::dict classification_method_body();

// Fills the classification methods, GEFData and GEFFile with their members.
void register_cpt(py::module_& m);

// Plots: the module function gef_visualization (defined at its place among the classes) and the
// plot members of the classes.
void define_gef_visualization(py::module_& m);
void register_plots(py::module_& m);

// Fills Soil, UndefinedSoil, SoilLayer, SoilLayout and PositionalSoilLayout, created empty by the frame.
void register_soil(py::module_& m);
// Binds _get_replacement_dict_from_soil_layer_block, at its place in the namespace.
void define_soil_layer_block_function(py::module_& m);
// Two-dimensional soil model: members of PiezoLine, SoilLayer2D and SoilLayout2D.
void register_soil2d(py::module_& m);
// The module functions of split and combine (_loop_through_top_layout ... _follow_old_layer_profiles),
// bound at their place after SoilLayout2D and before _check_soil_layouts.
void define_split_combine_functions(py::module_& m);
// The module function _check_soil_layouts, bound at its place after SoilLayout2D.
void define_check_soil_layouts(py::module_& m);

}  // namespace geo
