// lumora.backtest._prepare: the dataset catalogue, its name and date helpers, and the
// component-extended prepared-data store.

#include <pybind11/pybind11.h>

#include "common/python_module.hpp"
#include "prepare/adjusted_prices.hpp"
#include "prepare/builder.hpp"
#include "prepare/catalogue_bindings.hpp"
#include "prepare/component_store.hpp"
#include "prepare/ex_rights.hpp"
#include "prepare/file_rows.hpp"
#include "prepare/limit_prices.hpp"
#include "prepare/market_fills.hpp"
#include "prepare/write_window.hpp"

namespace py = pybind11;
using namespace lumora::prepare;
using lumora::bridge::PythonModule;

namespace {

// Every Python module of lumora this module reaches.
PythonModule prepare_module{"lumora.backtest._prepare"};
PythonModule store_module{"lumora.backtest._store"};
PythonModule singleton_module{"lumora.singleton"};
PythonModule sources_base{"lumora.sources.base"};
PythonModule exceptions_module{"lumora.exceptions"};

}  // namespace

py::object lumora::prepare::own_attr(const char* name) { return prepare_module.attr(name); }
py::object lumora::prepare::store_attr(const char* name) { return store_module.attr(name); }
py::object lumora::prepare::sdk_client() { return own_attr("get_instance")(); }
// The contract of the sources is written down once, as the protocols of lumora.sources.
bool lumora::prepare::is_table_source(py::handle client) {
    return py::isinstance(client, sources_base.attr("TableSource"));
}
bool lumora::prepare::is_network_error(const py::error_already_set& error) {
    return error.matches(exceptions_module.attr("NetworkError"));
}

PYBIND11_MODULE(_prepare, m) {
    m.doc() = "Prepared benchmark data: dataset catalogue, name and date helpers, component-extended store.";

    for (const char* name :
         {"BinaryPreparedDataStoreBase", "clean_matrix", "normalize_yyyymmdd", "component_dataset_key"})
        m.attr(name) = store_module.attr(name);
    m.attr("get_instance") = singleton_module.attr("get_instance");

    add_catalogue_constants(m);
    m.def("parse_name_list", &parse_name_list, py::arg("raw_values"),
          "Names from None, a text (split on , ; ， ； and line feeds) or an iterable; stripped, empty ones dropped.");
    m.def("get_component_factor_names", &get_component_factor_names,
          "A fresh list of the built-in index-membership factor names.");
    m.def("build_matrix_dtype", &build_matrix_dtype, py::arg("component_names") = py::none(),
          "Dataset key -> storage dtype: the twelve base keys, then one float64 key per component name.");
    m.def("series_to_yyyymmdd", &series_to_yyyymmdd, py::arg("values"),
          "Dates as YYYYMMDD text (a series); unparseable entries become missing.");
    add_write_window(m);
    add_adjusted_prices(m);
    add_limit_prices(m);
    add_market_fills(m);
    add_file_rows(m);
    add_ex_rights(m);
    m.attr("BinaryPreparedDataStore") = make_component_store_class();
    m.attr("GroupPreparedDataBuilder") = make_builder_class();
}
