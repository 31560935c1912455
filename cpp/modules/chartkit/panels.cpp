#include "chartkit/panels.hpp"

#include "chartkit/axes.hpp"
#include "chartkit/frames.hpp"
#include "chartkit/layout.hpp"

namespace lumora::chartkit {

using namespace pybind11::literals;

void draw_cards(py::handle ax, std::span<const Card> cards, double value_size, double label_size) {
    ax.attr("axis")("off");
    for (std::size_t i = 0; i < cards.size(); ++i) {
        const double x = (static_cast<double>(i) + 0.5) / static_cast<double>(cards.size());
        py::dict box("boxstyle"_a = "round,pad=0.30", "facecolor"_a = palette::kCardFace,
                     "edgecolor"_a = palette::kCardEdge, "linewidth"_a = 1.0);
        ax.attr("text")(x, 0.58, cards[i].value, "transform"_a = ax.attr("transAxes"), "ha"_a = "center",
                        "va"_a = "center", "fontsize"_a = value_size, "fontweight"_a = "bold",
                        "color"_a = palette::kInk, "bbox"_a = box);
        ax.attr("text")(x, 0.16, cards[i].label, "transform"_a = ax.attr("transAxes"), "ha"_a = "center",
                        "va"_a = "center", "fontsize"_a = label_size, "color"_a = palette::kMutedInk);
    }
}

void draw_excess_panel(const Pyplot& mpl, py::handle ax, py::handle dates, const std::vector<double>& excess,
                       const std::vector<double>& drawdown, const ExcessPanelText& text) {
    ax.attr("plot")(dates, as_array(excess), "color"_a = palette::kExcess, "linewidth"_a = 2.2,
                    "label"_a = "Excess Return");
    py::object twin = twin_axis_below(ax);
    twin.attr("fill_between")(dates, as_array(drawdown), 0.0, "color"_a = palette::kExcessDrawdown, "alpha"_a = 0.34,
                              "label"_a = "Excess Drawdown");
    reference_line(ax, 0.0, 0.8);
    ax.attr("set_title")(text.title, "fontsize"_a = text.title_size);
    ax.attr("set_ylabel")("Excess Return");
    percent_ticks(mpl, ax);
    finish_twin_axis(mpl, twin, "Drawdown", text.twin_label_size);
    // Both axes are in units of the capital: one zero line for the two.
    align_twin_zero(ax, twin);
    combined_legend(ax, twin, "upper left", text.legend_size);
}

}  // namespace lumora::chartkit
