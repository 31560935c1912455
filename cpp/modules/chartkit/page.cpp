#include "chartkit/page.hpp"

#include <vector>

#include "chartkit/axes.hpp"
#include "chartkit/heatmap.hpp"

namespace lumora::chartkit {

void draw_panel_page(const Pyplot& mpl, const PageFrame& frame, const std::string& title,
                     std::span<const PagePanel> panels, const std::string& path) {
    const Page page = create_page(mpl, frame);
    const FigureCloser closer(mpl.plt, page.figure);
    figure_title(page, title, frame);
    std::vector<py::object> axes;
    axes.reserve(panels.size());
    for (const PagePanel& panel : panels) axes.push_back(add_panel(page, panel.cells));
    for (std::size_t i = 0; i < panels.size(); ++i) panels[i].draw(axes[i]);
    for (std::size_t i = 0; i < panels.size(); ++i)
        if (panels[i].plot) finish_plot_panel(axes[i]);
    save_figure(page.figure, path, frame.dpi);
}

namespace {

// A table in the house style with the default text colours, alone in a panel whose axes
// are hidden.
void panel_table(py::handle ax, const std::vector<std::vector<std::string>>& rows, std::vector<std::string> headers,
                 std::vector<double> col_widths, const char* cell_align, double font_size, double row_scale,
                 std::vector<int> row_lines, int standard_lines) {
    ax.attr("axis")("off");
    draw_table(ax, TableSpec{.rows = rows,
                             .headers = std::move(headers),
                             .col_widths = std::move(col_widths),
                             .cell_align = cell_align,
                             .font_size = font_size,
                             .row_scale = row_scale,
                             .body_text_colour = nullptr,
                             .row_lines = std::move(row_lines),
                             .standard_lines = standard_lines});
}

}  // namespace

void draw_summary_table(py::handle ax, const std::vector<std::vector<std::string>>& rows,
                        const SummaryTableStyle& style, std::vector<int> row_lines) {
    const int lines = static_cast<int>(rows.size()) + 1;  // header and one line per row
    panel_table(ax, rows, {"Metric", "Value"}, {style.col_widths[0], style.col_widths[1]}, "left", style.font_size,
                style.row_scale, std::move(row_lines), lines);
}

void panel_title(py::handle ax, const std::string& text) {
    ax.attr("set_title")(text, py::arg("fontsize") = kWidePanelText.panel_title_size);
}

double summary_figure(const py::dict& summary, const char* key) { return py::float_(summary[key]); }

void draw_monthly_heatmap(py::handle ax, const std::string& title, std::vector<double> values,
                          const std::vector<std::string>& years, std::span<const char* const> months, bool percent,
                          int digits) {
    panel_title(ax, title);
    draw_heatmap(ax, {std::move(values), years, std::vector<std::string>(months.begin(), months.end()), percent, digits,
                      years.size() > 8 ? 6.5 : 7.6});
}

void draw_figures_table(py::handle ax, const std::string& title, const std::vector<std::vector<std::string>>& rows,
                        std::vector<std::string> headers, std::vector<double> col_widths, double font_size,
                        double row_scale, int standard_lines) {
    panel_table(ax, rows, std::move(headers), std::move(col_widths), "center", font_size, row_scale, {},
                standard_lines);
    panel_title(ax, title);
}

}  // namespace lumora::chartkit
