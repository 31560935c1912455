#include "core/factor_analysis_chart.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "chartkit/arguments.hpp"
#include "chartkit/axes.hpp"
#include "chartkit/format.hpp"
#include "chartkit/frames.hpp"
#include "chartkit/heatmap.hpp"
#include "chartkit/layout.hpp"
#include "chartkit/page.hpp"
#include "chartkit/panels.hpp"
#include "chartkit/style.hpp"
#include "common/frame_bridge.hpp"
#include "core/group_bindings.hpp"
#include "core/group_charts_layout.hpp"
#include "core/group_charts_panels.hpp"
#include "lumora/factor_dates.hpp"
#include "lumora/series_arithmetic.hpp"

namespace lumora::core {

using namespace pybind11::literals;
using namespace chartkit;

namespace {

constexpr std::size_t kTurnoverWindow = 20;
constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr std::array<double, 4> kHeights{0.72, 2.6, 2.45, 2.5};
constexpr std::array<double, 3> kWidths{1.0, 1.1, 1.0};
constexpr PageFrame kFrame = wide_panel_page(130, kHeights, kWidths, 0.34);
// Where the panels sit on the grid: the cards across the top; the IC decay beside the
// monthly Rank IC; the group returns and the two turnover panels; the IC table beside the
// group table.
struct FactorPageCells {
    Cells cards, decay, monthly, group_returns, turnover_over_time, turnover_by_group, ic_table, group_table;
};
constexpr FactorPageCells kCells{.cards = {0, 1, 0, 3},
                                 .decay = {1, 2, 0, 1},
                                 .monthly = {1, 2, 1, 3},
                                 .group_returns = {2, 3, 0, 1},
                                 .turnover_over_time = {2, 3, 1, 2},
                                 .turnover_by_group = {2, 3, 2, 3},
                                 .ic_table = {3, 4, 0, 2},
                                 .group_table = {3, 4, 2, 3}};
constexpr double kLegend = 8.0, kBarLabel = 7.4;
constexpr int kMostGroupTicks = 20;  // a third of the page holds 20 group numbers

// The record's tables as native vectors, read once before the lock.
struct FactorPageData {
    py::dict summary;
    double monotonicity;
    std::vector<double> ic_summary;  // 2 x horizons rows x 9 columns
    std::vector<double> monthly;     // years x 12
    std::vector<std::string> years;
    int groups = 0;
    std::vector<double> annual, sharpe, drawdown, turnover;  // per group, then top minus bottom
    py::object dates;
    std::vector<double> top_turnover, bottom_turnover, autocorr;  // rolling means
};

FactorPageData page_data(py::handle analysis) {
    FactorPageData d;
    d.summary = analysis.attr("summary");
    d.monotonicity = py::float_(analysis.attr("monotonicity"));
    d.ic_summary = float_values(analysis.attr("ic_summary"), "ic_summary");
    py::object monthly = analysis.attr("monthly_rank_ic");
    d.monthly = float_values(monthly, "monthly_rank_ic");
    for (py::handle year : monthly.attr("index")) d.years.push_back(py::str(year));
    py::object groups = analysis.attr("group_performance");
    d.groups = static_cast<int>(py::len(groups)) - 1;
    d.annual = float_column(groups, "annual_return");
    d.sharpe = float_column(groups, "sharpe");
    d.drawdown = float_column(groups, "max_drawdown");
    d.turnover = float_column(groups, "turnover_daily");
    py::object turnover = with_datetime_index(analysis.attr("group_turnover"), python::own_module());
    d.dates = date_axis_values(turnover);
    const std::vector<double> all = float_values(turnover, "group_turnover");
    const auto rows = all.size() / static_cast<std::size_t>(std::max(d.groups, 1));
    std::vector<double> top(rows), bottom(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        bottom[r] = all[r * static_cast<std::size_t>(d.groups)];
        top[r] = all[r * static_cast<std::size_t>(d.groups) + static_cast<std::size_t>(d.groups - 1)];
    }
    d.top_turnover = rolling_mean(top, kTurnoverWindow);
    d.bottom_turnover = rolling_mean(bottom, kTurnoverWindow);
    d.autocorr =
        rolling_mean(float_values(analysis.attr("rank_autocorrelation"), "rank_autocorrelation"), kTurnoverWindow);
    return d;
}

struct FactorPage {
    const Pyplot& mpl;
    const FactorPageData& d;
    py::list colours;
};

void draw_cards_panel(const FactorPage& p, py::handle ax) {
    const py::dict& s = p.d.summary;
    const std::vector<Card> cards{
        {"Rank IC Mean", format_fixed(summary_figure(s, "rank_ic_mean"), 4)},
        {"Rank IC t-stat", format_fixed(summary_figure(s, "rank_ic_t_stat"), 2)},
        {"Rank IC Std", format_fixed(summary_figure(s, "rank_ic_std"), 4)},
        {"Long-Short Ann.", format_pct_value(summary_figure(s, "long_short_annual_return"))},
        {"Long-Short Sharpe", format_fixed(summary_figure(s, "long_short_sharpe"), 2)},
        {"Long-Short Max DD", format_pct_value(std::abs(summary_figure(s, "long_short_max_drawdown")))},
        {"Monotonicity", format_fixed(p.d.monotonicity, 2)},
        {"Top/Bottom Turnover", format_pct_value(summary_figure(s, "long_short_turnover_daily"))},
        {"Rank Autocorr.", format_fixed(summary_figure(s, "rank_autocorrelation"), 3)},
        {"Coverage", format_pct_value(summary_figure(s, "coverage"))},
    };
    draw_cards(ax, cards, kWidePanelText.card_value_size, kWidePanelText.card_label_size);
}

// Mean IC and Rank IC at each horizon, side by side, each bar labelled with its t-statistic.
void draw_decay(const FactorPage& p, py::handle ax) {
    constexpr std::size_t kColumns = 9, kMean = 0, kTStat = 3;
    const double width = 0.38;
    const char* colours[2] = {palette::kBenchmark, palette::kStrategy};
    const char* names[2] = {"IC (Pearson)", "Rank IC"};
    double largest = 0.0;
    for (std::size_t m = 0; m < 2; ++m) {
        std::vector<double> x, heights;
        for (std::size_t k = 0; k < kHorizonCount; ++k) {
            x.push_back(static_cast<double>(k) + (m == 0 ? -width / 2 : width / 2));
            heights.push_back(p.d.ic_summary[(m * kHorizonCount + k) * kColumns + kMean]);
            if (std::isfinite(heights.back())) largest = std::max(largest, std::abs(heights.back()));
        }
        ax.attr("bar")(as_array(x), as_array(heights), "width"_a = width, "color"_a = colours[m], "alpha"_a = 0.85,
                       "label"_a = names[m]);
        for (std::size_t k = 0; k < kHorizonCount; ++k) {
            const double h = heights[k], t = p.d.ic_summary[(m * kHorizonCount + k) * kColumns + kTStat];
            if (!std::isfinite(h)) continue;
            ax.attr("text")(x[k], h, "t " + format_fixed(t, 1), "ha"_a = "center", "va"_a = h >= 0 ? "bottom" : "top",
                            "fontsize"_a = kBarLabel, "color"_a = palette::kInk);
        }
    }
    py::list ticks, labels;
    for (std::size_t k = 0; k < kHorizonCount; ++k) {
        ticks.append(k);
        labels.append(std::to_string(kIcHorizons[k]) + "D");
    }
    ax.attr("set_xticks")(ticks, labels);
    ax.attr("set_xlabel")("Horizon (trading days, open to open)");
    ax.attr("margins")("y"_a = 0.2);
    reference_line(ax, 0.0, 0.8);
    panel_title(ax, "Mean IC by Horizon (decay)");
    framed_legend(ax, "best", py::float_(kLegend), 2);
}

void draw_monthly(const FactorPage& p, py::handle ax) {
    draw_monthly_heatmap(ax, "Monthly Mean Rank IC (1D)", p.d.monthly, p.d.years, kMonths, false, 3);
}

// One bar per group of the first `groups` figures of `per_group` (the top-minus-bottom
// figure follows them), in the group colours, on a percent axis.
void group_bars(const FactorPage& p, py::handle ax, const std::vector<double>& per_group) {
    std::vector<double> x;
    for (int g = 1; g <= p.d.groups; ++g) x.push_back(g);
    const std::vector<double> bars(per_group.begin(), per_group.begin() + p.d.groups);
    ax.attr("bar")(as_array(x), as_array(bars), "width"_a = 0.72, "color"_a = p.colours, "alpha"_a = 0.9);
    group_axis(ax, p.d.groups, kMostGroupTicks);
    percent_ticks(p.mpl, ax);
}

void draw_group_returns(const FactorPage& p, py::handle ax) {
    group_bars(p, ax, p.d.annual);
    reference_line(ax, 0.0, 0.8);
    panel_title(ax, "Annualised Return by Group (monotonicity " + format_fixed(p.d.monotonicity, 2) + ")");
}

void draw_turnover_over_time(const FactorPage& p, py::handle ax) {
    const std::string window = std::to_string(kTurnoverWindow) + "D mean";
    ax.attr("plot")(p.d.dates, as_array(p.d.top_turnover), "color"_a = group_palette::kRamp.back(), "linewidth"_a = 1.6,
                    "label"_a = "Top group turnover (" + window + ")");
    ax.attr("plot")(p.d.dates, as_array(p.d.bottom_turnover), "color"_a = group_palette::kRamp.front(),
                    "linewidth"_a = 1.6, "label"_a = "Bottom group turnover (" + window + ")");
    ax.attr("set_ylabel")("Share of members replaced");
    percent_ticks(p.mpl, ax);
    py::object twin = twin_axis_below(ax);
    twin.attr("plot")(p.d.dates, as_array(p.d.autocorr), "color"_a = group_palette::kCumulativeIc, "linewidth"_a = 1.4,
                      "linestyle"_a = "--", "label"_a = "Rank autocorrelation (" + window + ")");
    twin.attr("set_ylabel")("Rank autocorrelation", "fontsize"_a = 9);
    twin.attr("grid")(false);
    twin.attr("spines")["top"].attr("set_visible")(false);
    combined_legend(ax, twin, "upper left", kLegend);
    panel_title(ax, "Turnover and Rank Autocorrelation");
    concise_date_axis(ax);
}

void draw_turnover_by_group(const FactorPage& p, py::handle ax) {
    group_bars(p, ax, p.d.turnover);
    panel_title(ax, "Mean Daily Turnover by Group");
}

void draw_ic_table(const FactorPage& p, py::handle ax) {
    constexpr std::size_t kColumns = 9;
    std::vector<std::vector<std::string>> rows;
    for (std::size_t m = 0; m < 2; ++m)
        for (std::size_t k = 0; k < kHorizonCount; ++k) {
            const double* v = &p.d.ic_summary[(m * kHorizonCount + k) * kColumns];
            rows.push_back({std::string(m == 0 ? "IC " : "Rank IC ") + std::to_string(kIcHorizons[k]) + "D",
                            format_fixed(v[0], 4), format_fixed(v[1], 4), format_fixed(v[2], 3), format_fixed(v[3], 2),
                            format_fixed(v[4], 4), format_fixed(v[5], 2), format_fixed(v[6], 2),
                            format_pct_value(v[7], 1), format_fixed(v[8], 0)});
        }
    draw_figures_table(ax, "IC Summary by Horizon", rows,
                       {"Measure", "Mean", "Std", "IR", "t-stat", "p-value", "Skew", "Kurtosis", "Positive", "Days"},
                       {0.14, 0.1, 0.1, 0.09, 0.09, 0.1, 0.09, 0.1, 0.1, 0.09}, 8.6, 1.25, 9);
}

void draw_group_table(const FactorPage& p, py::handle ax) {
    std::vector<std::vector<std::string>> rows;
    for (int g = 0; g <= p.d.groups; ++g) {
        const auto k = static_cast<std::size_t>(g);
        rows.push_back({g < p.d.groups ? "G" + std::to_string(g + 1) : "Top - Bottom", format_pct_value(p.d.annual[k]),
                        format_fixed(p.d.sharpe[k], 2), format_pct_value(std::abs(p.d.drawdown[k])),
                        format_pct_value(p.d.turnover[k], 1)});
    }
    draw_figures_table(ax, "Return Figures by Group", rows, {"Group", "Ann. Return", "Sharpe", "Max DD", "Turnover"},
                       {0.24, 0.2, 0.16, 0.2, 0.2}, 8.2, 1.1, 12);
}

}  // namespace

std::string plot_factor_analysis(py::handle analysis, py::handle save_path, py::handle title_text) {
    const std::string path = path_text(save_path, "save_path", "str or os.PathLike");
    if (!bridge::is_str(title_text)) kind_error("title", "str", title_text);
    const FactorPageData data = page_data(analysis);
    {
        const PlotLockHold hold;
        const Pyplot mpl = drawing_preamble();
        const FactorPage p{mpl, data, group_colours(std::max(data.groups, 1))};
        const PagePanel panels[] = {
            {kCells.cards, bind_panel(p, draw_cards_panel), false},
            {kCells.decay, bind_panel(p, draw_decay), true},
            {kCells.monthly, bind_panel(p, draw_monthly), false},
            {kCells.group_returns, bind_panel(p, draw_group_returns), true},
            {kCells.turnover_over_time, bind_panel(p, draw_turnover_over_time), true},
            {kCells.turnover_by_group, bind_panel(p, draw_turnover_by_group), true},
            {kCells.ic_table, bind_panel(p, draw_ic_table), false},
            {kCells.group_table, bind_panel(p, draw_group_table), false},
        };
        draw_panel_page(mpl, kFrame, std::string(py::str(title_text)) + " | Factor Analysis", panels, path);
    }
    return path;
}

}  // namespace lumora::core
