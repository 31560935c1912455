#include "weightbook/chart_request.hpp"

#include "common/frame_bridge.hpp"

namespace lumora::weightbook {

namespace {

std::string type_name(py::handle obj) { return py::str(py::type::of(obj).attr("__name__")); }

[[noreturn]] void kind_error(const char* name, const char* expected, py::handle obj) {
    bridge::raise_type_error(std::string(name) + " must be " + expected + ", got " + type_name(obj));
}

std::string plain_text(py::handle obj, const char* name) {
    if (!bridge::is_plain_str(obj)) kind_error(name, "str", obj);
    return py::str(obj);
}

std::optional<std::string> optional_text(py::handle obj, const char* name) {
    if (obj.is_none()) return std::nullopt;
    if (!bridge::is_plain_str(obj)) kind_error(name, "str or None", obj);
    return py::str(obj).cast<std::string>();
}

std::string path_text(py::handle obj, const char* name) {
    if (bridge::is_str(obj)) return py::str(obj);
    if (py::hasattr(py::type::of(obj), "__fspath__")) {
        py::object text = py::module_::import("os").attr("fspath")(obj);
        if (bridge::is_str(text)) return py::str(text);
    }
    kind_error(name, "str or os.PathLike", obj);
}

}  // namespace

ChartRequest weekly_request(py::object total, py::handle strategy_name, py::handle plot_title, py::handle save_path,
                            py::handle image_kind, py::handle benchmark_name) {
    ChartRequest request;
    request.total = std::move(total);
    request.strategy_name = plain_text(strategy_name, "strategy_name");
    request.plot_title = optional_text(plot_title, "plot_title");
    request.save_path = path_text(save_path, "save_path");
    request.image_kind = plain_text(image_kind, "image_kind");
    request.benchmark_name = plain_text(benchmark_name, "benchmark_name");
    return request;
}

ChartRequest performance_request(py::object total, py::handle stats, py::handle strategy_name, py::handle plot_title,
                                 py::handle save_path, py::handle image_kind, py::handle benchmark_name,
                                 py::handle rolling_window) {
    if (!bridge::is_plain_dict(stats)) kind_error("stats", "dict", stats);
    ChartRequest request =
        weekly_request(std::move(total), strategy_name, plot_title, save_path, image_kind, benchmark_name);
    request.stats = py::reinterpret_borrow<py::object>(stats);
    request.rolling_window = bridge::to_truncated_int(rolling_window, "rolling_window");
    return request;
}

}  // namespace lumora::weightbook
