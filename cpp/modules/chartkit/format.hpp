#pragma once
// Number formats of the chart labels: plain numbers, ratios as percentages, values that
// already are percentage points, and the yearly excess line. Missing values print "--".

#include <pybind11/pybind11.h>

#include <string>

namespace lumora::chartkit {

namespace py = pybind11;

inline constexpr const char* kMissingText = "--";

// None, or anything pandas.isna reports as missing (NaN, NaT, pd.NA).
bool is_missing_value(py::handle value);

// `digits` as an integer: other numbers truncate, anything else is a type error.
int format_digits(py::handle digits);

std::string format_num(py::handle value, int digits = 2);
std::string format_pct(py::handle value, int digits = 2);
std::string format_pct_points(py::handle value, int digits = 2);
std::string format_annual_excess(py::handle annual_excess);

// The same formats for numbers already in C++ (NaN is missing).
std::string format_fixed(double value, int digits);
std::string format_pct_value(double ratio, int digits = 2);

}  // namespace lumora::chartkit
