#include "weightbook/chart_analysis.hpp"

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
#include "chartkit/series.hpp"
#include "chartkit/style.hpp"
#include "common/frame_bridge.hpp"

namespace lumora::weightbook {

using namespace pybind11::literals;
using namespace chartkit;

namespace {

constexpr std::size_t kTradedWindow = 20;
constexpr std::array<const char*, 13> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul",
                                              "Aug", "Sep", "Oct", "Nov", "Dec", "Year"};
constexpr std::array<double, 4> kHeights{0.72, 2.7, 2.35, 2.35};
constexpr std::array<double, 3> kWidths{1.1, 1.1, 1.0};
constexpr PageFrame kFrame = wide_panel_page(150, kHeights, kWidths, 0.34);
constexpr double kLegend = 8.0;
constexpr const char* kVolatility = "#ca8a04";
constexpr const char* kTraded = "#0f766e";

struct StrategyPageData {
    py::dict summary;
    std::vector<double> monthly;  // years x 13, the year's sum last
    std::vector<std::string> years;
    std::vector<double> yearly;
    py::object dates;
    std::vector<double> sharpe, volatility, traded, underwater;
    py::object drawdowns;
};

StrategyPageData page_data(py::handle analysis, py::handle daily_return) {
    StrategyPageData d;
    d.summary = analysis.attr("summary");
    py::object monthly = analysis.attr("monthly_returns");
    const std::vector<double> months = float_values(monthly, "monthly_returns");
    d.yearly = float_values(analysis.attr("yearly_returns"), "yearly_returns");
    for (py::handle year : monthly.attr("index")) d.years.push_back(py::str(year));
    for (std::size_t y = 0; y < d.years.size(); ++y) {
        d.monthly.insert(d.monthly.end(), months.begin() + static_cast<std::ptrdiff_t>(y * 12),
                         months.begin() + static_cast<std::ptrdiff_t>(y * 12 + 12));
        d.monthly.push_back(y < d.yearly.size() ? d.yearly[y] : kNaN);
    }
    py::object rolling = bridge::pandas().attr("DataFrame")(py::dict(
        "sharpe"_a = analysis.attr("rolling_sharpe_126"), "volatility"_a = analysis.attr("rolling_volatility_126"),
        "traded"_a = analysis.attr("traded_value"), "daily"_a = daily_return));
    rolling = with_datetime_index(rolling, "lumora.backtest._weightbook");
    d.dates = date_axis_values(rolling);
    d.sharpe = float_column(rolling, "sharpe");
    d.volatility = float_column(rolling, "volatility");
    std::vector<double> traded = float_column(rolling, "traded");
    for (double& v : traded) v /= 1e6;
    d.traded = rolling_mean(traded, kTradedWindow);
    // Fall of 1 + the running sum below its peak, the peak starting at the capital.
    double level = 0.0, peak = 0.0;
    for (const double r : float_column(rolling, "daily")) {
        if (std::isfinite(r)) level += r;
        peak = std::max(peak, level);
        d.underwater.push_back(level - peak);
    }
    d.drawdowns = analysis.attr("drawdowns");
    return d;
}

struct StrategyPage {
    const Pyplot& mpl;
    const StrategyPageData& d;
};

// The whole backtest on the x axis, also where a rolling figure has no value yet.
void full_span(const StrategyPage& p, py::handle ax) {
    if (py::len(p.d.dates) > 1) ax.attr("set_xlim")(p.d.dates[py::int_(0)], p.d.dates[py::int_(-1)]);
}

void draw_cards_panel(const StrategyPage& p, py::handle ax) {
    const py::dict& s = p.d.summary;
    const std::vector<Card> cards{
        {"Sortino", format_fixed(summary_figure(s, "sortino"), 2)},
        {"Calmar", format_fixed(summary_figure(s, "calmar"), 2)},
        {"Max Drawdown", format_pct_value(std::abs(summary_figure(s, "max_drawdown")))},
        {"VaR 95% (daily)", format_pct_value(summary_figure(s, "var_95_daily"))},
        {"CVaR 95% (daily)", format_pct_value(summary_figure(s, "cvar_95_daily"))},
        {"Skew", format_fixed(summary_figure(s, "skew"), 2)},
        {"Kurtosis", format_fixed(summary_figure(s, "kurtosis"), 2)},
        {"Best / Worst Day",
         format_pct_value(summary_figure(s, "best_day")) + " / " + format_pct_value(summary_figure(s, "worst_day"))},
        {"Best / Worst Month", format_pct_value(summary_figure(s, "best_month")) + " / " +
                                   format_pct_value(summary_figure(s, "worst_month"))},
        {"Traded Value / Capital / Year", format_fixed(summary_figure(s, "traded_value_turnover_annual"), 2) + "x"},
    };
    draw_cards(ax, cards, 12.0, 8.0);
}

void draw_monthly(const StrategyPage& p, py::handle ax) {
    draw_monthly_heatmap(ax, "Monthly Returns (sum of daily returns)", p.d.monthly, p.d.years, kMonths, true, 1);
}

void draw_yearly(const StrategyPage& p, py::handle ax) {
    std::vector<double> x;
    py::list colours, labels;
    for (std::size_t y = 0; y < p.d.yearly.size(); ++y) {
        x.push_back(static_cast<double>(y));
        colours.append(p.d.yearly[y] >= 0.0 ? palette::kStrategy : palette::kExcess);
        labels.append(p.d.years[y]);
    }
    ax.attr("bar")(as_array(x), as_array(p.d.yearly), "width"_a = 0.7, "color"_a = colours, "alpha"_a = 0.88);
    for (std::size_t y = 0; y < p.d.yearly.size(); ++y) {
        const double v = p.d.yearly[y];
        if (!std::isfinite(v)) continue;
        ax.attr("text")(x[y], v, format_pct_value(v, 1), "ha"_a = "center", "va"_a = v >= 0 ? "bottom" : "top",
                        "fontsize"_a = 7.4, "color"_a = palette::kInk);
    }
    ax.attr("set_xticks")(as_array(x), labels, "rotation"_a = p.d.yearly.size() > 8 ? 45 : 0);
    ax.attr("margins")("y"_a = 0.18);
    reference_line(ax, 0.0, 0.8);
    percent_ticks(p.mpl, ax);
    panel_title(ax, "Yearly Returns");
}

void draw_rolling(const StrategyPage& p, py::handle ax) {
    ax.attr("plot")(p.d.dates, as_array(p.d.sharpe), "color"_a = palette::kRollingSharpe, "linewidth"_a = 1.7,
                    "label"_a = "Sharpe (126D)");
    reference_line(ax, 0.0, 0.8);
    ax.attr("set_ylabel")("Sharpe");
    py::object twin = twin_axis_below(ax);
    twin.attr("plot")(p.d.dates, as_array(p.d.volatility), "color"_a = kVolatility, "linewidth"_a = 1.4,
                      "label"_a = "Volatility (126D, annualised)");
    finish_twin_axis(p.mpl, twin, "Volatility", kWidePanelText.twin_label_size);
    combined_legend(ax, twin, "upper left", kLegend);
    panel_title(ax, "Rolling Sharpe and Volatility (126 days)");
    full_span(p, ax);
    concise_date_axis(ax);
}

void draw_traded(const StrategyPage& p, py::handle ax) {
    ax.attr("plot")(p.d.dates, as_array(p.d.traded), "color"_a = kTraded, "linewidth"_a = 1.6,
                    "label"_a = "Traded value, " + std::to_string(kTradedWindow) + "D mean");
    ax.attr("set_ylabel")("Millions per day");
    ax.attr("set_ylim")("bottom"_a = 0);
    framed_legend(ax, "upper left", py::float_(kLegend));
    panel_title(ax, "Traded Value (bought + sold)");
    full_span(p, ax);
    concise_date_axis(ax);
}

void draw_underwater(const StrategyPage& p, py::handle ax) {
    ax.attr("fill_between")(p.d.dates, as_array(p.d.underwater), 0.0, "color"_a = palette::kStrategyDrawdown,
                            "alpha"_a = 0.8, "label"_a = "Drawdown");
    ax.attr("plot")(p.d.dates, as_array(p.d.underwater), "color"_a = palette::kStrategy, "linewidth"_a = 1.0);
    reference_line(ax, 0.0, 0.8);
    ax.attr("set_ylabel")("Drawdown (of capital)");
    percent_ticks(p.mpl, ax);
    panel_title(ax, "Underwater Curve (additive net value)");
    full_span(p, ax);
    concise_date_axis(ax);
}

std::string text_or_dash(py::handle value) { return value.is_none() ? std::string("--") : std::string(py::str(value)); }

void draw_drawdown_table(const StrategyPage& p, py::handle ax) {
    std::vector<std::vector<std::string>> rows;
    const py::object& t = p.d.drawdowns;
    const auto n = static_cast<std::size_t>(py::len(t));
    py::list peak = t["peak"].attr("tolist")(), trough = t["trough"].attr("tolist")(),
             recovery = t["recovery"].attr("tolist")();
    const std::vector<double> depth = float_column(t, "depth"), days = float_column(t, "days");
    for (std::size_t k = 0; k < n; ++k) {
        rows.push_back({std::to_string(k + 1), peak[k].is_none() ? std::string("start") : text_or_dash(peak[k]),
                        text_or_dash(trough[k]),
                        recovery[k].is_none() ? std::string("not yet") : text_or_dash(recovery[k]),
                        format_pct_value(std::abs(depth[k])), format_fixed(days[k], 0)});
    }
    if (rows.empty()) rows.push_back({"--", "--", "--", "--", "--", "--"});
    draw_figures_table(ax, "Worst Drawdowns", rows, {"#", "Peak", "Trough", "Recovery", "Depth", "Days"},
                       {0.07, 0.19, 0.19, 0.19, 0.18, 0.12}, 8.8, 1.5, 6);
}

}  // namespace

std::string plot_strategy_analysis_unlocked(py::handle analysis, py::handle daily_return, py::handle save_path,
                                            py::handle title_text) {
    const std::string path = path_text(save_path, "save_path", "str or os.PathLike");
    if (!bridge::is_str(title_text)) kind_error("title", "str", title_text);
    const StrategyPageData data = page_data(analysis, daily_return);
    const Pyplot mpl = drawing_preamble();
    const StrategyPage p{mpl, data};
    const PagePanel panels[] = {
        {{0, 1, 0, 3}, bind_panel(p, draw_cards_panel), false},    {{1, 2, 0, 2}, bind_panel(p, draw_monthly), false},
        {{1, 2, 2, 3}, bind_panel(p, draw_yearly), true},          {{2, 3, 0, 2}, bind_panel(p, draw_rolling), true},
        {{2, 3, 2, 3}, bind_panel(p, draw_traded), true},          {{3, 4, 0, 2}, bind_panel(p, draw_underwater), true},
        {{3, 4, 2, 3}, bind_panel(p, draw_drawdown_table), false},
    };
    draw_panel_page(mpl, kFrame, std::string(py::str(title_text)) + " | Strategy Analysis", panels, path);
    return path;
}

}  // namespace lumora::weightbook
