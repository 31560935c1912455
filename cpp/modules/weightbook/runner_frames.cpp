// The total frame, the statistics mapping, the benchmark join and summary and the result
// record of a strategy run.

#include "weightbook/runner_frames.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <optional>
#include <string>

#include "common/frame_bridge.hpp"
#include "common/summary_bridge.hpp"
#include "lumora/benchmark_join.hpp"
#include "lumora/strategy_stats.hpp"
#include "lumora/total_frame.hpp"
#include "weightbook/strategy_bindings.hpp"

namespace lumora::weightbook {

namespace {

py::array_t<double> column_values(py::handle frame, const char* name) {
    return bridge::contiguous_float64(frame[py::str(name)], name);
}

py::array_t<double> as_array(const std::vector<double>& v) { return bridge::vector_array(v); }

py::dict nan_stats() {
    py::dict out;
    for (std::string_view key : kEmptyStatKeys) out[py::str(std::string(key))] = kNaN;
    return out;
}

}  // namespace

py::object total_backtesting_frame(py::handle total_backtesting) {
    py::object total = total_backtesting.attr("dropna")();
    const auto n = static_cast<std::size_t>(py::len(total));
    if (n == 0) return total;
    const py::array_t<double> daily = column_values(total, "daily_return");
    const py::array_t<double> index_daily = column_values(total, "index_daily_return");
    const bool has_close = py::bool_(total.attr("columns").attr("__contains__")("close"));
    std::optional<py::array_t<double>> close;
    if (has_close) close = column_values(total, "close");

    TotalFrame t = build_total_frame(daily.data(), index_daily.data(), close ? close->data() : nullptr, n);
    total[py::str("extra_daily_return")] = as_array(t.extra_daily_return);
    total[py::str("long")] = as_array(t.long_nav);
    if (!has_close) total[py::str("close")] = as_array(t.close);
    total[py::str("close_net_value")] = as_array(t.close_net_value);
    total[py::str("max_drowdown")] = as_array(t.max_drowdown);
    total[py::str("extra_return")] = as_array(t.extra_return);
    total[py::str("extra_max_drowdown")] = as_array(t.extra_max_drowdown);
    return total;
}

py::dict stats_mapping(py::handle total_frame, const WeightTable* weights) {
    py::object total = total_frame.attr("dropna")();
    const auto n = static_cast<std::size_t>(py::len(total));
    if (n == 0) return nan_stats();
    const char* names[8] = {"daily_return",    "index_daily_return", "extra_daily_return", "long",
                            "close_net_value", "max_drowdown",       "extra_return",       "extra_max_drowdown"};
    py::array_t<double> cols[8];
    for (int k = 0; k < 8; ++k) cols[k] = column_values(total, names[k]);
    TotalColumns t{cols[0].data(), cols[1].data(), cols[2].data(),
                   cols[3].data(), cols[4].data(), cols[5].data(),
                   cols[6].data(), cols[7].data(), n};
    std::array<double, kStatCount> values;
    {
        // No Python inside: reads the eight column arrays held in `cols` and the native `weights`.
        py::gil_scoped_release release;
        values = strategy_stats(t, weights);
    }
    py::dict out;
    for (std::size_t k = 0; k < kStatCount; ++k) out[py::str(std::string(kStatKeys[k]))] = values[k];
    return out;
}

// The excess of the strategy over every benchmark of the mapping that shares dates with it.
py::object benchmark_summary_table(py::handle benchmark_dict, py::handle total) {
    py::list rows;
    if (!benchmark_dict.is_none() && py::len(benchmark_dict) > 0) {
        const py::array_t<double> strategy = column_values(total, "daily_return");
        py::object dates = total.attr("index");
        for (auto item : py::reinterpret_borrow<py::dict>(benchmark_dict)) {
            const std::optional<ExcessSummary> excess =
                excess_on_benchmark_days({strategy.data(), static_cast<std::size_t>(strategy.size())},
                                         bridge::values_on(item.second, dates, "benchmark_dict"));
            if (!excess) continue;
            py::dict row;
            row["benchmark_name"] = item.first;
            bridge::put_excess(row, *excess);
            rows.append(row);
        }
    }
    if (rows.empty()) return bridge::pandas().attr("DataFrame")();
    return bridge::pandas().attr("DataFrame")(rows);
}

// Benchmark level and daily return over the strategy's dates (inner join on the labels).
py::object join_benchmark(py::handle daily_frame, py::handle benchmark) {
    const std::vector<double> returns = bridge::series_values(benchmark, "benchmark_dict").to_vector();
    py::object dates = daily_frame.attr("index");
    const std::vector<std::string> strategy_labels = bridge::labels_as_text(dates);
    const BenchmarkJoin join = lumora::join_benchmark(returns, bridge::labels_as_text(benchmark.attr("index")),
                                                      bridge::positions(benchmark.attr("index"), dates),
                                                      strategy_labels.front(), strategy_labels.back());
    py::object joined = daily_frame.attr("iloc")[bridge::index_array(join.rows)].attr("copy")();
    joined[py::str("close")] = as_array(join.close);
    joined[py::str("index_daily_return")] = as_array(join.daily);
    return joined;
}

py::object empty_result(py::handle strategy_name) {
    WeightbookResult r;
    py::object empty = bridge::empty_float_series();
    r.strategy_name = py::reinterpret_borrow<py::object>(strategy_name);
    r.daily_return = empty;
    r.cumulative_return = empty;
    r.stats = nan_stats();
    r.benchmark_summary = bridge::pandas().attr("DataFrame")();
    r.plot_paths = py::dict();
    return py::cast(std::move(r));
}

}  // namespace lumora::weightbook
