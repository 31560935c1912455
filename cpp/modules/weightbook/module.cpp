// The strategy computation module: engine, runner, statistics and charts.

#include <pybind11/pybind11.h>

#include "lumora/sharpe.hpp"
#include "weightbook/charts.hpp"
#include "weightbook/strategy_bindings.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_weightbook, m) {
    m.doc() = "Target-weight strategy backtests: VWAP return engine, runner, statistics and charts.";
    m.attr("TRADING_DAYS_PER_YEAR") = 252;
    m.attr("ROLLING_STABILITY_DAYS") = 60;
    m.attr("MIN_ROLLING_STABILITY_DAYS") = 5;

    py::module_ core = py::module_::import("lumora.backtest._core");
    for (const char* name : {"_build_market_arrays", "_with_datetime_index", "safe_sharpe"})
        m.attr(name) = core.attr(name);

    lumora::weightbook::register_engine(m);
    lumora::weightbook::register_runner(m);
    lumora::weightbook::register_charts(m);
}
