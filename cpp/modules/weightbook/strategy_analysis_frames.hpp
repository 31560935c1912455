#pragma once
// The strategy analysis record (lumora.backtest.result.StrategyAnalysis) and the positions
// and trades tables of a strategy run: the native figures laid out as pandas frames.

#include <pybind11/pybind11.h>

#include "lumora/strategy_engine.hpp"

namespace lumora::weightbook {

namespace py = pybind11;

// `total`: the run's total frame; `log` the engine's trade log over the trade days
// `trade_dates`; `stocks` the labels of the engine's stock numbers.
py::object strategy_analysis_record(py::handle total, const TradeLog& log, py::handle trade_dates, double total_money);

// Shares held after each trade day's trades: one row per date and stock held (long form).
// Moves the positions out of the log.
py::object positions_frame(TradeLog& log, py::handle trade_dates, py::handle stocks);

// One row per date, stock and side traded. Moves the trades out of the log.
py::object trades_frame(TradeLog& log, py::handle trade_dates, py::handle stocks);

}  // namespace lumora::weightbook
