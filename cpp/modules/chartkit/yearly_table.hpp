#pragma once
// The yearly return and excess metrics table drawn inside the strategy and group charts.

#include <pybind11/pybind11.h>

#include <string>

namespace lumora::chartkit {

namespace py = pybind11;

// The table on one page kind: compact (the wide page's) has short headers; the year
// column's width and the type sizes (the other columns' headers and widths are kept with
// the columns).
struct YearlyTableStyle {
    bool compact;
    double year_width;
    double font_size;
    double row_scale;
    double title_size;
    double title_pad;
};

// compact: the wide page's table (short headers, smaller type).
const YearlyTableStyle& yearly_table_style(bool compact);

// What columns 1-4 describe ("Strategy", "Group 7") and the table's title.
struct YearlyTableSubject {
    std::string name;
    std::string title;
};
YearlyTableSubject strategy_table_subject();

// `_draw_yearly_metrics_table(ax, yearly_metrics, *, compact=False)` on the strategy
// charts; the group chart names its best group instead. Caller holds the plot lock.
void draw_yearly_metrics_table(py::handle ax, py::handle yearly_metrics, bool compact,
                               const YearlyTableSubject& subject = strategy_table_subject());

}  // namespace lumora::chartkit
