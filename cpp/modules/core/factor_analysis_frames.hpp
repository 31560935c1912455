#pragma once
// The factor analysis record (lumora.backtest.result.FactorAnalysis) of a group backtest:
// the native figures laid out as pandas frames.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "lumora/group_engine.hpp"

namespace lumora::core {

namespace py = pybind11;

// `out` from a run with the analysis on; `dates` label its rows, `traded_rows` the rows any
// group traded.
py::object factor_analysis_record(const GroupOutputs& out, py::handle dates,
                                  const std::vector<std::int64_t>& traded_rows);

}  // namespace lumora::core
