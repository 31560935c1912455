#pragma once
// The file source's passes over the rows of a bars file: content hashes by date, for its
// record of the file, and the rows a derivation of later days needs.

#include <pybind11/pybind11.h>

namespace lumora::prepare {

void add_file_rows(pybind11::module_& m);

}  // namespace lumora::prepare
