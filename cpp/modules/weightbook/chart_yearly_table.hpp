#pragma once
// The yearly strategy and excess metrics table drawn inside both charts.

#include <pybind11/pybind11.h>

namespace lumora::weightbook {

namespace py = pybind11;

// `_draw_yearly_metrics_table(ax, yearly_metrics, *, compact=False)`: compact is the wide
// page's table (short headers, smaller type). Caller holds the plot lock.
void draw_yearly_metrics_table(py::handle ax, py::handle yearly_metrics, bool compact);

}  // namespace lumora::weightbook
