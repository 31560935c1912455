// The total frame, the statistics mapping, the benchmark join and summary and the result
// record of a strategy run.

#include "weightbook/runner_frames.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <optional>
#include <string>

#include "common/frame_bridge.hpp"
#include "common/summary_bridge.hpp"
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
            const std::vector<double> values = bridge::values_on(item.second, dates, "benchmark_dict");
            std::vector<double> strat, bench;
            for (std::size_t i = 0; i < values.size(); ++i) {
                const double v = values[i];
                if (std::isnan(v)) continue;
                strat.push_back(strategy.data()[i]);
                bench.push_back(v);
            }
            if (bench.empty()) continue;
            const ExcessSummary s = excess_summary(strat, bench);
            py::dict row;
            row["benchmark_name"] = item.first;
            bridge::put_excess(row, s);
            rows.append(row);
        }
    }
    if (rows.empty()) return bridge::pandas().attr("DataFrame")();
    return bridge::pandas().attr("DataFrame")(rows);
}

// Benchmark level and daily return over the strategy's dates (inner join on the labels).
py::object join_benchmark(py::handle daily_frame, py::handle benchmark) {
    const bridge::SeriesValues raw = bridge::series_values(benchmark, "benchmark_dict");
    const std::size_t n = raw.size;
    std::vector<double> bm_daily(n), close(n);
    double level = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = raw[i];
        bm_daily[i] = std::isfinite(v) ? v : 0.0;
        level += bm_daily[i];
        close[i] = level + 1.0;
    }
    const std::vector<std::string> bm_labels = bridge::labels_as_text(benchmark.attr("index"));
    py::object dates = daily_frame.attr("index");
    const std::vector<std::string> df_labels = bridge::labels_as_text(dates);
    const std::vector<std::int64_t> pos = bridge::positions(benchmark.attr("index"), dates);
    const std::string& first = df_labels.front();
    const std::string& last = df_labels.back();
    std::vector<std::int64_t> keep_rows;
    std::vector<double> close_out, daily_out;
    for (std::size_t i = 0; i < pos.size(); ++i) {
        if (pos[i] < 0) continue;
        const std::string& label = bm_labels[static_cast<std::size_t>(pos[i])];
        if (label < first || label > last) continue;
        keep_rows.push_back(static_cast<std::int64_t>(i));
        close_out.push_back(close[static_cast<std::size_t>(pos[i])]);
        daily_out.push_back(bm_daily[static_cast<std::size_t>(pos[i])]);
    }
    py::array_t<std::int64_t> take(static_cast<py::ssize_t>(keep_rows.size()));
    std::copy(keep_rows.begin(), keep_rows.end(), take.mutable_data());
    py::object joined = daily_frame.attr("iloc")[take].attr("copy")();
    joined[py::str("close")] = as_array(close_out);
    joined[py::str("index_daily_return")] = as_array(daily_out);
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
