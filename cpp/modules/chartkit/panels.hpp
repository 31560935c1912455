#pragma once
// Whole panels that more than one chart page shows: the row of metric cards and the
// cumulative excess return with its drawdown.

#include <pybind11/pybind11.h>

#include <span>
#include <string>
#include <vector>

#include "chartkit/style.hpp"

namespace lumora::chartkit {

namespace py = pybind11;

struct Card {
    std::string label;
    std::string value;
};

// Cards side by side across the panel, the value boxed above its label.
void draw_cards(py::handle ax, std::span<const Card> cards, double value_size, double label_size);

struct ExcessPanelText {
    std::string title;
    double title_size;
    double twin_label_size;
    double legend_size;
};

// The cumulative excess return as a line over its drawdown, shaded on a twin axis below.
void draw_excess_panel(const Pyplot& mpl, py::handle ax, py::handle dates, const std::vector<double>& excess,
                       const std::vector<double>& drawdown, const ExcessPanelText& text);

}  // namespace lumora::chartkit
