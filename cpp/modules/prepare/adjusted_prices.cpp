#include "prepare/adjusted_prices.hpp"

#include <pybind11/numpy.h>

#include "common/frame_bridge.hpp"
#include "lumora/adjusted_close.hpp"

namespace lumora::prepare {

namespace py = pybind11;

namespace {

py::object adjusted_close_table(py::object close_price, py::object split_factor, py::object dividend_factor) {
    bridge::require_table(close_price, "close_price");
    bridge::require_table(split_factor, "split_factor");
    bridge::require_table(dividend_factor, "dividend_factor");
    py::object dates = close_price.attr("index");
    py::object stocks = close_price.attr("columns");
    const bridge::TableArray close = bridge::table_values(close_price, "close_price");
    const bridge::AlignedTable split = bridge::aligned_table(split_factor, dates, stocks, "split_factor");
    const bridge::AlignedTable dividend = bridge::aligned_table(dividend_factor, dates, stocks, "dividend_factor");
    std::vector<double> values;
    {
        // Reads only the three tables' buffers, kept alive by `close`, `split` and `dividend`.
        py::gil_scoped_release release;
        values = adjusted_close(close.view, split.matrix, dividend.matrix);
    }
    const auto rows = static_cast<py::ssize_t>(close.view.rows), cols = static_cast<py::ssize_t>(close.view.cols);
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    py::array_t<double> out({rows, cols}, {item, rows * item});  // column-major: pandas' own layout
    std::copy(values.begin(), values.end(), out.mutable_data());
    return bridge::frame(out, dates, stocks);
}

}  // namespace

void add_adjusted_prices(py::module_& m) {
    m.def("adjusted_close", &adjusted_close_table, py::arg("close_price"), py::arg("split_factor"),
          py::arg("dividend_factor"),
          "Back-adjusted (total-return) close of a date x stock close table: the first close of each stock\n"
          "as it is, each later close scaled by the day's (split * close + dividend) / previous close, so\n"
          "that close / close.shift(n) is the holder's return across splits and dividends. Missing closes\n"
          "stay missing; a suspension carries the level from the last close.");
}

}  // namespace lumora::prepare
