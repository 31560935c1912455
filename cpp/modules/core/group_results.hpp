#pragma once
// The factor group backtest of a checked request: the native run, its frames, the Rank IC,
// the per-benchmark summary and the charts.

#include <pybind11/pybind11.h>

#include <cstdint>

#include "core/group_bindings.hpp"
#include "core/group_charts.hpp"
#include "lumora/group_engine.hpp"

namespace lumora::core {

namespace py = pybind11;

// The result record (AlphaBacktestResult) of a request whose arguments are checked: `in`
// holds the converted scalars, `window` the smoothing, `chosen` the selected benchmarks.
py::object run_group_request(const GroupRequest& rq, GroupInputs in, std::int64_t window,
                             const GroupChartRequest& chart_request, const py::list& chosen);

}  // namespace lumora::core
