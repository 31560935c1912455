// BacktestService: a plain Python class (one attribute, _http) whose methods are the C++
// functions of this module (the preparation workflow is added by prepare_workflow.cpp).

#include <string>

#include "service/service_module.hpp"

namespace lumora::service {

namespace {

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
    add_method(cls, "backtest_strategy", "backtest_strategy", &backtest_strategy, py::arg("strategy"), py::arg("data"),
               py::arg("start_date"), py::arg("end_date"), py::arg("output_dir"), py::arg("plot_filename"),
               py::kw_only(), py::arg("benchmark") = "000852", py::arg("rolling_window") = 0,
               py::arg("total_money") = 1e8, py::arg("fee") = 0.0001, py::arg("rule_fee") = 0.0005,
               py::arg("plot") = "large", py::arg("record_positions") = false, py::arg("lot_size") = 200,
               "Run a target-weight strategy backtest on loaded data; returns a StrategyBacktestResult.\n"
               "record_positions=True also keeps the positions and trades of the engine's pass; lot_size is\n"
               "the shares per lot every buy and sell is a whole number of.");
}

void add_factor_methods(py::object& cls) {
    add_method(cls, "backtest", "backtest", &backtest, py::arg("factor"), py::arg("data"), py::arg("start_date"),
               py::arg("end_date"), py::arg("output_dir"), py::arg("plot_filename"), py::kw_only(),
               py::arg("group_num") = 20, py::arg("benchmark") = "000852", py::arg("universe") = py::none(),
               py::arg("rolling_window") = 0, py::arg("ascending") = false, py::arg("total_money") = 1e8,
               py::arg("fee") = 0.0001, py::arg("rule_fee") = 0.0005, py::arg("plot") = "long",
               py::arg("lot_size") = 200, py::arg("adjusted_ic") = false,
               "Run a factor group backtest on loaded data; returns a BacktestResult. lot_size is the shares\n"
               "per lot every buy and sell of a group is a whole number of; adjusted_ic=True takes the Rank IC\n"
               "on the opens adjusted for splits and dividends rather than as traded.");
    add_method(cls, "_factor_data", "_factor_data", &factor_data, py::arg("result"), py::arg("factor"), py::arg("data"),
               py::arg("horizons"),
               "A factor result's (date, asset) table of factor, group and forward returns, found again from the\n"
               "request's factor and data (BacktestResult.factor_data).");
    add_static(cls, "_to_public_result", &to_public_result, py::arg("core_result"), py::arg("factor_name"),
               "The group core's result as a BacktestResult: primary chart per benchmark, best group or -1.");
}

// Many requests in one call; the fan-out over threads or a cluster is SDK support code.
void add_batch_method(py::object& cls) {
    add_method(
        cls, "backtest_many", "backtest_many",
        [](py::handle self, py::handle jobs, py::handle data, py::handle executor, py::handle max_workers,
           py::handle progress) {
            return python::backtest_many()(self, jobs, data, py::arg("executor") = executor,
                                           py::arg("max_workers") = max_workers, py::arg("progress") = progress);
        },
        py::arg("jobs"), py::arg("data"), py::kw_only(), py::arg("executor") = py::none(),
        py::arg("max_workers") = py::none(), py::arg("progress") = true,
        "Run a mapping of FactorJob / StrategyJob on threads, serially or on a dask cluster; returns a BatchResult.");
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
    add_data_methods(cls);
    add_factor_methods(cls);
    add_strategy_method(cls);
    add_batch_method(cls);
    return cls;
}

}  // namespace lumora::service
