// The strategy computation module: engine, runner, statistics and charts.

#include <pybind11/pybind11.h>

#include "common/python_module.hpp"
#include "lumora/series_arithmetic.hpp"
#include "lumora/sharpe.hpp"
#include "weightbook/charts.hpp"
#include "weightbook/strategy_bindings.hpp"

namespace py = pybind11;
using lumora::bridge::PythonModule;

namespace {

// Every Python module of lumora this module reaches.
PythonModule strategy_module{"lumora.backtest._weightbook"};
PythonModule core_module{"lumora.backtest._core"};
PythonModule logger_module{"lumora.logger"};
PythonModule result_module{"lumora.backtest.result"};

}  // namespace

py::handle lumora::weightbook::python::own_module() { return strategy_module.get(); }
py::object lumora::weightbook::python::own_attr(const char* name) { return strategy_module.attr(name); }
py::object lumora::weightbook::python::logger() { return logger_module.attr("logger"); }
py::object lumora::weightbook::python::strategy_analysis_record_type() {
    return result_module.attr("StrategyAnalysis");
}

PYBIND11_MODULE(_weightbook, m) {
    m.doc() = "Target-weight strategy backtests: VWAP return engine, runner, statistics and charts.";
    m.attr("TRADING_DAYS_PER_YEAR") = static_cast<int>(lumora::kTradingDaysPerYear);
    m.attr("ROLLING_STABILITY_DAYS") = lumora::kRollingStabilityDays;
    m.attr("MIN_ROLLING_STABILITY_DAYS") = lumora::kMinRollingStabilityDays;

    for (const char* name : {"_build_market_arrays", "_with_datetime_index", "safe_sharpe"})
        m.attr(name) = core_module.attr(name);

    lumora::weightbook::register_engine(m);
    lumora::weightbook::register_runner(m);
    lumora::weightbook::register_charts(m);
}
