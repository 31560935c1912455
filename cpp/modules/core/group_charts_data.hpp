#pragma once
// What the group chart pages plot: the series every benchmark's page shares (group net
// values, annualised returns, the long-short portfolio, Rank IC) and the series of one
// benchmark (its cumulative return, the best group's excess and yearly metrics).

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <vector>

#include "core/group_bindings.hpp"
#include "lumora/group_summary.hpp"

namespace lumora::core {

namespace py = pybind11;

struct GroupSeries {
    py::object labels;  // YYYYMMDD labels of the traded dates
    py::object dates;   // the same as datetime64 values
    std::string date_range;
    std::size_t days = 0;
    int groups = 0;
    int best = 0;                              // 0-based
    std::vector<std::vector<double>> returns;  // per group: net value - 1
    std::vector<std::vector<double>> daily;    // per group: daily returns
    std::vector<double> annual;                // per group: mean daily return x 252
    std::vector<double> long_short_nav;        // 1 + running sum of group N - group 1
    std::vector<double> long_short_drawdown;
    double long_short_annual = 0.0;
    py::object ic_dates;
    std::vector<double> ic, ic_cumulative, ic_rolling;
    std::size_t ic_window = 0;
    IcFigures ic_stats;
};

// From a result with at least one traded date.
GroupSeries group_series(const GroupResult& result);

struct BenchmarkSeries {
    std::string name;
    py::dict summary;                // the benchmark's row of benchmark_summary()
    std::vector<double> cumulative;  // running sum of its returns over the traded dates
    double annual;                   // annualised on the best group's dates (summary row)
    py::object excess_dates;         // dates on which both the best group and it have returns
    std::vector<double> excess, excess_drawdown;
    py::object yearly_metrics;
};

BenchmarkSeries benchmark_series(const GroupSeries& groups, py::handle name, py::handle returns, py::dict summary_row);

}  // namespace lumora::core
