#pragma once
// A checked strategy run: align and smooth the weights, trade them, build the total frame,
// the statistics, the benchmark summary and, when asked, the two charts.

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>

#include "lumora/strategy_engine.hpp"

namespace lumora::weightbook {

namespace py = pybind11;

// The arguments of run_strategy_backtest_core once checked and converted; the tables and
// benchmark series under normalised labels (dates as YYYYMMDD text, six-digit codes).
struct StrategyRun {
    py::object strategy_matrix;
    // can_buy, cant_sell, split, dividend, close, prev_close, buy and sell price tables.
    std::array<py::handle, 8> market_tables;
    py::object benchmark_dict;  // each series in ascending date order
    py::object primary;         // the benchmark the charts and statistics compare against
    std::int64_t window;
    TradeCosts costs;
    py::object plot_image_kind, plot_save_path, strategy_name, plot_title;
    bool record_positions = false;  // keep the positions and trades of the engine's pass
    bool analysis = true;           // compute the strategy analysis
    py::object industry_matrix;     // classifies the recorded positions (None: unclassified)
};

// The result record (_WeightbookResult) of a checked run.
py::object run_strategy(const StrategyRun& run);

}  // namespace lumora::weightbook
