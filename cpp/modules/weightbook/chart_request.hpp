#pragma once
// The arguments of a chart call, checked for kind before any lock or drawing.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>

namespace lumora::weightbook {

namespace py = pybind11;

struct ChartRequest {
    py::object total;
    py::object stats;  // a plain dict (performance chart only)
    std::string strategy_name;
    std::optional<std::string> plot_title;
    std::string save_path;  // text form of the path argument
    std::string image_kind;
    std::string benchmark_name;
    std::int64_t rolling_window = 0;

    // The figure title's lead: the plot title unless it is empty.
    const std::string& title_text() const { return plot_title && !plot_title->empty() ? *plot_title : strategy_name; }
};

// Type errors name the argument: texts must be exactly str, stats exactly dict,
// save_path str or os.PathLike, rolling_window a real number (truncated).
ChartRequest performance_request(py::object total, py::handle stats, py::handle strategy_name, py::handle plot_title,
                                 py::handle save_path, py::handle image_kind, py::handle benchmark_name,
                                 py::handle rolling_window);
ChartRequest weekly_request(py::object total, py::handle strategy_name, py::handle plot_title, py::handle save_path,
                            py::handle image_kind, py::handle benchmark_name);

}  // namespace lumora::weightbook
