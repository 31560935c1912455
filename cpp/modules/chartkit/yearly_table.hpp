#pragma once
// The yearly return and excess metrics table drawn inside the strategy and group charts.

#include <pybind11/pybind11.h>

#include <array>
#include <string>

namespace lumora::chartkit {

namespace py = pybind11;

// Type sizes, column widths and headers of the table on one page kind.
struct YearlyTableStyle {
    std::array<const char*, 9> headers;  // the full style names columns 1-4 after the subject
    bool subject_headers;                // prefix headers 1-4 with the subject's name
    std::array<double, 9> col_widths;
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
