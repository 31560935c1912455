#pragma once
// Payload slicing and the incremental write window of prepared data.

#include <pybind11/pybind11.h>

namespace lumora::prepare {

namespace py = pybind11;

void add_write_window(py::module_& m);

}  // namespace lumora::prepare
