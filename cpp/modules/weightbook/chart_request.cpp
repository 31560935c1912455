#include "weightbook/chart_request.hpp"

#include "chartkit/arguments.hpp"
#include "common/frame_bridge.hpp"

namespace lumora::weightbook {

namespace {

using chartkit::kind_error;

std::string plain_text(py::handle obj, const char* name) {
    if (!bridge::is_plain_str(obj)) kind_error(name, "str", obj);
    return py::str(obj);
}

std::optional<std::string> optional_text(py::handle obj, const char* name) {
    if (obj.is_none()) return std::nullopt;
    if (!bridge::is_plain_str(obj)) kind_error(name, "str or None", obj);
    return py::str(obj).cast<std::string>();
}

}  // namespace

ChartRequest weekly_request(py::object total, py::handle strategy_name, py::handle plot_title, py::handle save_path,
                            py::handle image_kind, py::handle benchmark_name) {
    ChartRequest request;
    request.total = std::move(total);
    request.strategy_name = plain_text(strategy_name, "strategy_name");
    request.plot_title = optional_text(plot_title, "plot_title");
    request.save_path = chartkit::path_text(save_path, "save_path", "str or os.PathLike");
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
