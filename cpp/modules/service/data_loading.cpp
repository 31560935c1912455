// Loading the prepared benchmark data once into memory, as a BacktestData that can be
// handed to many backtests and pickled to worker processes.

#include "service/service_module.hpp"

namespace lumora::service {

py::object load_backtest_data(py::handle self) {
    py::object store = service_attr("BinaryPreparedDataStore")(service_attr("_DEFAULT_DATA_DIR"));
    if (!py::bool_(store.attr("metadata_path").attr("exists")())) {
        PyErr_SetString(PyExc_FileNotFoundError, "未找到回测基准数据,请先调用 lumora.prepare_backtest_data()");
        throw py::error_already_set();
    }
    // What preparation would repair is an error here: a store without its close prices or
    // its benchmarks would load, and every backtest on it would be wrong or fail later.
    py::list missing = self.attr("_find_missing_datasets")(store);
    if (!missing.empty()) {
        py::str message("回测基准数据不完整 ({}),请重新调用 lumora.prepare_backtest_data()");
        PyErr_SetObject(service_attr("KestrelError").ptr(), message.format(py::str(", ").attr("join")(missing)).ptr());
        throw py::error_already_set();
    }
    // Fully in memory (no memory maps): the result must stand alone when pickled.
    py::object payload = store.attr("load")(py::arg("start_date") = py::none(), py::arg("end_date") = py::none(),
                                            py::arg("mmap") = false);
    return service_attr("BacktestData")(py::arg("data") = payload[py::str("data")]);
}

}  // namespace lumora::service
