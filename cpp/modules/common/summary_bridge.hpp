#pragma once
// A strategy's excess over one benchmark as summary rows name it: the strategy summary
// and the factor group summary write the same four keys, in this order.

#include <pybind11/pybind11.h>

#include "lumora/strategy_stats.hpp"

namespace lumora::bridge {

namespace py = pybind11;

inline void put_excess(py::dict& row, const ExcessSummary& excess) {
    row["benchmark_annual_return"] = excess.benchmark_annual_return;
    row["excess_annual_return"] = excess.excess_annual_return;
    row["excess_sharpe"] = excess.excess_sharpe;
    row["excess_max_dd"] = excess.excess_max_dd;
}

}  // namespace lumora::bridge
