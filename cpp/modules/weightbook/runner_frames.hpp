#pragma once
// The total frame, the statistics mapping, the benchmark join and summary and the result
// record of a strategy run.

#include <pybind11/pybind11.h>

#include "lumora/weight_table.hpp"

namespace lumora::weightbook {

namespace py = pybind11;

// The internal result record of a strategy run.
struct WeightbookResult {
    py::object strategy_name, daily_return, cumulative_return, stats, benchmark_summary, plot_paths;
    // None unless computed: the strategy analysis, and the positions and trades on request.
    py::object analysis = py::none(), positions = py::none(), trades = py::none();
};

// The statistics mapping of a total frame; `weights` may be null.
py::dict stats_mapping(py::handle total_frame, const WeightTable* weights);

// The total frame of a frame holding daily_return, index_daily_return and maybe close.
py::object total_backtesting_frame(py::handle total_backtesting);

// The excess of the strategy over every benchmark of the mapping that shares dates with it.
py::object benchmark_summary_table(py::handle benchmark_dict, py::handle total);

// Benchmark level and daily return over the strategy's dates (inner join on the labels).
py::object join_benchmark(py::handle daily_frame, py::handle benchmark);

// The result record of a run without trade days: empty series, NaN statistics.
py::object empty_result(py::handle strategy_name);

}  // namespace lumora::weightbook
