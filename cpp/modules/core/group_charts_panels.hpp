#pragma once
// The panels of a factor group chart page, one function each.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "chartkit/style.hpp"
#include "core/group_charts_data.hpp"
#include "core/group_charts_layout.hpp"

namespace lumora::core {

namespace py = pybind11;

// How the request built the groups, for the summary table.
struct GroupSetup {
    bool ascending = false;
    std::int64_t rolling_window = 0;
};

// One drawing context per page: what every panel function needs. Lock held.
struct GroupPage {
    const chartkit::Pyplot& mpl;
    const GroupPageLayout& layout;
    const GroupSetup& setup;
    const GroupSeries& groups;
    const BenchmarkSeries& benchmark;
    py::list colours;  // one per group along the ramp
};

// Colours of groups 1..n along the house ramp.
py::list group_colours(int groups);

// Whole group numbers under a panel of one bar per group, every one of them up to
// `max_ticks` groups, round ones (5, 10, ...) beyond; the axis spans the bars.
void group_axis(py::handle ax, int groups, int max_ticks);

void draw_group_cards(const GroupPage& p, py::handle ax);
void draw_group_cumulative(const GroupPage& p, py::handle ax);
void draw_group_annual_returns(const GroupPage& p, py::handle ax);
void draw_long_short(const GroupPage& p, py::handle ax);
void draw_best_group_excess(const GroupPage& p, py::handle ax);
void draw_rank_ic(const GroupPage& p, py::handle ax);
void draw_group_summary_table(const GroupPage& p, py::handle ax);
void draw_best_group_yearly_table(const GroupPage& p, py::handle ax);

}  // namespace lumora::core
