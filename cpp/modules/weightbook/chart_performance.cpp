#include "weightbook/chart_performance.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "chartkit/axes.hpp"
#include "chartkit/format.hpp"
#include "chartkit/frames.hpp"
#include "chartkit/layout.hpp"
#include "chartkit/page.hpp"
#include "chartkit/panels.hpp"
#include "chartkit/style.hpp"
#include "chartkit/yearly_table.hpp"
#include "lumora/series_arithmetic.hpp"
#include "weightbook/chart_frames.hpp"
#include "weightbook/chart_layout.hpp"

namespace lumora::weightbook {

using namespace pybind11::literals;
using namespace chartkit;

namespace {

constexpr std::size_t kRollingStabilityDays = 60;
constexpr std::size_t kMinRollingStabilityDays = 5;
constexpr double kYearlyBarWidth = 0.26;
constexpr double kMinBarLabelOffset = 0.003;

// Everything the panels plot, computed once from the total frame.
struct PerformanceSeries {
    py::object dates;  // datetime64 x values
    std::size_t days = 0;
    std::string date_range;
    std::vector<double> strategy_cum, benchmark_cum, excess_cum;
    std::vector<double> strategy_dd, benchmark_dd, excess_dd;
    std::vector<double> excess_daily;
    YearlySums yearly;  // strategy, benchmark, excess sums per year
    py::object yearly_metrics;
};

std::vector<double> minus_one(std::vector<double> values) {
    for (double& v : values) v -= 1.0;
    return values;
}

PerformanceSeries collect_series(py::handle plot_df) {
    PerformanceSeries s;
    s.dates = date_axis_values(plot_df);
    s.days = py::len(plot_df);
    s.date_range = date_range_text(plot_df);
    const std::vector<double> benchmark_nav = float_column(plot_df, "close_net_value");
    s.strategy_cum = minus_one(float_column(plot_df, "long"));
    s.benchmark_cum = minus_one(benchmark_nav);
    s.excess_cum = float_column(plot_df, "extra_return");
    s.strategy_dd = float_column(plot_df, "max_drowdown");
    s.benchmark_dd = drawdown_from_running_peak(benchmark_nav);
    s.excess_dd = float_column(plot_df, "extra_max_drowdown");

    const std::vector<double> daily_return = float_column(plot_df, "daily_return");
    const std::vector<double> index_return = float_column(plot_df, "index_daily_return");
    s.excess_daily = float_column(plot_df, "extra_daily_return");
    s.yearly = yearly_sums(index_years(plot_df), {std::span<const double>(daily_return), index_return, s.excess_daily});
    s.yearly_metrics = chart_yearly_metrics(plot_df);
    return s;
}

std::array<Card, 9> metric_cards(const py::dict& stats) {
    const auto stat = [&](const char* key) { return stats.attr("get")(key); };
    return {{
        {"Strategy Ann.", format_pct_points(stat("annual_return"))},
        {"Strategy Sharpe", format_num(stat("long_sharp"))},
        {"Strategy Max DD", format_pct(stat("max_dd"))},
        {"Excess Ann.", format_pct_points(stat("extra_annual_return"))},
        {"Excess Sharpe", format_num(stat("extra_sharp"))},
        {"Excess Max DD", format_pct(stat("extra_max_dd"))},
        {"Strategy Win", format_pct(stat("win_rate"))},
        {"Excess Win", format_pct(stat("excess_win_rate"))},
        {"Turnover", format_pct(stat("turnover"))},
    }};
}

// One drawing context per page: what every panel function needs.
struct PerformancePage {
    const Pyplot& mpl;
    const PerformanceLayout& layout;
    const ChartRequest& request;
    const PerformanceSeries& series;
};

void draw_cards(const PerformancePage& p, py::handle ax) {
    const auto cards = metric_cards(p.request.stats.cast<py::dict>());
    chartkit::draw_cards(ax, cards, p.layout.page.text.card_value_size, p.layout.page.text.card_label_size);
}

void panel_title(const PerformancePage& p, py::handle ax, const char* title) {
    ax.attr("set_title")(title, "fontsize"_a = p.layout.page.text.panel_title_size);
}

void draw_cumulative(const PerformancePage& p, py::handle ax) {
    const PerformanceSeries& s = p.series;
    const std::string& benchmark = p.request.benchmark_name;
    ax.attr("plot")(s.dates, as_array(s.strategy_cum), "color"_a = palette::kStrategy, "linewidth"_a = 2.4,
                    "label"_a = "Strategy");
    ax.attr("plot")(s.dates, as_array(s.benchmark_cum), "color"_a = palette::kBenchmark, "linewidth"_a = 1.7,
                    "linestyle"_a = "--", "label"_a = benchmark);
    // The drawdown shading lives on a twin axis below the return lines.
    py::object twin = twin_axis_below(ax);
    twin.attr("fill_between")(s.dates, as_array(s.strategy_dd), 0.0, "color"_a = palette::kStrategyDrawdown,
                              "alpha"_a = 0.28, "zorder"_a = 0, "label"_a = "Strategy Drawdown");
    twin.attr("fill_between")(s.dates, as_array(s.benchmark_dd), 0.0, "color"_a = palette::kBenchmarkDrawdown,
                              "alpha"_a = 0.24, "zorder"_a = 0, "label"_a = benchmark + " Drawdown");
    reference_line(ax, 0.0, 0.8);
    panel_title(p, ax, "Cumulative Return");
    ax.attr("set_ylabel")("Return");
    percent_ticks(p.mpl, ax);
    finish_twin_axis(p.mpl, twin, "Drawdown", p.layout.page.text.twin_label_size);
    combined_legend(ax, twin, "upper left", p.layout.legends.cumulative);
    concise_date_axis(ax);
}

void draw_excess(const PerformancePage& p, py::handle ax) {
    draw_excess_panel(p.mpl, ax, p.series.dates, p.series.excess_cum, p.series.excess_dd,
                      {"Excess Return & Drawdown", p.layout.page.text.panel_title_size,
                       p.layout.page.text.twin_label_size, p.layout.legends.excess});
    concise_date_axis(ax);
}

double largest_abs_yearly(const YearlySums& yearly) {
    double largest = std::numeric_limits<double>::quiet_NaN();
    for (const auto& column : yearly.sums) {
        for (const double v : column) {
            if (!std::isnan(v) && (std::isnan(largest) || std::abs(v) > largest)) largest = std::abs(v);
        }
    }
    return largest;
}

void label_excess_bars(const PerformancePage& p, py::handle ax, const std::vector<double>& excess) {
    const double largest = largest_abs_yearly(p.series.yearly);
    const double offset = std::isfinite(largest) ? std::max(largest * 0.025, kMinBarLabelOffset) : kMinBarLabelOffset;
    for (std::size_t i = 0; i < excess.size(); ++i) {
        const double v = excess[i];
        if (std::isnan(v)) continue;
        const bool above = v >= 0.0;
        ax.attr("text")(static_cast<double>(i) + kYearlyBarWidth, above ? v + offset : v - offset, format_pct_value(v),
                        "ha"_a = "center", "va"_a = above ? "bottom" : "top", "rotation"_a = 90,
                        "color"_a = palette::kExcessBarLabel, "fontsize"_a = p.layout.bar_label_size);
    }
}

void draw_yearly_returns(const PerformancePage& p, py::handle ax) {
    const YearlySums& yearly = p.series.yearly;
    if (yearly.years.empty()) {
        centred_note(ax, "No yearly data");
    } else {
        const std::size_t n = yearly.years.size();
        std::vector<double> positions(n);
        for (std::size_t i = 0; i < n; ++i) positions[i] = static_cast<double>(i);
        const auto shifted = [&](double by) {
            std::vector<double> out(positions);
            for (double& x : out) x += by;
            return as_array(out);
        };
        ax.attr("bar")(shifted(-kYearlyBarWidth), as_array(yearly.sums[0]), "width"_a = kYearlyBarWidth,
                       "color"_a = palette::kStrategy, "alpha"_a = 0.86, "label"_a = "Strategy");
        ax.attr("bar")(shifted(0.0), as_array(yearly.sums[1]), "width"_a = kYearlyBarWidth,
                       "color"_a = palette::kBenchmark, "alpha"_a = 0.72, "label"_a = p.request.benchmark_name);
        ax.attr("bar")(shifted(kYearlyBarWidth), as_array(yearly.sums[2]), "width"_a = kYearlyBarWidth,
                       "color"_a = palette::kExcess, "alpha"_a = 0.82, "label"_a = "Excess");
        label_excess_bars(p, ax, yearly.sums[2]);
        ax.attr("margins")("y"_a = 0.22);
        std::vector<std::string> labels;
        for (const std::int64_t year : yearly.years) labels.push_back(std::to_string(year));
        ax.attr("set_xticks")(as_array(positions));
        ax.attr("set_xticklabels")(labels, "rotation"_a = p.layout.year_tick_rotation,
                                   "ha"_a = p.layout.year_tick_align);
        framed_legend(ax, "best", py::float_(p.layout.legends.yearly));
    }
    reference_line(ax, 0.0, 0.8);
    panel_title(p, ax, "Yearly Return");
    percent_ticks(p.mpl, ax);
}

void draw_rolling_stability(const PerformancePage& p, py::handle ax) {
    const std::size_t n = p.series.excess_daily.size();
    const std::size_t window = rolling_days(n, kRollingStabilityDays, kMinRollingStabilityDays);
    if (n >= window && window > 1) {
        const RollingStability rolling = rolling_stability(p.series.excess_daily, window);
        const std::string days = std::to_string(window);
        ax.attr("plot")(p.series.dates, as_array(rolling.sharpe), "color"_a = palette::kRollingSharpe,
                        "linewidth"_a = 2.0, "label"_a = days + "D Excess Sharpe");
        reference_line(ax, 0.0, 0.8);
        py::object twin = twin_axis_below(ax);
        twin.attr("plot")(p.series.dates, as_array(rolling.win_rate), "color"_a = palette::kRollingWinRate,
                          "linewidth"_a = 1.6, "alpha"_a = 0.8, "label"_a = days + "D Win Rate");
        percent_ticks(p.mpl, twin);
        twin.attr("grid")(false);
        twin.attr("spines")["top"].attr("set_visible")(false);
        combined_legend(ax, twin, "best", p.layout.legends.rolling);
    } else {
        centred_note(ax, "Not enough data");
    }
    panel_title(p, ax, "Rolling Excess Stability");
    concise_date_axis(ax);
}

void draw_drawdowns(const PerformancePage& p, py::handle ax) {
    const PerformanceSeries& s = p.series;
    ax.attr("fill_between")(s.dates, as_array(s.strategy_dd), 0.0, "color"_a = palette::kStrategyDrawdown,
                            "alpha"_a = 0.62, "label"_a = "Strategy Drawdown");
    ax.attr("plot")(s.dates, as_array(s.excess_dd), "color"_a = palette::kExcess, "linewidth"_a = 1.7,
                    "label"_a = "Excess Drawdown");
    reference_line(ax, 0.0, 0.8);
    panel_title(p, ax, "Drawdown");
    percent_ticks(p.mpl, ax);
    framed_legend(ax, "lower left", py::float_(p.layout.legends.drawdown));
    concise_date_axis(ax);
}

// "2021: 5.12%" per year with a value, in year order.
std::vector<std::string> annual_excess_pieces(const YearlySums& yearly) {
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < yearly.years.size(); ++i) {
        const double v = yearly.sums[2][i];
        if (!std::isnan(v)) pieces.push_back(std::to_string(yearly.years[i]) + ": " + format_pct_value(v));
    }
    return pieces;
}

// The years joined by " | " on one line while it fits the cell; a long backtest would
// run past the cell (and under the next panel), so its line breaks between years instead.
std::vector<std::string> annual_excess_lines(const std::vector<std::string>& pieces, double width_pt,
                                             double font_size) {
    if (pieces.empty()) return {kMissingText};
    std::vector<std::string> lines{pieces.front()};
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        const std::string joined = lines.back() + " | " + pieces[i];
        if (text_width_points(joined, font_size) <= width_pt) {
            lines.back() = joined;
        } else {
            lines.push_back(pieces[i]);
        }
    }
    return lines;
}

std::string join_lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    return text;
}

void draw_summary(const PerformancePage& p, py::handle ax) {
    const py::dict stats = p.request.stats.cast<py::dict>();
    const auto stat = [&](const char* key) { return stats.attr("get")(key); };
    std::vector<std::vector<std::string>> rows{
        {"Date Range", p.series.date_range},
        {"Trading Days", std::to_string(p.series.days)},
        {"Rolling Window", std::to_string(p.request.rolling_window)},
        {"Benchmark", p.request.benchmark_name},
        {"Benchmark Ann.", format_pct_points(stat("benchmark_annual_return"))},
        {"Benchmark Sharpe", format_num(stat("benchmark_sharp"))},
        {"Return Corr.", format_num(stat("return_corr"))},
        {"Avg Holding", format_num(stat("holding_count"), 0)},
        {"Turnover", format_pct(stat("turnover"))},
        {"Excess Win Rate", format_pct(stat("excess_win_rate"))},
    };
    const std::vector<std::string> excess_lines = annual_excess_lines(
        annual_excess_pieces(p.series.yearly), table_text_width_points(ax, p.layout.page.summary.col_widths[1]),
        p.layout.page.summary.font_size);
    rows.push_back({"Annual Excess", join_lines(excess_lines)});
    std::vector<int> row_lines(rows.size(), 1);
    row_lines.back() = static_cast<int>(excess_lines.size());
    draw_summary_table(ax, rows, p.layout.page.summary, std::move(row_lines));
}

void draw_yearly_table(const PerformancePage& p, py::handle ax) {
    draw_yearly_metrics_table(ax, p.series.yearly_metrics, p.layout.page.compact_yearly_table);
}

}  // namespace

void plot_strategy_performance_unlocked(const ChartRequest& request) {
    const Pyplot mpl = drawing_preamble();
    py::object plot_df = with_datetime_index(request.total);
    if (plot_df.attr("empty").cast<bool>()) return;
    const PerformanceSeries series = collect_series(plot_df);

    const PerformanceLayout& layout = performance_layout(is_tall_page(request.image_kind));
    const PerformancePage p{mpl, layout, request, series};
    draw_card_page(mpl, layout.page, p,
                   {.cards = draw_cards,
                    .cumulative = draw_cumulative,
                    .plots = {draw_excess, draw_yearly_returns, draw_rolling_stability, draw_drawdowns},
                    .summary_table = draw_summary,
                    .yearly_table = draw_yearly_table},
                   request.title_text() + " | Benchmark " + request.benchmark_name + " | Strategy Performance",
                   request.save_path);
}

}  // namespace lumora::weightbook
