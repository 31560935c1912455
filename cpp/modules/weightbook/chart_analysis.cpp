#include "weightbook/chart_analysis.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
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
#include "lumora/series_arithmetic.hpp"
#include "lumora/total_frame.hpp"

namespace lumora::weightbook {

using namespace pybind11::literals;
using namespace chartkit;

namespace {

// The traded value is averaged over half a year: a rebalance trades many times the value
// of a day between rebalances (the daily re-sizing), and a window holding several of them
// gives a level instead of a saw-tooth whose teeth are the rebalance days.
constexpr std::size_t kTradedWindow = 126;
constexpr std::size_t kMinTradedWindow = 5;
constexpr std::array<const char*, 13> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul",
                                              "Aug", "Sep", "Oct", "Nov", "Dec", "Year"};
// Two rows of cards, monthly and yearly returns, the rolling Sharpe and volatility with the
// traded value, the rolling beta (with the holdings when they were recorded), and the
// underwater curve with the worst drawdowns.
constexpr std::array<double, 6> kHeights{0.5, 0.5, 2.7, 2.35, 2.0, 2.35};
constexpr std::array<double, 3> kWidths{1.1, 1.1, 1.0};
constexpr PageFrame analysis_page() {
    PageFrame frame = wide_panel_page(150, kHeights, kWidths, 0.38);
    frame.height_in = 16.8;  // the wide page's 12.6 inches for four rows, grown with the two added
    frame.grid.grid_margins = Margins{0.045, 0.955, 0.93, 0.035};
    return frame;
}
constexpr PageFrame kFrame = analysis_page();
constexpr double kLegend = 8.0;
constexpr const char* kVolatility = "#ca8a04";
constexpr const char* kTraded = "#0f766e";
constexpr const char* kBeta = "#7c3aed";
constexpr const char* kHoldings = "#334155";
constexpr double kCardValue = 11.5;
constexpr double kCardLabel = 8.0;

struct StrategyPageData {
    py::dict summary;
    std::string benchmark;        // the primary benchmark's name, "" without one
    std::vector<double> monthly;  // years x 13, the year's sum last
    std::vector<std::string> years;
    std::vector<double> yearly;
    py::object dates;
    std::vector<double> sharpe, volatility, beta, traded, underwater;
    std::size_t traded_window = 0;
    py::object drawdowns;
    // Holdings by trade day, when the positions were recorded.
    py::object holding_dates;
    std::vector<double> holdings_count, gross_exposure;
};

// The net value of the result's total frame (1 + the running sum of the daily returns,
// rebased on the first day) below its running peak: the statistics' own drawdown.
std::vector<double> underwater_of(const std::vector<double>& daily) {
    if (daily.empty()) return {};
    std::vector<double> net_value = cumulative_sum(daily.data(), daily.size());
    const double first = net_value.front() + 1.0;
    for (double& v : net_value) v = (v + 1.0) / first;
    return drawdown_from_running_max(net_value);
}

StrategyPageData page_data(py::handle analysis, py::handle daily_return) {
    StrategyPageData d;
    d.summary = analysis.attr("summary");
    d.benchmark = py::str(py::getattr(analysis, "benchmark_name", py::str("")));
    py::object monthly = analysis.attr("monthly_returns");
    const std::vector<double> months = float_values(monthly, "monthly_returns");
    d.yearly = float_values(analysis.attr("yearly_returns"), "yearly_returns");
    for (py::handle year : monthly.attr("index")) d.years.push_back(py::str(year));
    for (std::size_t y = 0; y < d.years.size(); ++y) {
        d.monthly.insert(d.monthly.end(), months.begin() + static_cast<std::ptrdiff_t>(y * 12),
                         months.begin() + static_cast<std::ptrdiff_t>(y * 12 + 12));
        d.monthly.push_back(y < d.yearly.size() ? d.yearly[y] : kNaN);
    }
    py::object rolling = bridge::pandas().attr("DataFrame")(
        py::dict("sharpe"_a = analysis.attr("rolling_sharpe_126"),
                 "volatility"_a = analysis.attr("rolling_volatility_126"), "beta"_a = analysis.attr("rolling_beta_126"),
                 "traded"_a = analysis.attr("traded_value"), "daily"_a = daily_return));
    rolling = with_datetime_index(rolling, "lumora.backtest._weightbook");
    d.dates = date_axis_values(rolling);
    d.sharpe = float_column(rolling, "sharpe");
    d.volatility = float_column(rolling, "volatility");
    d.beta = float_column(rolling, "beta");
    std::vector<double> traded = float_column(rolling, "traded");
    for (double& v : traded) v /= 1e6;
    d.traded_window = rolling_days(traded.size(), kTradedWindow, kMinTradedWindow);
    d.traded = rolling_mean(traded, d.traded_window);
    d.underwater = underwater_of(float_column(rolling, "daily"));
    d.drawdowns = analysis.attr("drawdowns");

    py::object holdings = py::getattr(analysis, "holdings", py::none());
    if (!holdings.is_none() && py::len(holdings) > 0) {
        py::object held = with_datetime_index(holdings, "lumora.backtest._weightbook");
        d.holding_dates = date_axis_values(held);
        d.holdings_count = float_column(held, "holdings_count");
        d.gross_exposure = float_column(held, "gross_exposure");
    }
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
    draw_cards(ax, cards, kCardValue, kCardLabel);
}

// The figures of the open portfolio libraries: volatility, the compounded figures and those
// against the primary benchmark.
void draw_peer_cards_panel(const StrategyPage& p, py::handle ax) {
    const py::dict& s = p.d.summary;
    const std::string against = p.d.benchmark.empty() ? "" : " vs " + p.d.benchmark;
    const std::vector<Card> cards{
        {"Annual Volatility", format_pct_value(summary_figure(s, "annual_volatility"))},
        {"CAGR (compounded)", format_pct_value(summary_figure(s, "cagr"))},
        {"Max Drawdown (compounded)", format_pct_value(std::abs(summary_figure(s, "max_drawdown_compounded")))},
        {"Alpha (annualised)" + against, format_pct_value(summary_figure(s, "alpha"))},
        {"Beta" + against, format_fixed(summary_figure(s, "beta"), 2)},
        {"Information Ratio" + against, format_fixed(summary_figure(s, "information_ratio"), 2)},
        {"Tail Ratio (95/5)", format_fixed(summary_figure(s, "tail_ratio"), 2)},
        {"Stability (R\u00b2)", format_fixed(summary_figure(s, "stability"), 2)},
        {"Omega (threshold 0)", format_fixed(summary_figure(s, "omega"), 2)},
    };
    draw_cards(ax, cards, kCardValue, kCardLabel);
}

void draw_monthly(const StrategyPage& p, py::handle ax) {
    draw_monthly_heatmap(ax, "Monthly Returns (sum of daily returns)", p.d.monthly, p.d.years, kMonths, true, 1);
}

// Room for the labels beyond the longest bars: a quarter of the span of the bars on the
// side a label stands (below a loss, above a gain), so no label meets the frame.
void year_limits(py::handle ax, const std::vector<double>& yearly) {
    double lo = 0.0, hi = 0.0;
    for (const double v : yearly) {
        if (!std::isfinite(v)) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    const double span = hi - lo > 0.0 ? hi - lo : 0.01;
    const double room = 0.25 * span, edge = 0.05 * span;
    ax.attr("set_ylim")(lo < 0.0 ? lo - room : -edge, hi > 0.0 ? hi + room : edge);
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
    year_limits(ax, p.d.yearly);
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
    const std::string window = std::to_string(p.d.traded_window) + "-day mean";
    ax.attr("plot")(p.d.dates, as_array(p.d.traded), "color"_a = kTraded, "linewidth"_a = 1.6,
                    "label"_a = "Traded value, " + window + " (over several rebalances)");
    ax.attr("set_ylabel")("Millions per day");
    // From zero, with room above the line for the legend.
    double top = 0.0;
    for (const double v : p.d.traded)
        if (std::isfinite(v)) top = std::max(top, v);
    if (top > 0.0) ax.attr("set_ylim")(0.0, top * 1.3);
    framed_legend(ax, "upper left", py::float_(kLegend));
    panel_title(ax, "Traded Value (bought + sold), " + window);
    full_span(p, ax);
    concise_date_axis(ax);
}

bool any_finite(const std::vector<double>& values) {
    return std::any_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

void draw_rolling_beta(const StrategyPage& p, py::handle ax) {
    const std::string benchmark = p.d.benchmark.empty() ? "the Benchmark" : p.d.benchmark;
    panel_title(ax, "Rolling Beta to " + benchmark + " (126 days)");
    if (!any_finite(p.d.beta)) {
        centred_note(ax, p.d.benchmark.empty() ? "No benchmark to measure beta against" : "Not enough data");
        return;
    }
    ax.attr("plot")(p.d.dates, as_array(p.d.beta), "color"_a = kBeta, "linewidth"_a = 1.6, "label"_a = "Beta (126D)");
    const double whole = summary_figure(p.d.summary, "beta");
    if (std::isfinite(whole))
        ax.attr("axhline")(whole, "color"_a = palette::kBenchmark, "linestyle"_a = "--", "linewidth"_a = 1.1,
                           "label"_a = "Whole period " + format_fixed(whole, 2));
    ax.attr("set_ylabel")("Beta");
    framed_legend(ax, "upper left", py::float_(kLegend), 2);
    full_span(p, ax);
    concise_date_axis(ax);
}

void draw_holdings(const StrategyPage& p, py::handle ax) {
    ax.attr("plot")(p.d.holding_dates, as_array(p.d.holdings_count), "color"_a = kHoldings, "linewidth"_a = 1.4,
                    "label"_a = "Holdings");
    ax.attr("set_ylabel")("Stocks held");
    ax.attr("set_ylim")(0.0,
                        1.2 * std::max(1.0, *std::max_element(p.d.holdings_count.begin(), p.d.holdings_count.end())));
    py::object twin = twin_axis_below(ax);
    twin.attr("plot")(p.d.holding_dates, as_array(p.d.gross_exposure), "color"_a = kTraded, "linewidth"_a = 1.2,
                      "alpha"_a = 0.85, "label"_a = "Value held / capital");
    double exposure = 0.0;
    for (const double v : p.d.gross_exposure)
        if (std::isfinite(v)) exposure = std::max(exposure, v);
    twin.attr("set_ylim")(0.0, 1.2 * std::max(exposure, 0.01));
    finish_twin_axis(p.mpl, twin, "Exposure", kWidePanelText.twin_label_size);
    combined_legend(ax, twin, "lower left", kLegend);
    panel_title(ax, "Holdings after Each Day's Trades");
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
    panel_title(ax, "Underwater Curve (net value below its running peak)");
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
    std::vector<PagePanel> panels{
        {{0, 1, 0, 3}, bind_panel(p, draw_cards_panel), false},
        {{1, 2, 0, 3}, bind_panel(p, draw_peer_cards_panel), false},
        {{2, 3, 0, 2}, bind_panel(p, draw_monthly), false},
        {{2, 3, 2, 3}, bind_panel(p, draw_yearly), true},
        {{3, 4, 0, 2}, bind_panel(p, draw_rolling), true},
        {{3, 4, 2, 3}, bind_panel(p, draw_traded), true},
        {{5, 6, 0, 2}, bind_panel(p, draw_underwater), true},
        {{5, 6, 2, 3}, bind_panel(p, draw_drawdown_table), false},
    };
    // The rolling beta spans the row unless the recorded holdings share it.
    const bool holdings = !p.d.holdings_count.empty();
    panels.push_back({{4, 5, 0, holdings ? 2 : 3}, bind_panel(p, draw_rolling_beta), true});
    if (holdings) panels.push_back({{4, 5, 2, 3}, bind_panel(p, draw_holdings), true});
    draw_panel_page(mpl, kFrame, std::string(py::str(title_text)) + " | Strategy Analysis", panels, path);
    return path;
}

}  // namespace lumora::weightbook
