#include "chartkit/frames.hpp"

#include <array>
#include <cmath>
#include <cstdint>

#include "common/frame_bridge.hpp"
#include "lumora/yearly_metrics.hpp"

namespace lumora::chartkit {

namespace {

constexpr std::array<const char*, 8> kYearlyColumns{"strategy_return", "strategy_sharpe", "strategy_max_dd",
                                                    "strategy_calmar", "excess_return",   "excess_sharpe",
                                                    "excess_max_dd",   "excess_calmar"};

}  // namespace

py::object with_datetime_index(py::handle frame, py::handle module) {
    if (py::hasattr(module, "_with_datetime_index")) return module.attr("_with_datetime_index")(frame);
    py::object out = frame.attr("copy")();
    py::object labels = frame.attr("index").attr("astype")("str");
    out.attr("index") = bridge::pandas().attr("to_datetime")(labels, py::arg("format") = "%Y%m%d");
    return out;
}

std::vector<double> float_values(py::handle values, const char* name) {
    const py::array_t<double> a = bridge::contiguous_float64(values, name);
    return std::vector<double>(a.data(), a.data() + a.size());
}

std::vector<double> float_column(py::handle frame, const char* name) {
    return float_values(frame[py::str(name)], name);
}

std::vector<double> index_years(py::handle frame) { return float_values(frame.attr("index").attr("year"), "index"); }

std::string date_range_text(py::handle frame) {
    py::object index = frame.attr("index");
    const std::string first = py::str(index[py::int_(0)].attr("strftime")("%Y-%m-%d"));
    const std::string last = py::str(index[py::int_(-1)].attr("strftime")("%Y-%m-%d"));
    return first + " ~ " + last;
}

py::array_t<double> as_array(const std::vector<double>& values) { return bridge::vector_array(values); }

py::list text_list(std::span<const char* const> names) {
    py::list out;
    for (const char* name : names) out.append(py::str(name));
    return out;
}

py::object frame_from_columns(const std::vector<std::vector<double>>& columns, py::handle index, py::handle labels) {
    const py::ssize_t rows = columns.empty() ? 0 : static_cast<py::ssize_t>(columns.front().size());
    const py::ssize_t cols = static_cast<py::ssize_t>(columns.size());
    py::array_t<double, py::array::f_style> values({rows, cols});
    double* out = values.mutable_data();
    for (py::ssize_t c = 0; c < cols; ++c) {
        std::copy(columns[static_cast<std::size_t>(c)].begin(), columns[static_cast<std::size_t>(c)].end(),
                  out + c * rows);
    }
    return bridge::frame(values, index, labels);
}

py::object calc_yearly_performance_metrics(py::handle daily) {
    if (py::len(daily) == 0) return bridge::pandas().attr("DataFrame")();
    const std::vector<double> years = index_years(daily);
    const std::vector<double> strategy = float_column(daily, "daily_return");
    const std::vector<YearlyMetricsRow> rows =
        dated_yearly_metrics(years, strategy, float_column(daily, "extra_daily_return"));
    if (rows.empty()) return bridge::pandas().attr("DataFrame")();

    std::vector<std::vector<double>> columns(kYearlyColumns.size(), std::vector<double>(rows.size()));
    py::array_t<std::int64_t> row_years(static_cast<py::ssize_t>(rows.size()));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        row_years.mutable_data()[r] = rows[r].year;
        const std::array<double, 8> values = rows[r].figures();
        for (std::size_t c = 0; c < values.size(); ++c) columns[c][r] = values[c];
    }
    py::object index = bridge::pandas().attr("Index")(row_years, py::arg("name") = "year");
    return frame_from_columns(columns, index, text_list(kYearlyColumns));
}

py::object chart_yearly_metrics(py::handle plot_df) {
    constexpr std::array<const char*, 3> kDailyColumns{"daily_return", "index_daily_return", "extra_daily_return"};
    return calc_yearly_performance_metrics(plot_df[text_list(kDailyColumns)].attr("copy")());
}

}  // namespace lumora::chartkit
