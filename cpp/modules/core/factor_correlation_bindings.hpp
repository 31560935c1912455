#pragma once
#include <pybind11/pybind11.h>

namespace lumora::core {

// The figures of a screen across its factors: their rank correlation, the correlation of
// return series, p-values adjusted for the number of tests and the t-test of a mean.
void register_screen_figures(pybind11::module_& m);

}  // namespace lumora::core
