#pragma once
#include <pybind11/pybind11.h>

namespace lumora::weightbook {

// Binds the chart entry points, the plot lock, the style and the number formatters.
void register_charts(pybind11::module_& m);

}  // namespace lumora::weightbook
