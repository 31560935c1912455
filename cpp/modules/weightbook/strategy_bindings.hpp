#pragma once
// Bindings of the strategy engine, runner and statistics.

#include <pybind11/pybind11.h>

#include "common/frame_bridge.hpp"
#include "lumora/strategy_engine.hpp"
#include "lumora/weight_table.hpp"

namespace lumora::weightbook {

namespace py = pybind11;

// Refuses a weight table holding an infinite or oversized weight, naming the value and the
// date and stock of its cell.
[[noreturn]] void refuse_oversized_weight(py::handle row_labels, py::handle col_labels, std::int64_t row,
                                          std::int64_t col, double value);

// The trading costs of a call, checked: capital finite and above 0, rates in [0, 1).
TradeCosts checked_costs(py::handle total_money, py::handle fee, py::handle rule_fee);

void register_engine(py::module_& m);
void register_runner(py::module_& m);

// lumora's Python modules this module reaches, every one named once in module.cpp.
namespace python {
py::handle own_module();
// An attribute of this module, read at each use: a drawing function a caller replaced is used.
py::object own_attr(const char* name);
py::object logger();
// The record class of the strategy analysis (lumora.backtest.result.StrategyAnalysis).
py::object strategy_analysis_record_type();
}  // namespace python

}  // namespace lumora::weightbook
