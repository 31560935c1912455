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
    .headers = {"Year", "Ret", "Sharpe", "MaxDD", "Calmar", "ExRet", "ExSh", "ExDD", "ExCal"},
    .subject_headers = false,
    .col_widths = {0.09, 0.11, 0.11, 0.12, 0.11, 0.12, 0.11, 0.11, 0.12},
    .font_size = 7.8,
    .row_scale = 1.22,
    .title_size = 10.2,
    .title_pad = 4,
};

constexpr YearlyTableStyle kFullYearlyTable{
    .headers = {"Year", "Return", "Sharpe", "Max DD", "Calmar", "Excess Return", "Excess Sharpe", "Excess Max DD",
                "Excess Calmar"},
    .subject_headers = true,
    .col_widths = {0.08, 0.115, 0.115, 0.115, 0.115, 0.115, 0.115, 0.115, 0.115},
    .font_size = 8.4,
    .row_scale = 1.24,
    .title_size = 11.5,
    .title_pad = 8,
};

enum class CellFormat { Percent, Number };

struct MetricColumn {
    const char* name;
    CellFormat format;
};

// Table columns 1-8 after the year; the first four describe the subject (the strategy or
// a group), the rest its excess return over the benchmark.
constexpr std::array<MetricColumn, 8> kMetricColumns{{
    {"strategy_return", CellFormat::Percent},
    {"strategy_sharpe", CellFormat::Number},
    {"strategy_max_dd", CellFormat::Percent},
    {"strategy_calmar", CellFormat::Number},
    {"excess_return", CellFormat::Percent},
    {"excess_sharpe", CellFormat::Number},
    {"excess_max_dd", CellFormat::Percent},
    {"excess_calmar", CellFormat::Number},
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

std::vector<std::string> table_headers(const YearlyTableStyle& style, const YearlyTableSubject& subject) {
    std::vector<std::string> headers(style.headers.begin(), style.headers.end());
    if (style.subject_headers) {
        for (std::size_t c = 1; c <= 4; ++c) headers[c] = subject.name + " " + headers[c];
    }
    return headers;
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
        .col_widths = std::vector<double>(style.col_widths.begin(), style.col_widths.end()),
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
