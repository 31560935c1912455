#pragma once
// The charts of a factor group backtest: one page per selected benchmark, drawn under the
// strategy module's plot lock with the strategy charts' style.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "core/group_bindings.hpp"

namespace lumora::core {

namespace py = pybind11;

struct GroupChartRequest {
    bool wanted = false;  // both a page kind and a path were given
    std::string image_kind;
    std::string save_path;
    std::string title;  // the plot title, or the factor name when it is none or empty
    bool ascending = false;
    std::int64_t rolling_window = 0;
};

// Checks the chart arguments' kinds before any work, naming the argument in the type error:
// plot_image_kind text or none, plot_save_path text, path or none, plot_title text or none,
// and (for a wanted chart) factor_name text.
GroupChartRequest group_chart_request(const GroupRequest& rq);

// Where each benchmark's page goes: the path itself for a single benchmark, otherwise the
// path with "_<benchmark>" added to its stem.
std::string group_chart_path(const std::string& save_path, const std::string& benchmark, bool several);

// Draws the pages and returns {benchmark: {"primary": path}}; empty when no chart is
// wanted, nothing was traded or no benchmark was selected. `summary_rows` holds one row
// per benchmark of `result.benchmarks`, in that order.
py::dict draw_group_charts(const GroupChartRequest& request, const GroupResult& result, py::handle benchmark_dict,
                           const py::list& summary_rows);

}  // namespace lumora::core
