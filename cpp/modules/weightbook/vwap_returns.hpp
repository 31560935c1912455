#pragma once
// The daily VWAP returns of a weight table traded against the market tables.

#include <pybind11/pybind11.h>

#include <array>

#include "lumora/strategy_engine.hpp"
#include "lumora/weight_table.hpp"

namespace lumora::weightbook {

namespace py = pybind11;

// Daily returns of `weights` (whose rows are labelled by `row_labels`, columns by
// `col_labels`) traded against the eight market tables; an empty series without trade days.
// `log`, when given, receives what the engine traded (see TradeLog), by trade day of the
// returned series.
py::object daily_vwap_return(const WeightTable& weights, py::handle row_labels, py::handle col_labels,
                             const std::array<py::handle, 8>& market_tables, const TradeCosts& costs,
                             TradeLog* log = nullptr);

}  // namespace lumora::weightbook
