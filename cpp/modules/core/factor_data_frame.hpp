#pragma once
// A factor request's data in the long layout of the open factor-analysis library.

#include <pybind11/pybind11.h>

namespace lumora::core {

namespace py = pybind11;

void register_factor_data(py::module_& m);

}  // namespace lumora::core
