#include "core/group_charts.hpp"

#include <vector>

#include "chartkit/arguments.hpp"
#include "chartkit/layout.hpp"
#include "chartkit/page.hpp"
#include "chartkit/style.hpp"
#include "common/frame_bridge.hpp"
#include "core/group_charts_data.hpp"
#include "core/group_charts_layout.hpp"
#include "core/group_charts_panels.hpp"

namespace lumora::core {

using namespace pybind11::literals;
using namespace chartkit;

namespace {

void draw_page(const GroupChartRequest& request, const GroupSetup& setup, const GroupSeries& groups,
               const BenchmarkSeries& benchmark, const std::string& path) {
    const Pyplot mpl = drawing_preamble();
    const GroupPageLayout& layout = group_page_layout(is_tall_page(request.image_kind));
    const GroupPage p{mpl, layout, setup, groups, benchmark, group_colours(groups.groups)};
    draw_card_page(mpl, layout.page, p,
                   {.cards = draw_group_cards,
                    .cumulative = draw_group_cumulative,
                    .plots = {draw_group_annual_returns, draw_long_short, draw_best_group_excess, draw_rank_ic},
                    .summary_table = draw_group_summary_table,
                    .yearly_table = draw_best_group_yearly_table},
                   request.title + " | Benchmark " + benchmark.name + " | Factor Group Backtest", path);
}

}  // namespace

GroupChartRequest group_chart_request(const GroupRequest& rq) {
    GroupChartRequest out;
    if (!rq.plot_image_kind.is_none() && !bridge::is_str(rq.plot_image_kind)) {
        kind_error("plot_image_kind", "str or None", rq.plot_image_kind);
    }
    const bool has_path = !rq.plot_save_path.is_none();
    if (has_path) out.save_path = path_text(rq.plot_save_path, "plot_save_path", "str, os.PathLike or None");
    if (!rq.plot_title.is_none() && !bridge::is_str(rq.plot_title))
        kind_error("plot_title", "str or None", rq.plot_title);
    out.wanted = !rq.plot_image_kind.is_none() && has_path;
    if (!out.wanted) return out;
    out.image_kind = py::str(rq.plot_image_kind);
    if (!rq.plot_title.is_none()) out.title = py::str(rq.plot_title);
    if (out.title.empty()) {
        if (!bridge::is_str(rq.factor_name)) kind_error("factor_name", "str", rq.factor_name);
        out.title = py::str(rq.factor_name);
    }
    out.ascending = py::bool_(rq.ascending);
    out.rolling_window = bridge::to_truncated_int(rq.rolling_window, "rolling_window");
    return out;
}

std::string group_chart_path(const std::string& save_path, const std::string& benchmark, bool several) {
    if (!several) return save_path;
    py::object path = py::module_::import("pathlib").attr("Path")(save_path);
    const std::string stem = py::str(path.attr("stem"));
    const std::string suffix = py::str(path.attr("suffix"));
    return py::str(path.attr("with_name")(stem + "_" + benchmark + suffix));
}

py::dict draw_group_charts(const GroupChartRequest& request, const GroupResult& result, py::handle benchmark_dict,
                           const py::list& summary_rows) {
    py::dict paths;
    const std::size_t pages = py::len(result.benchmarks);
    if (!request.wanted || pages == 0 || py::len(summary_rows) != pages) return paths;

    // Frame work first, outside the lock: only the drawing itself is serialised.
    const GroupSeries groups = group_series(result);
    std::vector<BenchmarkSeries> benchmarks;
    for (std::size_t i = 0; i < pages; ++i) {
        py::handle name = result.benchmarks[i];
        benchmarks.push_back(
            benchmark_series(groups, name, benchmark_dict[name], py::reinterpret_borrow<py::dict>(summary_rows[i])));
    }
    const GroupSetup setup{request.ascending, request.rolling_window};
    for (std::size_t i = 0; i < pages; ++i) {
        const std::string path = group_chart_path(request.save_path, benchmarks[i].name, pages > 1);
        {
            const PlotLockHold hold;
            draw_page(request, setup, groups, benchmarks[i], path);
        }
        paths[result.benchmarks[i]] = py::dict("primary"_a = path);
    }
    return paths;
}

}  // namespace lumora::core
