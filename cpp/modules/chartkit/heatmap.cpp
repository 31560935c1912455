#include "chartkit/heatmap.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>

#include "chartkit/format.hpp"
#include "chartkit/layout.hpp"
#include "common/frame_bridge.hpp"

namespace lumora::chartkit {

using namespace pybind11::literals;

namespace {

constexpr const char* kBelowZero = "#ef4444";
constexpr const char* kAboveZero = "#2563eb";
constexpr const char* kMissingCell = "#f8fafc";
// Cells darker than this share of the scale carry white text.
constexpr double kDarkCell = 0.62;

}  // namespace

void draw_heatmap(py::handle ax, const HeatmapSpec& spec) {
    const auto rows = static_cast<py::ssize_t>(spec.row_labels.size());
    const auto cols = static_cast<py::ssize_t>(spec.col_labels.size());
    py::array_t<double> values({rows, cols});
    std::copy(spec.values.begin(), spec.values.end(), values.mutable_data());
    double limit = 0.0;
    for (const double v : spec.values)
        if (std::isfinite(v)) limit = std::max(limit, std::abs(v));
    if (!(limit > 0.0)) limit = 1.0;

    py::list stops;
    for (const char* colour : {kBelowZero, "#ffffff", kAboveZero}) stops.append(colour);
    py::object cmap = py::module_::import("matplotlib.colors")
                          .attr("LinearSegmentedColormap")
                          .attr("from_list")("lumora_diverging", stops)
                          .attr("with_extremes")("bad"_a = kMissingCell);
    py::object masked = bridge::numpy().attr("ma").attr("masked_invalid")(values);
    ax.attr("imshow")(masked, "cmap"_a = cmap, "vmin"_a = -limit, "vmax"_a = limit, "aspect"_a = "auto",
                      "interpolation"_a = "nearest");
    for (py::ssize_t r = 0; r < rows; ++r)
        for (py::ssize_t c = 0; c < cols; ++c) {
            const double v = spec.values[static_cast<std::size_t>(r * cols + c)];
            if (!std::isfinite(v)) continue;
            const std::string text = spec.percent ? format_pct_value(v, spec.digits) : format_fixed(v, spec.digits);
            const char* ink = std::abs(v) / limit > kDarkCell ? "white" : palette::kInk;
            ax.attr("text")(c, r, text, "ha"_a = "center", "va"_a = "center", "fontsize"_a = spec.font_size,
                            "color"_a = ink);
        }
    py::list row_ticks, col_ticks;
    for (py::ssize_t r = 0; r < rows; ++r) row_ticks.append(r);
    for (py::ssize_t c = 0; c < cols; ++c) col_ticks.append(c);
    ax.attr("set_xticks")(col_ticks, spec.col_labels);
    ax.attr("set_yticks")(row_ticks, spec.row_labels);
    ax.attr("tick_params")("length"_a = 0);
    ax.attr("grid")(false);
    for (const char* side : {"top", "right", "bottom", "left"}) ax.attr("spines")[side].attr("set_visible")(false);
}

}  // namespace lumora::chartkit
