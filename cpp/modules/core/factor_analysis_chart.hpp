#pragma once
// The factor analysis page: IC by horizon (the decay), Rank IC by month, returns and
// turnover by group, and the IC summary and group tables, on one wide page.

#include <pybind11/pybind11.h>

#include <string>

namespace lumora::core {

namespace py = pybind11;

// Draws `analysis` (a lumora.backtest.result.FactorAnalysis) at `save_path` under the plot
// lock; returns the path.
std::string plot_factor_analysis(py::handle analysis, py::handle save_path, py::handle title);

}  // namespace lumora::core
