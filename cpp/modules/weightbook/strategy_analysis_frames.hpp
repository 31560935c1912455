#pragma once
// The strategy analysis record (lumora.backtest.result.StrategyAnalysis) and the positions
// and trades tables of a strategy run: the native figures laid out as pandas frames.

#include <pybind11/pybind11.h>

#include "lumora/strategy_engine.hpp"

namespace lumora::weightbook {

namespace py = pybind11;

// What the analysis reads besides the total frame: the engine's trade log over the trade
// days `trade_dates`, the labels of its stock numbers, the capital, the industry table
// (date x stock codes, or None) the recorded positions are classified by, and the name of
// the benchmark of the total frame ("" without one).
struct AnalysisInputs {
    const TradeLog& log;
    py::handle trade_dates;
    py::handle stocks;
    double total_money;
    py::handle industry_matrix;
    py::str benchmark_name;
};

// The analysis of the run's total frame `total`; with recorded positions also what was held.
py::object strategy_analysis_record(py::handle total, const AnalysisInputs& inputs);

// Shares held after each trade day's trades and their value at the day's close: one row
// per date and stock held (long form). Moves the positions out of the log.
py::object positions_frame(TradeLog& log, py::handle trade_dates, py::handle stocks);

// One row per date, stock and side traded. Moves the trades out of the log.
py::object trades_frame(TradeLog& log, py::handle trade_dates, py::handle stocks);

}  // namespace lumora::weightbook
