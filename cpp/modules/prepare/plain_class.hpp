#pragma once
// The classes of lumora.backtest._prepare are plain Python classes made with type(), not
// pybind11 classes, whose methods are C++ functions: a subclass or a test can replace any
// of them.

#include <pybind11/pybind11.h>

namespace lumora::prepare {

namespace py = pybind11;

inline py::object plain_class(const char* name, py::tuple bases, const char* doc) {
    py::dict ns;
    ns["__module__"] = "lumora.backtest._prepare";
    ns["__doc__"] = doc;
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(name, bases, ns);
}

// pybind11 treats a function named "__init__" as the constructor of one of its own
// classes, so the initialiser of a plain Python class carries another name.
template <class Init, class... Args>
void set_initialiser(py::handle cls, Init init, const char* name, Args... args) {
    cls.attr("__init__") = py::cpp_function(init, py::name(name), py::is_method(cls), args...);
}

}  // namespace lumora::prepare
