#pragma once
// Shared pieces of lumora.backtest._service: module attributes read at call time (so the
// data directory and the bound helpers can be patched, e.g. in tests), argument checks
// and the operations each file implements.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "common/frame_bridge.hpp"

namespace lumora::service {

namespace py = pybind11;

using bridge::truthy;

inline constexpr const char* kModuleName = "lumora.backtest._service";

// An attribute of the _service module (a constant or a name bound at load), read at each
// call so a test can replace it.
py::object service_attr(const char* name);

// lumora's Python modules the service reaches beyond what it binds when it loads; every
// one is named once, in module.cpp.
namespace python {
py::dict benchmark_index_codes();              // the data builder's benchmarks: name -> index code
py::object package_step(const char* name);     // a file step of preparation (lumora.backtest._pkg)
py::object get_instance();                     // the installed SDK client's accessor
py::object source_contract(const char* name);  // a protocol of lumora.sources.base
// Looked up at each strategy request: loading the service must not load the strategy
// module and its charts.
py::object strategy_runner();
py::object backtest_many();  // many requests in one call (lumora.backtest.batch)
}  // namespace python

// `value` must be exactly the built-in dict / str type; otherwise a type error naming
// the argument.
void require_plain_dict(py::handle value, const char* argument);
void require_plain_str(py::handle value, const char* argument);

// Universe and factor names (universe.cpp, factor_name.cpp).
py::list parse_universe(py::handle universe);
py::str factor_name(py::handle factor);
py::dict universe_table(py::handle component_names);
void apply_universe_filter(py::handle self, py::handle data, py::handle universe, py::handle start_date,
                           py::handle end_date);

// Date window (data_window.cpp).
py::dict slice_data(py::handle data, py::handle start_date, py::handle end_date);
// Rows of a table or series whose date label lies in [start, end], both text.
py::object cut_rows(py::handle table, const std::string& start, const std::string& end);
// A benchmark named by the request (text or a list of text) must have a series in the
// cut data; a key error names the first that has none.
void require_benchmarks(py::handle matrices, py::handle benchmark);

// Checks both requests make before any work (request_checks.cpp).
struct RequestCosts {
    std::int64_t rolling_window = 0;
    double total_money = 0.0, fee = 0.0, rule_fee = 0.0;
    std::int64_t lot_size = 200;  // shares per lot: every buy and sell is a whole number of lots
};
// Benchmarks in their short form ("000300.XSHG" gives "000300"); None and "all" stay;
// an unsupported code is a value error listing the supported ones.
py::object checked_benchmark(py::handle benchmark);
// The data mapping of a BacktestData; anything else is a type error.
py::dict loaded_data(py::handle data);
void require_user_table(py::handle table, const char* argument);
RequestCosts checked_request_costs(py::handle rolling_window, py::handle total_money, py::handle fee,
                                   py::handle rule_fee, py::handle lot_size);
void check_chart_target(py::handle plot, py::handle output_dir, py::handle plot_filename);
// The chart's path (None without a chart), its directory made; a value error when the
// longest chart name the request derives from it (plot_filename + longest_suffix) is
// longer than the folder takes.
py::object chart_path(py::handle plot, py::handle output_dir, py::handle plot_filename, const char* longest_suffix);
// One warning when the window holds no trading day of the loaded data.
void warn_empty_window(py::handle loaded, py::handle window, py::handle start, py::handle end);

// What both backtest requests do before their engine runs: the user's table checked and
// cleaned, the benchmarks and the chart target checked, the window normalised and cut from
// the loaded data, and every benchmark asked for found in the cut.
struct RequestWindow {
    py::dict loaded;
    py::object benchmarks;
    py::object table;  // the user's table, cleaned (not cut yet)
    py::object start;  // YYYYMMDD text
    py::object end;
    py::dict matrices;  // the request's own cut of the loaded data
};
RequestWindow open_request_window(py::handle table, const char* argument, py::handle data, py::handle benchmark,
                                  py::handle plot, py::handle output_dir, py::handle plot_filename,
                                  py::handle start_date, py::handle end_date);
// Capital, fees and lot size under the names the engines and the result's parameters
// give them, in that order.
void put_trading_costs(py::dict& target, const RequestCosts& costs);

// Loading and the strategy request (data_loading.cpp, strategy_request.cpp).
py::object load_backtest_data(py::handle self);
py::object backtest_strategy(py::handle self, py::handle strategy, py::handle data, py::handle start_date,
                             py::handle end_date, py::handle output_dir, py::handle plot_filename, py::handle benchmark,
                             py::handle rolling_window, py::handle total_money, py::handle fee, py::handle rule_fee,
                             py::handle plot, py::handle record_positions, py::handle lot_size);

// The factor group backtest request and its public result (factor_request.cpp).
py::object backtest(py::handle self, py::handle factor, py::handle data, py::handle start_date, py::handle end_date,
                    py::handle output_dir, py::handle plot_filename, py::handle group_num, py::handle benchmark,
                    py::handle universe, py::handle rolling_window, py::handle ascending, py::handle total_money,
                    py::handle fee, py::handle rule_fee, py::handle plot, py::handle lot_size, py::handle adjusted_ic);
py::object to_public_result(py::handle core_result, py::handle factor_name);
// A factor result's data in the long layout of the open factor-analysis library, found again
// from the request's own tables (BacktestResult.factor_data).
py::object factor_data(py::handle self, py::handle result, py::handle factor, py::handle data, py::handle horizons);

// Creates the BacktestService class (service_class.cpp).
py::object make_service_class();

}  // namespace lumora::service
