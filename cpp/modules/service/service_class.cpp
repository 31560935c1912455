// BacktestService: a plain Python class (one attribute, _http) whose methods are the C++
// functions of this module. Methods of later stages say so when called.

#include <string>

#include "service/service_module.hpp"

namespace lumora::service {

namespace {

[[noreturn]] void not_built(const char* method, const char* stage) {
    PyErr_Format(PyExc_NotImplementedError, "BacktestService.%s is not available yet: %s is not built in this version",
                 method, stage);
    throw py::error_already_set();
}

void init_service(py::handle self, py::handle http) { self.attr("_http") = http; }

py::object py_type() { return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type)); }

template <class Fn, class... Extra>
void add_method(py::object& cls, const char* name, const char* shown_name, Fn&& fn, const Extra&... extra) {
    cls.attr(name) = py::cpp_function(std::forward<Fn>(fn), py::name(shown_name), py::is_method(cls), extra...);
}

template <class Fn, class... Extra>
void add_static(py::object& cls, const char* name, Fn&& fn, const Extra&... extra) {
    cls.attr(name) = py::staticmethod(py::cpp_function(std::forward<Fn>(fn), py::name(name), extra...));
}

void add_data_methods(py::object& cls) {
    add_method(cls, "load_backtest_data", "load_backtest_data", &load_backtest_data,
               "Load the prepared benchmark data into memory once, as a BacktestData.");
    add_static(cls, "_slice_data", &slice_data, py::arg("data"), py::arg("start_date"), py::arg("end_date"),
               "A new data mapping with every table and benchmark series cut to [start_date, end_date].");
    add_method(cls, "_apply_universe_filter", "_apply_universe_filter", &apply_universe_filter, py::arg("data"),
               py::arg("universe"), py::arg("start_date"), py::arg("end_date"),
               "Restrict data['close_price_valid'] to the union of the universe indices' members (in place).");
    add_static(cls, "_parse_universe", &parse_universe, py::arg("universe"),
               "Index codes from None, a text or an iterable; an empty list means the whole market.");
    add_static(cls, "_factor_name", &factor_name, py::arg("factor"), "The display name of a factor table.");
}

void add_strategy_method(py::object& cls) {
    add_method(cls, "backtest_strategy", "backtest_strategy", &backtest_strategy, py::arg("strategy"),
               py::arg("data"), py::arg("start_date"), py::arg("end_date"), py::arg("output_dir"),
               py::arg("plot_filename"), py::kw_only(), py::arg("benchmark") = "000852",
               py::arg("rolling_window") = 0, py::arg("total_money") = 1e8, py::arg("fee") = 0.0001,
               py::arg("rule_fee") = 0.0005, py::arg("plot") = "large",
               "Run a target-weight strategy backtest on loaded data; returns a StrategyBacktestResult.");
}

void add_preparation_methods(py::object& cls) {
    constexpr const char* stage = "the data preparation workflow";
    add_method(cls, "prepare_backtest_data", "prepare_backtest_data",
               [stage](py::handle) { not_built("prepare_backtest_data", stage); },
               "Bring the local benchmark data up to date (download, checks, incremental update).");
    add_method(cls, "_refresh_to_latest", "_refresh_to_latest",
               [stage](py::handle, py::handle, py::handle) { not_built("_refresh_to_latest", stage); },
               py::arg("store"), py::kw_only(), py::arg("after_download"));
    add_static(cls, "_find_missing_datasets", [stage](py::handle) -> py::list { not_built("_find_missing_datasets", stage); },
               py::arg("store"));
    add_static(cls, "_validate_metadata", [stage](py::handle) { not_built("_validate_metadata", stage); },
               py::arg("store"));
    add_static(cls, "_log_dataset_summary", [stage](py::handle, py::handle) { not_built("_log_dataset_summary", stage); },
               py::arg("store"), py::kw_only(), py::arg("action"));
}

void add_factor_methods(py::object& cls) {
    add_method(cls, "backtest", "backtest", &backtest, py::arg("factor"), py::arg("data"), py::arg("start_date"),
               py::arg("end_date"), py::arg("output_dir"), py::arg("plot_filename"), py::kw_only(),
               py::arg("group_num") = 20, py::arg("benchmark") = "000852", py::arg("universe") = py::none(),
               py::arg("rolling_window") = 0, py::arg("ascending") = false, py::arg("total_money") = 1e8,
               py::arg("fee") = 0.0001, py::arg("rule_fee") = 0.0005, py::arg("plot") = "long",
               "Run a factor group backtest on loaded data; returns a BacktestResult.");
    add_static(cls, "_to_public_result", &to_public_result, py::arg("core_result"), py::arg("factor_name"),
               "The group core's result as a BacktestResult: primary chart per benchmark, best group or -1.");
}

}  // namespace

py::object make_service_class() {
    py::dict ns;
    ns["__module__"] = kModuleName;
    ns["__doc__"] = "因子回测服务,组合数据准备与计算两层。";
    py::object cls = py_type()("BacktestService", py::make_tuple(), ns);
    // pybind11 treats a function named "__init__" as the constructor of one of its own
    // classes, so the initialiser of this plain Python class is shown under another name.
    add_method(cls, "__init__", "_init_service", &init_service, py::arg("http"));
    add_preparation_methods(cls);
    add_data_methods(cls);
    add_factor_methods(cls);
    add_strategy_method(cls);
    return cls;
}

}  // namespace lumora::service
