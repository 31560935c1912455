#pragma once
// The strategy module's side of the chart data: its total frame with a datetime index, the
// period figures binding, and the weekly net value frame built from arrays that C++ filled.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

namespace lumora::weightbook {

namespace py = pybind11;

// A frame of the strategy's (its total frame, the analysis' rolling figures ...) indexed by
// datetimes, through the group core's `_with_datetime_index` bound on this module (pandas
// date parsing of the YYYYMMDD labels when it is absent).
py::object with_datetime_index(py::handle frame);

// Nanoseconds since the epoch per row of a datetime index (NaT as INT64_MIN).
std::vector<std::int64_t> index_nanoseconds(py::handle frame);

// `_period_return_drawdown_calmar`: (period_return, max_drawdown, calmar) of a series.
py::tuple period_return_drawdown_calmar(py::handle daily_return);

// `_build_weekly_net_value_frame`: week-ending-Friday net values of the total frame.
py::object build_weekly_net_value_frame(py::handle total);
// The same from the total frame already indexed by datetimes.
py::object weekly_net_value_frame_of(py::handle plot_df);

}  // namespace lumora::weightbook
