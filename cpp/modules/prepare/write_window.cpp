// The incremental write window arrives with the data preparation workflow; until then
// its entry points exist (the service binds them at load) and say so when called.

#include "prepare/write_window.hpp"

namespace lumora::prepare {

namespace {

[[noreturn]] void not_built(const char* name) {
    PyErr_Format(PyExc_NotImplementedError,
                 "%s is not available yet: incremental updates of prepared data are not built in this version", name);
    throw py::error_already_set();
}

}  // namespace

void add_write_window(py::module_& m) {
    m.def(
        "payload_slice_from_date",
        [](py::object, py::object) -> py::object { not_built("payload_slice_from_date"); },
        py::arg("payload"), py::arg("write_start_date"));
    m.def(
        "build_incremental_write_window",
        [](py::object, py::object, py::object) -> py::object { not_built("build_incremental_write_window"); },
        py::arg("base_index"), py::arg("write_start_date"), py::arg("write_end_date"));
}

}  // namespace lumora::prepare
