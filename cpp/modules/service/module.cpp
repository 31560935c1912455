// lumora.backtest._service: BacktestService, the one entry of the backtest system, with
// its data directory and universe table.

#include <pybind11/pybind11.h>

#include "service/prepare_workflow.hpp"
#include "service/service_module.hpp"

namespace py = pybind11;
using namespace lumora::service;

namespace {

void bind_names(py::module_& m, const char* source, std::initializer_list<const char*> names) {
    py::module_ module = py::module_::import(source);
    for (const char* name : names) m.attr(name) = module.attr(name);
}

}  // namespace

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

    bind_names(m, "lumora.backtest._prepare",
               {"COMPONENT_FACTOR_NAMES", "TAIL_RELOAD_ROWS", "BinaryPreparedDataStore",
                "build_incremental_write_window", "component_dataset_key"});
    bind_names(m, "lumora.backtest._store", {"clean_matrix", "normalize_yyyymmdd"});
    bind_names(m, "lumora.backtest._pkg", {"download_benchmark_package", "flatten_single_subdir"});
    bind_names(m, "lumora.backtest.result", {"BacktestData", "BacktestResult", "StrategyBacktestResult"});
    bind_names(m, "lumora.exceptions", {"KestrelError"});
    bind_names(m, "lumora.logger", {"logger"});
    m.attr("core") = py::module_::import("lumora.backtest._core");
    m.attr("shutil") = py::module_::import("shutil");
    m.attr("Path") = path;
    m.attr("pd") = py::module_::import("pandas");

    m.attr("_UNIVERSE_TO_COMPONENT") = universe_table(m.attr("COMPONENT_FACTOR_NAMES"));
    m.attr("BacktestService") = make_service_class();
    add_preparation_workflow(m.attr("BacktestService"));
}
