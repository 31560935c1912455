#pragma once
// Content hashes of the rows of a bars file by date, for the file source's record of it.

#include <pybind11/pybind11.h>

namespace lumora::prepare {

void add_row_hashes(pybind11::module_& m);

}  // namespace lumora::prepare
