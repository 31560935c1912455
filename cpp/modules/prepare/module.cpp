// lumora.backtest._prepare: the dataset catalogue, its name and date helpers, and the
// component-extended prepared-data store.

#include <pybind11/pybind11.h>

#include "prepare/adjusted_prices.hpp"
#include "prepare/builder.hpp"
#include "prepare/catalogue_bindings.hpp"
#include "prepare/component_store.hpp"
#include "prepare/limit_prices.hpp"
#include "prepare/write_window.hpp"

namespace py = pybind11;
using namespace lumora::prepare;

PYBIND11_MODULE(_prepare, m) {
    m.doc() = "Prepared benchmark data: dataset catalogue, name and date helpers, component-extended store.";

    py::module_ store = py::module_::import("lumora.backtest._store");
    for (const char* name :
         {"BinaryPreparedDataStoreBase", "clean_matrix", "normalize_yyyymmdd", "component_dataset_key"})
        m.attr(name) = store.attr(name);
    m.attr("get_instance") = py::module_::import("lumora.singleton").attr("get_instance");

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
    m.attr("BinaryPreparedDataStore") = make_component_store_class();
    m.attr("GroupPreparedDataBuilder") = make_builder_class();
}
