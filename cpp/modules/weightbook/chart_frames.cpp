#include "weightbook/chart_frames.hpp"

#include <array>
#include <cmath>
#include <span>

#include "chartkit/frames.hpp"
#include "common/frame_bridge.hpp"
#include "lumora/weekly_sample.hpp"
#include "lumora/yearly_metrics.hpp"
#include "weightbook/strategy_bindings.hpp"

namespace lumora::weightbook {

using namespace chartkit;

namespace {

constexpr std::array<const char*, 3> kWeeklyInputColumns{"long", "close_net_value", "extra_return"};

// Midnight-of-Friday labels in the time unit and name of the frame's own index.
py::object friday_index(const std::vector<std::int64_t>& friday_ns, py::handle like_index) {
    py::object ns = bridge::copied_array(friday_ns).attr("view")("M8[ns]");
    py::object index = bridge::pandas().attr("DatetimeIndex")(ns, py::arg("name") = like_index.attr("name"));
    if (py::hasattr(like_index, "unit")) index = index.attr("as_unit")(like_index.attr("unit"));
    return index;
}

}  // namespace

py::object with_datetime_index(py::handle frame) { return chartkit::with_datetime_index(frame, python::own_module()); }

std::vector<std::int64_t> index_nanoseconds(py::handle frame) {
    py::object ns = frame.attr("index").attr("as_unit")("ns").attr("asi8");
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> a(ns);
    return std::vector<std::int64_t>(a.data(), a.data() + a.size());
}

py::tuple period_return_drawdown_calmar(py::handle daily_return) {
    PeriodMetrics m{kNaN, kNaN, kNaN};
    if (!daily_return.is_none()) m = lumora::period_return_drawdown_calmar(float_values(daily_return, "daily_return"));
    return py::make_tuple(m.period_return, m.max_drawdown, m.calmar);
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
    const WeeklySample weekly = last_per_week_to_friday(ns, {std::span<const double>(values[0]), values[1], values[2]});

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
