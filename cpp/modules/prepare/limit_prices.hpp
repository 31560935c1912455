#pragma once
// The exchanges' limit prices of a date x stock block, for the data sources.

#include <pybind11/pybind11.h>

namespace lumora::prepare {

void add_limit_prices(pybind11::module_& m);

}  // namespace lumora::prepare
