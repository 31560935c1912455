#include "service/service_module.hpp"

namespace lumora::service {

namespace {

std::string type_name(py::handle value) { return py::str(py::type::of(value).attr("__name__")); }

}  // namespace

void require_plain_dict(py::handle value, const char* argument) {
    if (Py_TYPE(value.ptr()) != &PyDict_Type)
        throw py::type_error(std::string(argument) + " must be a dict, got " + type_name(value));
}

void require_plain_str(py::handle value, const char* argument) {
    if (Py_TYPE(value.ptr()) != &PyUnicode_Type)
        throw py::type_error(std::string(argument) + " must be a str, got " + type_name(value));
}

}  // namespace lumora::service
