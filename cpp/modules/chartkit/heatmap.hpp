#pragma once
// A labelled heatmap of a small table (years x months and the like): house colours from
// red (below zero) through white to blue (above), symmetric about zero, each cell annotated;
// missing cells are left blank.

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace lumora::chartkit {

namespace py = pybind11;

struct HeatmapSpec {
    std::vector<double> values;  // rows x cols, row-major
    std::vector<std::string> row_labels;
    std::vector<std::string> col_labels;
    bool percent;  // annotate as percentages (ratios), else as plain numbers
    int digits;
    double font_size;
};

void draw_heatmap(py::handle ax, const HeatmapSpec& spec);

}  // namespace lumora::chartkit
