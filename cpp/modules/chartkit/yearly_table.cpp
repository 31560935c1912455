#include "chartkit/yearly_table.hpp"

#include <array>
#include <string>
#include <vector>

#include "chartkit/axes.hpp"
#include "chartkit/format.hpp"
#include "chartkit/frames.hpp"
#include "chartkit/layout.hpp"

namespace lumora::chartkit {

using namespace pybind11::literals;

namespace {

constexpr YearlyTableStyle kCompactYearlyTable{
    .compact = true, .year_width = 0.09, .font_size = 7.8, .row_scale = 1.22, .title_size = 10.2, .title_pad = 4};
constexpr YearlyTableStyle kFullYearlyTable{
    .compact = false, .year_width = 0.08, .font_size = 8.4, .row_scale = 1.24, .title_size = 11.5, .title_pad = 8};

enum class CellFormat { Percent, Number };

// A table column after the year: the yearly_metrics column it shows, how its cells are
// written, and its header and width in the compact and in the full table.
struct MetricColumn {
    const char* name;
    CellFormat format;
    const char* compact_header;
    double compact_width;
    const char* full_header;
    double full_width;
};

// Table columns 1-8 after the year; the first four describe the subject (the strategy or
// a group), the rest its excess return over the benchmark.
constexpr std::array<MetricColumn, 8> kMetricColumns{{
    {"strategy_return", CellFormat::Percent, "Ret", 0.11, "Return", 0.115},
    {"strategy_sharpe", CellFormat::Number, "Sharpe", 0.11, "Sharpe", 0.115},
    {"strategy_max_dd", CellFormat::Percent, "MaxDD", 0.12, "Max DD", 0.115},
    {"strategy_calmar", CellFormat::Number, "Calmar", 0.11, "Calmar", 0.115},
    {"excess_return", CellFormat::Percent, "ExRet", 0.12, "Excess Return", 0.115},
    {"excess_sharpe", CellFormat::Number, "ExSh", 0.11, "Excess Sharpe", 0.115},
    {"excess_max_dd", CellFormat::Percent, "ExDD", 0.11, "Excess Max DD", 0.115},
    {"excess_calmar", CellFormat::Number, "ExCal", 0.12, "Excess Calmar", 0.115},
}};

const char* metric_text_colour(int column) {
    if (column >= 1 && column <= 4) return palette::kTableStrategyText;
    if (column >= 5 && column <= 8) return palette::kTableExcessText;
    return nullptr;
}

std::vector<std::vector<std::string>> metric_rows(py::handle yearly_metrics) {
    std::vector<std::vector<double>> columns;
    for (const MetricColumn& column : kMetricColumns) columns.push_back(float_column(yearly_metrics, column.name));
    py::list years = yearly_metrics.attr("index").attr("tolist")();
    std::vector<std::vector<std::string>> rows;
    for (std::size_t r = 0; r < years.size(); ++r) {
        // int() of the label: 2021.0 shows as 2021, a label that is no number raises.
        std::vector<std::string> row{std::string(py::str(py::int_(years[r])))};
        for (std::size_t c = 0; c < kMetricColumns.size(); ++c) {
            const double v = columns[c][r];
            row.push_back(kMetricColumns[c].format == CellFormat::Percent ? format_pct_value(v) : format_fixed(v, 2));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

// The full table names the subject in the headers of the columns that describe it.
std::vector<std::string> table_headers(const YearlyTableStyle& style, const YearlyTableSubject& subject) {
    std::vector<std::string> headers{"Year"};
    for (std::size_t c = 0; c < kMetricColumns.size(); ++c) {
        const MetricColumn& column = kMetricColumns[c];
        if (style.compact)
            headers.emplace_back(column.compact_header);
        else
            headers.push_back(c < 4 ? subject.name + " " + column.full_header : column.full_header);
    }
    return headers;
}

std::vector<double> column_widths(const YearlyTableStyle& style) {
    std::vector<double> widths{style.year_width};
    for (const MetricColumn& column : kMetricColumns)
        widths.push_back(style.compact ? column.compact_width : column.full_width);
    return widths;
}

}  // namespace

const YearlyTableStyle& yearly_table_style(bool compact) { return compact ? kCompactYearlyTable : kFullYearlyTable; }

YearlyTableSubject strategy_table_subject() { return {"Strategy", "Yearly Strategy & Excess Metrics"}; }

void draw_yearly_metrics_table(py::handle ax, py::handle yearly_metrics, bool compact,
                               const YearlyTableSubject& subject) {
    ax.attr("axis")("off");
    if (py::len(yearly_metrics) == 0) {
        centred_note(ax, "No yearly metric data");
        return;
    }
    const YearlyTableStyle& style = yearly_table_style(compact);
    TableSpec spec{
        .rows = metric_rows(yearly_metrics),
        .headers = table_headers(style, subject),
        .col_widths = column_widths(style),
        .cell_align = "center",
        .font_size = style.font_size,
        .row_scale = style.row_scale,
        .body_text_colour = metric_text_colour,
        .row_lines = {},
        .standard_lines = 0,
    };
    draw_table(ax, spec);
    ax.attr("set_title")(subject.title, "fontsize"_a = style.title_size, "color"_a = palette::kInk,
                         "pad"_a = style.title_pad);
}

}  // namespace lumora::chartkit
