#pragma once
// The strategy analysis page: monthly returns, yearly returns, rolling Sharpe and
// volatility, traded value, the underwater curve and the table of the worst drawdowns.

#include <pybind11/pybind11.h>

#include <string>

namespace lumora::weightbook {

namespace py = pybind11;

// Draws `analysis` (a lumora.backtest.result.StrategyAnalysis) of the daily returns
// `daily_return` at `save_path`; the plot lock must be held. Returns the path.
std::string plot_strategy_analysis_unlocked(py::handle analysis, py::handle daily_return, py::handle save_path,
                                            py::handle title);

}  // namespace lumora::weightbook
