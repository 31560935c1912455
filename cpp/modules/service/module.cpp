// lumora.backtest._service: BacktestService, the one entry of the backtest system, with
// its data directory and universe table.

#include <pybind11/pybind11.h>

#include <initializer_list>

#include "common/python_module.hpp"
#include "service/prepare_workflow.hpp"
#include "service/service_module.hpp"

namespace py = pybind11;
using namespace lumora::service;
using lumora::bridge::PythonModule;

namespace {

// Every Python module of lumora the service reaches.
PythonModule service_module{kModuleName};
PythonModule prepare_module{"lumora.backtest._prepare"};
PythonModule store_module{"lumora.backtest._store"};
PythonModule package_module{"lumora.backtest._pkg"};
PythonModule result_module{"lumora.backtest.result"};
PythonModule exceptions_module{"lumora.exceptions"};
PythonModule logger_module{"lumora.logger"};
PythonModule core_module{"lumora.backtest._core"};
PythonModule singleton_module{"lumora.singleton"};
PythonModule sources_base{"lumora.sources.base"};
PythonModule strategy_module{"lumora.backtest._weightbook"};
PythonModule batch_module{"lumora.backtest.batch"};

void bind_names(py::module_& m, const PythonModule& source, std::initializer_list<const char*> names) {
    for (const char* name : names) m.attr(name) = source.attr(name);
}

}  // namespace

py::object lumora::service::service_attr(const char* name) { return service_module.attr(name); }
py::dict python::benchmark_index_codes() { return prepare_module.attr("BENCHMARK_INDEX_CODES"); }
py::object python::package_step(const char* name) { return package_module.attr(name); }
py::object python::get_instance() { return singleton_module.attr("get_instance"); }
py::object python::source_contract(const char* name) { return sources_base.attr(name); }
py::object python::strategy_runner() { return strategy_module.attr("run_strategy_backtest_core"); }
py::object python::backtest_many() { return batch_module.attr("backtest_many"); }

PYBIND11_MODULE(_service, m) {
    m.doc() = "The backtest service: data directory, universe table and BacktestService.";

    py::module_ typing = py::module_::import("typing");
    py::module_ builtins = py::module_::import("builtins");
    m.attr("DateLike") = typing.attr("Union")[py::make_tuple(builtins.attr("str"), builtins.attr("int"))];
    py::object path = py::module_::import("pathlib").attr("Path");
    py::object data_dir = path.attr("home")();
    for (const char* part : {".lumora", "backtest_data", "enviroment_data"})
        data_dir = data_dir.attr("__truediv__")(part);
    m.attr("_DEFAULT_DATA_DIR") = data_dir;

    bind_names(m, prepare_module,
               {"COMPONENT_FACTOR_NAMES", "TAIL_RELOAD_ROWS", "BinaryPreparedDataStore",
                "build_incremental_write_window", "component_dataset_key"});
    bind_names(m, store_module, {"clean_matrix", "normalize_yyyymmdd"});
    bind_names(m, package_module, {"download_benchmark_package", "flatten_single_subdir"});
    bind_names(m, result_module, {"BacktestData", "BacktestResult", "StrategyBacktestResult"});
    bind_names(m, exceptions_module, {"KestrelError"});
    bind_names(m, logger_module, {"logger"});
    m.attr("core") = core_module.get();
    m.attr("shutil") = py::module_::import("shutil");
    m.attr("Path") = path;
    m.attr("pd") = py::module_::import("pandas");

    m.attr("_UNIVERSE_TO_COMPONENT") = universe_table(m.attr("COMPONENT_FACTOR_NAMES"));
    m.attr("BacktestService") = make_service_class();
    add_preparation_workflow(m.attr("BacktestService"));
}
