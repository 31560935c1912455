#pragma once
// The dataset catalogue as Python values: module constants, name-list parsing, the
// dataset key -> storage dtype mapping and the YYYYMMDD date formatter.

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace lumora::prepare {

namespace py = pybind11;

// A list of catalogue names as Python text.
template <std::size_t N>
py::list text_list(const std::array<std::string_view, N>& names) {
    py::list out;
    for (std::string_view name : names) out.append(py::str(name.data(), name.size()));
    return out;
}

// Publishes the catalogue constants, in their documented order, on `m`.
void add_catalogue_constants(py::module_& m);

// None -> []; text -> split on the list separators; any other iterable -> its elements
// as text. Names are stripped and empty ones dropped; repeats stay.
py::list parse_name_list(py::handle raw_values);

py::list get_component_factor_names();

// The base dataset keys followed by one float64 entry per component key.
py::dict build_matrix_dtype(py::handle component_names);

// Dates (anything pandas can parse) as YYYYMMDD text; unparseable entries missing.
py::object series_to_yyyymmdd(py::handle values);

// Attributes of this module and of lumora.backtest._store, looked up at each use so they
// can be patched (every Python module of lumora this module reaches is named in module.cpp).
py::object own_attr(const char* name);
py::object store_attr(const char* name);

}  // namespace lumora::prepare
