// The display name of a factor table: its column index's name, else its own name.

#include "service/service_module.hpp"

namespace lumora::service {

namespace {

// getattr(obj, name, None): only a missing attribute is swallowed.
py::object attribute_or_none(py::handle obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

}  // namespace

py::str factor_name(py::handle factor) {
    py::object name = attribute_or_none(factor.attr("columns"), "name");
    if (!truthy(name)) name = attribute_or_none(factor, "name");
    if (truthy(name)) return py::str(name);
    return py::str("factor");
}

}  // namespace lumora::service
