#pragma once
// The pandas side of the chart data: frames indexed by datetimes, their columns as C++
// vectors, and the yearly metrics frame built from arrays that C++ filled.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <span>
#include <string>
#include <vector>

namespace lumora::chartkit {

namespace py = pybind11;

// The frame indexed by datetimes, through `_with_datetime_index` of the extension module
// `module` (pandas date parsing of the YYYYMMDD labels when it has none).
py::object with_datetime_index(py::handle frame, py::handle module);

// Values (a series, a frame row by row, an index or anything array-like) as float64,
// missing cells as NaN, under the dtype rules of every numeric argument
// (bridge::float64_values): anything that is not numbers is a type error naming `name`.
std::vector<double> float_values(py::handle values, const char* name);

// A column as float64 values, missing cells as NaN (pandas raises KeyError when absent).
std::vector<double> float_column(py::handle frame, const char* name);

// Calendar year per row of a datetime index, NaN for NaT; pandas raises AttributeError
// when the index has no dates.
std::vector<double> index_years(py::handle frame);

// "2021-01-04 ~ 2021-12-31": the first and last date of a datetime-indexed frame.
std::string date_range_text(py::handle frame);

py::array_t<double> as_array(const std::vector<double>& values);
py::list text_list(std::span<const char* const> names);

// A frame over a column-major array, so pandas keeps it without another copy.
py::object frame_from_columns(const std::vector<std::vector<double>>& columns, py::handle index, py::handle labels);

// `_calc_yearly_performance_metrics`: one row per year of `daily`, index "year".
py::object calc_yearly_performance_metrics(py::handle daily);

// The yearly metrics table of every chart: from a copy of the daily strategy, benchmark
// and excess return columns of a datetime-indexed total frame.
py::object chart_yearly_metrics(py::handle plot_df);

}  // namespace lumora::chartkit
