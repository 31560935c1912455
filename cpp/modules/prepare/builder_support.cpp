// Small pieces every step of the builder uses: emptiness, truth, empty frames, key errors.

#include "prepare/builder.hpp"

namespace lumora::prepare {

bool has_data(py::handle table) {
    if (table.is_none()) return false;
    return !py::bool_(table.attr("empty"));
}

bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

py::object empty_frame() { return py::module_::import("pandas").attr("DataFrame")(); }

py::object timestamp_now_text() {
    return py::module_::import("pandas").attr("Timestamp").attr("now")().attr("isoformat")();
}

void Emitter::operator()(py::handle key, py::object value, py::handle stored_key) {
    if (sink_.is_none()) {
        kept[key] = std::move(value);
        return;
    }
    sink_(stored_key ? stored_key : key, std::move(value));
    kept[key] = py::none();
}

void raise_key_error(const std::string& message) {
    PyErr_SetObject(PyExc_KeyError, py::str(message).ptr());
    throw py::error_already_set();
}

}  // namespace lumora::prepare
