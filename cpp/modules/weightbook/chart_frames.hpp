#pragma once
// The pandas side of the chart data: the total frame with a datetime index, its columns
// as C++ vectors, and the yearly metrics and weekly net value frames built from arrays
// that C++ filled.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lumora::weightbook {

namespace py = pybind11;

// The total frame indexed by datetimes, through the group core's `_with_datetime_index`
// bound on this module (pandas date parsing of the YYYYMMDD labels when it is absent).
py::object with_datetime_index(py::handle total);

// A column as float64 values, missing cells as NaN (pandas raises KeyError when absent).
std::vector<double> float_column(py::handle frame, const char* name);

// Calendar year per row of a datetime index, NaN for NaT; pandas raises AttributeError
// when the index has no dates.
std::vector<double> index_years(py::handle frame);

// Nanoseconds since the epoch per row of a datetime index (NaT as INT64_MIN).
std::vector<std::int64_t> index_nanoseconds(py::handle frame);

py::array_t<double> as_array(const std::vector<double>& values);

// `_period_return_drawdown_calmar`: (period_return, max_drawdown, calmar) of a series.
py::tuple period_return_drawdown_calmar(py::handle daily_return);

// `_calc_yearly_performance_metrics`: one row per year of `daily`, index "year".
py::object calc_yearly_performance_metrics(py::handle daily);

// The yearly metrics table both charts show: from a copy of the daily strategy, benchmark
// and excess return columns of the datetime-indexed total frame.
py::object chart_yearly_metrics(py::handle plot_df);

// `_build_weekly_net_value_frame`: week-ending-Friday net values of the total frame.
py::object build_weekly_net_value_frame(py::handle total);
// The same from the total frame already indexed by datetimes.
py::object weekly_net_value_frame_of(py::handle plot_df);

}  // namespace lumora::weightbook
