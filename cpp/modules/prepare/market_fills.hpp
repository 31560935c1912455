#pragma once
// In-place passes of the file source's market derivation over whole date x stock tables.

#include <pybind11/pybind11.h>

namespace lumora::prepare {

void add_market_fills(pybind11::module_& m);

}  // namespace lumora::prepare
