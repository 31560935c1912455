#pragma once
// Research prices derived from the loaded data: the back-adjusted close.

#include <pybind11/pybind11.h>

namespace lumora::prepare {

void add_adjusted_prices(pybind11::module_& m);

}  // namespace lumora::prepare
