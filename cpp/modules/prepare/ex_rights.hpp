#pragma once
// Ex-rights days from what a vendor's daily bars state, for the file data source.

#include <pybind11/pybind11.h>

namespace lumora::prepare {

void add_ex_rights(pybind11::module_& m);

}  // namespace lumora::prepare
