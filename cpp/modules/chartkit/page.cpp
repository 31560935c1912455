#include "chartkit/page.hpp"

#include <vector>

#include "chartkit/axes.hpp"

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

void draw_summary_table(py::handle ax, const std::vector<std::vector<std::string>>& rows,
                        const SummaryTableStyle& style, std::vector<int> row_lines) {
    ax.attr("axis")("off");
    const int lines = static_cast<int>(rows.size()) + 1;  // header and one line per row
    draw_table(ax, TableSpec{
                       .rows = rows,
                       .headers = {"Metric", "Value"},
                       .col_widths = {style.col_widths[0], style.col_widths[1]},
                       .cell_align = "left",
                       .font_size = style.font_size,
                       .row_scale = style.row_scale,
                       .body_text_colour = nullptr,
                       .row_lines = std::move(row_lines),
                       .standard_lines = lines,
                   });
}

}  // namespace lumora::chartkit
