#include "core/group_charts_panels.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "chartkit/axes.hpp"
#include "chartkit/format.hpp"
#include "chartkit/frames.hpp"
#include "chartkit/layout.hpp"
#include "chartkit/page.hpp"
#include "chartkit/panels.hpp"
#include "chartkit/yearly_table.hpp"

namespace lumora::core {

using namespace pybind11::literals;
using namespace chartkit;

namespace {

// Up to this many groups every line has its legend entry; beyond, the ends of the ramp,
// the best group and the benchmark do.
constexpr int kListedGroups = 10;
constexpr int kGroupLegendColumns = 2;  // columns of the legend when it lists every group
constexpr int kMaxBarLabels = 20;       // groups up to this count have their bars labelled
constexpr double kBarWidth = 0.72;
constexpr double kMinBarLabelOffset = 0.002;
constexpr double kIcStickAlpha = 0.55;

std::string group_name(int g) { return "G" + std::to_string(g + 1); }

std::string group_word(int g) { return "Group " + std::to_string(g + 1); }

void panel_title(const GroupPage& p, py::handle ax, const std::string& title) {
    ax.attr("set_title")(title, "fontsize"_a = p.layout.page.text.panel_title_size);
}

std::vector<double> positions_from_one(int n) {
    std::vector<double> out(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = i + 1.0;
    return out;
}

double largest_abs(const std::vector<double>& values) {
    double largest = 0.0;
    for (const double v : values)
        if (std::isfinite(v)) largest = std::max(largest, std::abs(v));
    return largest;
}

void label_bars(const GroupPage& p, py::handle ax) {
    const std::vector<double>& annual = p.groups.annual;
    const double offset = std::max(largest_abs(annual) * 0.02, kMinBarLabelOffset);
    const double rotation = p.groups.groups > kListedGroups ? 90.0 : 0.0;
    for (std::size_t i = 0; i < annual.size(); ++i) {
        const double v = annual[i];
        if (!std::isfinite(v)) continue;
        const bool above = v >= 0.0;
        ax.attr("text")(static_cast<double>(i) + 1.0, above ? v + offset : v - offset, format_pct_value(v, 1),
                        "ha"_a = "center", "va"_a = above ? "bottom" : "top", "rotation"_a = rotation,
                        "color"_a = palette::kInk, "fontsize"_a = p.layout.bar_label_size);
    }
}

// Width of one date's stick in points: about the room a date has, within readable bounds.
double stick_width(py::handle ax, std::size_t dates) {
    const double width_pt = ax.attr("get_position")().attr("width").cast<double>() *
                            ax.attr("figure").attr("get_figwidth")().cast<double>() * 72.0;
    return std::clamp(0.7 * width_pt / static_cast<double>(std::max<std::size_t>(dates, 1)), 0.4, 8.0);
}

// A panel without data: its note, and no axis ticks that would invent a range.
void note_only(py::handle ax, const char* note) {
    centred_note(ax, note);
    ax.attr("set_xticks")(py::list());
    ax.attr("set_yticks")(py::list());
}

bool any_finite(const std::vector<double>& values) {
    return std::any_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

std::vector<double> signed_part(const std::vector<double>& values, bool positive) {
    std::vector<double> out(values.size(), 0.0);
    for (std::size_t i = 0; i < values.size(); ++i)
        if (positive ? values[i] > 0.0 : values[i] < 0.0) out[i] = values[i];
    return out;
}

// A drawdown as its size, as the strategy page's cards and every yearly table show it
// (the summary row keeps it as a loss, below zero).
std::string drawdown_size(py::handle drawdown) {
    if (is_missing_value(drawdown)) return kMissingText;
    return format_pct_value(std::abs(py::float_(py::reinterpret_borrow<py::object>(drawdown)).cast<double>()));
}

}  // namespace

void group_axis(py::handle ax, int groups, int max_ticks) {
    const int step = std::max(1, (groups + max_ticks - 1) / max_ticks);
    // Round group numbers (5, 10, ...) when not every group has its tick; group 1 as well
    // once it stands clear of the first of them.
    std::vector<int> ticks;
    if (step == 1 || step >= 4) ticks.push_back(1);
    for (int g = step; g <= groups; g += step)
        if (g > 1) ticks.push_back(g);
    ax.attr("set_xticks")(ticks);
    ax.attr("set_xlim")(0.4, groups + 0.6);
    ax.attr("set_xlabel")("Group");
}

py::list group_colours(int groups) {
    py::list stops;
    for (const char* stop : group_palette::kRamp) stops.append(stop);
    py::object ramp = py::module_::import("matplotlib.colors")
                          .attr("LinearSegmentedColormap")
                          .attr("from_list")("lumora_group_ramp", stops);
    py::list out;
    for (int g = 0; g < groups; ++g) out.append(ramp(groups == 1 ? 0.0 : static_cast<double>(g) / (groups - 1)));
    return out;
}

void draw_group_cards(const GroupPage& p, py::handle ax) {
    const py::dict& row = p.benchmark.summary;
    const std::vector<Card> cards{
        {"Best Group", group_name(p.groups.best)},
        {"Best Group Ann.", format_pct(row["best_group_annual_return"])},
        {"Long-Short Ann.", format_pct(row["long_short_annual_return"])},
        {p.benchmark.name + " Ann.", format_pct(row["benchmark_annual_return"])},
        {"Excess Ann.", format_pct(row["excess_annual_return"])},
        {"Excess Sharpe", format_num(row["excess_sharpe"])},
        {"Excess Max DD", drawdown_size(row["excess_max_dd"])},
        {"Rank IC Mean", format_num(row["rank_ic_mean"], 4)},
        {"Rank IC IR", format_num(row["ic_ir"], 3)},
    };
    draw_cards(ax, cards, p.layout.page.text.card_value_size, p.layout.page.text.card_label_size);
}

void draw_group_cumulative(const GroupPage& p, py::handle ax) {
    const GroupSeries& s = p.groups;
    const bool list_all = s.groups <= kListedGroups;
    for (int g = 0; g < s.groups; ++g) {
        const bool best = g == s.best;
        const bool listed = list_all || best || g == 0 || g == s.groups - 1;
        const std::string label = listed ? group_name(g) + (best ? " (best)" : "") : "_nolegend_";
        ax.attr("plot")(s.dates, as_array(s.returns[static_cast<std::size_t>(g)]),
                        "color"_a = p.colours[static_cast<std::size_t>(g)], "linewidth"_a = best ? 2.6 : 1.2,
                        "alpha"_a = best ? 1.0 : 0.88, "zorder"_a = best ? 4 : 2, "label"_a = label);
    }
    ax.attr("plot")(s.dates, as_array(p.benchmark.cumulative), "color"_a = palette::kBenchmark, "linewidth"_a = 1.7,
                    "linestyle"_a = "--", "zorder"_a = 3, "label"_a = p.benchmark.name);
    reference_line(ax, 0.0, 0.8);
    panel_title(p, ax, "Cumulative Return by Group");
    ax.attr("set_ylabel")("Return");
    percent_ticks(p.mpl, ax);
    framed_legend(ax, "upper left", py::float_(p.layout.legend_size), list_all ? kGroupLegendColumns : 1);
    concise_date_axis(ax);
}

void draw_group_annual_returns(const GroupPage& p, py::handle ax) {
    const GroupSeries& s = p.groups;
    py::list edges, widths;
    for (int g = 0; g < s.groups; ++g) {
        edges.append(g == s.best ? palette::kInk : "none");
        widths.append(g == s.best ? 1.4 : 0.0);
    }
    ax.attr("bar")(as_array(positions_from_one(s.groups)), as_array(s.annual), "width"_a = kBarWidth,
                   "color"_a = p.colours, "edgecolor"_a = edges, "linewidth"_a = widths, "alpha"_a = 0.9);
    if (std::isfinite(p.benchmark.annual)) {
        ax.attr("axhline")(p.benchmark.annual, "color"_a = palette::kBenchmark, "linestyle"_a = "--",
                           "linewidth"_a = 1.3,
                           "label"_a = p.benchmark.name + " Ann. " + format_pct_value(p.benchmark.annual));
        framed_legend(ax, "best", py::float_(p.layout.legend_size));
    }
    if (s.groups <= kMaxBarLabels) label_bars(p, ax);
    ax.attr("margins")("y"_a = 0.18);
    reference_line(ax, 0.0, 0.8);
    group_axis(ax, p.groups.groups, p.layout.max_group_ticks);
    panel_title(p, ax, "Annualised Return by Group");
    percent_ticks(p.mpl, ax);
}

void draw_long_short(const GroupPage& p, py::handle ax) {
    const GroupSeries& s = p.groups;
    const std::string spread = group_name(s.groups - 1) + " - " + group_name(0);
    panel_title(p, ax, "Long-Short Net Value (" + spread + ")");
    if (!any_finite(s.long_short_nav)) {
        note_only(ax, "No day on which both end groups traded");
        return;
    }
    ax.attr("plot")(s.dates, as_array(s.long_short_nav), "color"_a = group_palette::kLongShort, "linewidth"_a = 2.0,
                    "label"_a = spread + " (Ann. " + format_pct_value(s.long_short_annual) + ")");
    py::object twin = twin_axis_below(ax);
    twin.attr("fill_between")(s.dates, as_array(s.long_short_drawdown), 0.0,
                              "color"_a = group_palette::kLongShortDrawdown, "alpha"_a = 0.34,
                              "label"_a = "Long-Short Drawdown");
    reference_line(ax, 1.0, 0.8);
    ax.attr("set_ylabel")("Net Value");
    finish_twin_axis(p.mpl, twin, "Drawdown", p.layout.page.text.twin_label_size);
    combined_legend(ax, twin, "upper left", p.layout.legend_size);
    concise_date_axis(ax);
}

void draw_best_group_excess(const GroupPage& p, py::handle ax) {
    const std::string title = group_name(p.groups.best) + " Excess over " + p.benchmark.name + " & Drawdown";
    if (p.benchmark.excess.empty()) {
        panel_title(p, ax, title);
        note_only(ax, "No benchmark returns on the traded dates");
        return;
    }
    draw_excess_panel(
        p.mpl, ax, p.benchmark.excess_dates, p.benchmark.excess, p.benchmark.excess_drawdown,
        {title, p.layout.page.text.panel_title_size, p.layout.page.text.twin_label_size, p.layout.legend_size});
    concise_date_axis(ax);
}

void draw_rank_ic(const GroupPage& p, py::handle ax) {
    const GroupSeries& s = p.groups;
    panel_title(p, ax, "Rank IC");
    if (s.ic.empty()) {
        note_only(ax, "No Rank IC data");
        return;
    }
    const double width = stick_width(ax, s.ic.size());
    // The sticks get patches in the legend: hairline sticks would show as invisible lines.
    py::object patch = py::module_::import("matplotlib.patches").attr("Patch");
    py::list handles;
    for (const bool positive : {true, false}) {
        const char* colour = positive ? group_palette::kPositiveIc : group_palette::kNegativeIc;
        ax.attr("vlines")(s.ic_dates, 0.0, as_array(signed_part(s.ic, positive)), "colors"_a = colour,
                          "linewidth"_a = width, "alpha"_a = kIcStickAlpha);
        handles.append(patch("facecolor"_a = colour, "alpha"_a = kIcStickAlpha,
                             "label"_a = positive ? "Rank IC > 0" : "Rank IC < 0"));
    }
    if (s.ic.size() >= s.ic_window) {
        ax.attr("plot")(s.ic_dates, as_array(s.ic_rolling), "color"_a = group_palette::kRollingIc, "linewidth"_a = 1.6,
                        "label"_a = std::to_string(s.ic_window) + "D Mean Rank IC");
    }
    reference_line(ax, 0.0, 0.8);
    ax.attr("set_ylabel")("Rank IC");
    py::object twin = twin_axis_below(ax);
    twin.attr("plot")(s.ic_dates, as_array(s.ic_cumulative), "color"_a = group_palette::kCumulativeIc,
                      "linewidth"_a = 1.9, "label"_a = "Cumulative Rank IC");
    twin.attr("set_ylabel")("Cumulative Rank IC", "fontsize"_a = p.layout.page.text.twin_label_size);
    twin.attr("grid")(false);
    twin.attr("spines")["top"].attr("set_visible")(false);
    align_twin_zero(ax, twin);
    for (const py::handle axis : {py::handle(ax), py::handle(twin)}) {
        py::tuple own = axis.attr("get_legend_handles_labels")();
        for (py::handle h : own[0]) handles.append(h);
    }
    ax.attr("legend")("handles"_a = handles, "loc"_a = "upper left", "frameon"_a = true,
                      "framealpha"_a = kLegendFrameAlpha, "fontsize"_a = p.layout.legend_size,
                      "ncol"_a = p.layout.ic_legend_columns);
    concise_date_axis(ax);
}

void draw_group_summary_table(const GroupPage& p, py::handle ax) {
    const GroupSeries& s = p.groups;
    const IcFigures& ic = s.ic_stats;
    const std::string order = p.setup.ascending ? "smaller factor in higher groups" : "larger factor in higher groups";
    const std::string smoothing =
        p.setup.rolling_window > 1 ? std::to_string(p.setup.rolling_window) + "-day mean" : "none";
    const std::vector<std::vector<std::string>> rows{
        {"Date Range", s.date_range},
        {"Trading Days", std::to_string(s.days)},
        {"Groups", std::to_string(s.groups) + ", " + order},
        {"Factor Smoothing", smoothing},
        {"Benchmark", p.benchmark.name},
        {"Rank IC Days", std::to_string(ic.days)},
        {"Rank IC Mean", format_fixed(ic.mean, 4)},
        {"Rank IC Std", format_fixed(ic.sd, 4)},
        {"Rank IC IR", format_fixed(ic.ir, 3)},
        {"Rank IC t-stat", format_fixed(ic.t_stat, 2)},
        {"Positive Rank IC", format_pct_value(ic.positive_share)},
        {"|Rank IC| > " + format_fixed(kStrongIc, 2), format_pct_value(ic.strong_share)},
    };
    draw_summary_table(ax, rows, p.layout.page.summary);
}

void draw_best_group_yearly_table(const GroupPage& p, py::handle ax) {
    const std::string subject = group_word(p.groups.best);
    draw_yearly_metrics_table(ax, p.benchmark.yearly_metrics, p.layout.page.compact_yearly_table,
                              {subject, "Yearly Metrics: " + subject + " & Excess over " + p.benchmark.name});
}

}  // namespace lumora::core
