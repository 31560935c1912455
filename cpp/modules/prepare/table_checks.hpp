#pragma once
// Checks of the date x stock tables handed to the prepare module's calls.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

namespace lumora::prepare {

// `a` is a table of `rows` x `cols`, the shape of the table named `of`.
inline void require_shape(const pybind11::array& a, const char* name, pybind11::ssize_t rows, pybind11::ssize_t cols,
                          const char* of) {
    if (a.ndim() != 2 || a.shape(0) != rows || a.shape(1) != cols)
        throw pybind11::value_error(std::string(name) + " must have the shape of " + of);
}

// A table written in place: float64, C-contiguous, writeable, two-dimensional. Its cells,
// not a converted copy that the caller would never see.
inline double* writable_table(const pybind11::array& a, const char* name) {
    if (!a.dtype().is(pybind11::dtype::of<double>()) || (a.flags() & pybind11::array::c_style) == 0 || !a.writeable() ||
        a.ndim() != 2)
        throw pybind11::value_error(std::string(name) + " must be a writeable C-contiguous float64 date x stock table");
    return static_cast<double*>(pybind11::array(a).mutable_data());
}

}  // namespace lumora::prepare
