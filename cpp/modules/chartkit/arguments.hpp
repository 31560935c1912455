#pragma once
// Argument kinds of the chart calls, checked before any lock or drawing, with one wording
// for every type error: "<name> must be <expected>, got <type name>".

#include <pybind11/pybind11.h>

#include <string>

namespace lumora::chartkit {

namespace py = pybind11;

[[noreturn]] void kind_error(const char* name, const char* expected, py::handle obj);

// The text of a str or os.PathLike argument (whose __fspath__ gives str); any other kind is
// a type error saying the argument must be `expected`.
std::string path_text(py::handle obj, const char* name, const char* expected);

}  // namespace lumora::chartkit
