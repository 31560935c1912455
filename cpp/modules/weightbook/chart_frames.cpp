#include "weightbook/chart_frames.hpp"

#include <array>
#include <cmath>
#include <span>

#include "common/frame_bridge.hpp"
#include "lumora/yearly_metrics.hpp"
#include "weightbook/chart_series.hpp"

namespace lumora::weightbook {

namespace {

constexpr const char* kModuleName = "lumora.backtest._weightbook";
constexpr std::array<const char*, 8> kYearlyColumns{"strategy_return", "strategy_sharpe", "strategy_max_dd",
                                                    "strategy_calmar", "excess_return",   "excess_sharpe",
                                                    "excess_max_dd",   "excess_calmar"};
constexpr std::array<const char*, 3> kWeeklyInputColumns{"long", "close_net_value", "extra_return"};

std::vector<double> float_values(py::handle values) {
    py::object arr = py::hasattr(values, "to_numpy")
                         ? values.attr("to_numpy")(py::arg("dtype") = "float64",
                                                   py::arg("na_value") = bridge::numpy().attr("nan"))
                         : bridge::numpy().attr("asarray")(values, py::arg("dtype") = "float64");
    py::array_t<double, py::array::c_style | py::array::forcecast> a(arr);
    return std::vector<double>(a.data(), a.data() + a.size());
}

// A frame over a column-major array, so pandas keeps it without another copy.
py::object frame_from_columns(const std::vector<std::vector<double>>& columns, py::handle index,
                              py::handle labels) {
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

py::list text_list(std::span<const char* const> names) {
    py::list out;
    for (const char* name : names) out.append(py::str(name));
    return out;
}

// Midnight-of-Friday labels in the time unit and name of the frame's own index.
py::object friday_index(const std::vector<std::int64_t>& friday_ns, py::handle like_index) {
    py::array_t<std::int64_t> ns(static_cast<py::ssize_t>(friday_ns.size()));
    std::copy(friday_ns.begin(), friday_ns.end(), ns.mutable_data());
    py::object index = bridge::pandas().attr("DatetimeIndex")(ns.attr("view")("M8[ns]"),
                                                             py::arg("name") = like_index.attr("name"));
    if (py::hasattr(like_index, "unit")) index = index.attr("as_unit")(like_index.attr("unit"));
    return index;
}

}  // namespace

py::object with_datetime_index(py::handle total) {
    py::module_ module = py::module_::import(kModuleName);
    if (py::hasattr(module, "_with_datetime_index")) return module.attr("_with_datetime_index")(total);
    py::object out = total.attr("copy")();
    py::object labels = total.attr("index").attr("astype")("str");
    out.attr("index") = bridge::pandas().attr("to_datetime")(labels, py::arg("format") = "%Y%m%d");
    return out;
}

std::vector<double> float_column(py::handle frame, const char* name) {
    return float_values(frame[py::str(name)]);
}

std::vector<double> index_years(py::handle frame) { return float_values(frame.attr("index").attr("year")); }

std::vector<std::int64_t> index_nanoseconds(py::handle frame) {
    py::object ns = frame.attr("index").attr("as_unit")("ns").attr("asi8");
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> a(ns);
    return std::vector<std::int64_t>(a.data(), a.data() + a.size());
}

py::array_t<double> as_array(const std::vector<double>& values) { return bridge::vector_array(values); }

py::tuple period_return_drawdown_calmar(py::handle daily_return) {
    PeriodMetrics m{kNaN, kNaN, kNaN};
    if (!daily_return.is_none()) m = lumora::period_return_drawdown_calmar(float_values(daily_return));
    return py::make_tuple(m.period_return, m.max_drawdown, m.calmar);
}

py::object calc_yearly_performance_metrics(py::handle daily) {
    if (py::len(daily) == 0) return bridge::pandas().attr("DataFrame")();
    const std::vector<double> year_values = index_years(daily);
    const std::vector<double> strategy = float_column(daily, "daily_return");
    const std::vector<double> excess = float_column(daily, "extra_daily_return");

    // A NaT row has no year and takes part in no year's figures.
    std::vector<std::int32_t> years;
    std::vector<double> kept_strategy, kept_excess;
    for (std::size_t i = 0; i < year_values.size(); ++i) {
        if (std::isnan(year_values[i])) continue;
        years.push_back(static_cast<std::int32_t>(year_values[i]));
        kept_strategy.push_back(strategy[i]);
        kept_excess.push_back(excess[i]);
    }
    const std::vector<YearlyMetricsRow> rows = yearly_performance_metrics(years, kept_strategy, kept_excess);
    if (rows.empty()) return bridge::pandas().attr("DataFrame")();

    std::vector<std::vector<double>> columns(kYearlyColumns.size(), std::vector<double>(rows.size()));
    py::array_t<std::int64_t> row_years(static_cast<py::ssize_t>(rows.size()));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const YearlyMetricsRow& row = rows[r];
        row_years.mutable_data()[r] = row.year;
        const std::array<double, 8> values{row.strategy_return, row.strategy_sharpe, row.strategy_max_dd,
                                           row.strategy_calmar, row.excess_return,   row.excess_sharpe,
                                           row.excess_max_dd,   row.excess_calmar};
        for (std::size_t c = 0; c < values.size(); ++c) columns[c][r] = values[c];
    }
    py::object index = bridge::pandas().attr("Index")(row_years, py::arg("name") = "year");
    return frame_from_columns(columns, index, text_list(kYearlyColumns));
}

py::object chart_yearly_metrics(py::handle plot_df) {
    constexpr std::array<const char*, 3> kDailyColumns{"daily_return", "index_daily_return", "extra_daily_return"};
    return calc_yearly_performance_metrics(plot_df[text_list(kDailyColumns)].attr("copy")());
}

py::object build_weekly_net_value_frame(py::handle total) {
    return weekly_net_value_frame_of(with_datetime_index(total));
}

py::object weekly_net_value_frame_of(py::handle plot_df) {
    if (plot_df.attr("empty").cast<bool>()) return bridge::pandas().attr("DataFrame")();
    const std::array<std::vector<double>, 3> values{float_column(plot_df, kWeeklyInputColumns[0]),
                                                    float_column(plot_df, kWeeklyInputColumns[1]),
                                                    float_column(plot_df, kWeeklyInputColumns[2])};
    const std::vector<std::int64_t> ns = index_nanoseconds(plot_df);
    const WeeklySample weekly =
        last_per_week_to_friday(ns, {std::span<const double>(values[0]), values[1], values[2]});

    py::object index = friday_index(weekly.friday_ns, plot_df.attr("index"));
    if (weekly.friday_ns.empty()) {
        return bridge::pandas().attr("DataFrame")(py::arg("index") = index,
                                                  py::arg("columns") = text_list(kWeeklyInputColumns),
                                                  py::arg("dtype") = "float64");
    }
    std::vector<double> extra_net_value(weekly.last[2]);
    for (double& v : extra_net_value) v += 1.0;
    const std::array<const char*, 4> labels{"long", "close_net_value", "extra_return", "extra_net_value"};
    return frame_from_columns({weekly.last[0], weekly.last[1], weekly.last[2], extra_net_value}, index,
                              text_list(labels));
}

}  // namespace lumora::weightbook
