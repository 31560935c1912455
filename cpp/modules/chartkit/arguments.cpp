#include "chartkit/arguments.hpp"

#include "common/frame_bridge.hpp"

namespace lumora::chartkit {

void kind_error(const char* name, const char* expected, py::handle obj) {
    const std::string type_name = py::str(py::type::of(obj).attr("__name__"));
    bridge::raise_type_error(std::string(name) + " must be " + expected + ", got " + type_name);
}

std::string path_text(py::handle obj, const char* name, const char* expected) {
    if (bridge::is_str(obj)) return py::str(obj);
    if (py::hasattr(py::type::of(obj), "__fspath__")) {
        py::object text = py::module_::import("os").attr("fspath")(obj);
        if (bridge::is_str(text)) return py::str(text);
    }
    kind_error(name, expected, obj);
}

}  // namespace lumora::chartkit
