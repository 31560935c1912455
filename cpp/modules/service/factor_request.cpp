// The public factor group backtest: checks the request, cuts the loaded data to the
// window, restricts it to the stock universe and hands everything to the group core of
// _core; the core's result is then copied into a BacktestResult.

#include <cstdint>
#include <string>
#include <utility>

#include "common/frame_bridge.hpp"
#include "service/service_module.hpp"

namespace lumora::service {

namespace {

// The market tables the core needs, by its keyword and the dataset key; a missing one
// is a key error.
constexpr std::pair<const char*, const char*> kRequiredInputs[] = {
    {"close_price_valid", "close_price_valid"},
    {"can_buy_stock", "can_buy_stock"},
    {"cant_sell_stock", "cant_sell_stock"},
    {"split_factor", "rq_get_split"},
    {"dividend_factor", "rq_get_dividend"},
    {"close_price", "close_price"},
    {"prev_close", "prev_close"},
    {"buy_price", "buy_price"},
    {"sell_price", "sell_price"},
    {"benchmark_dict", "benchmark_dict"},
};

// Tables the core can do without: absent ones reach it as None.
constexpr const char* kOptionalInputs[] = {"forward_return_rank_cache", "open_price"};

constexpr std::int64_t kMinGroups = 2;
constexpr std::int64_t kMaxGroups = 100;

void require_str(py::handle value, const char* argument) {
    if (!PyUnicode_Check(value.ptr()))
        throw py::type_error(std::string(argument) + " must be a str, got " + bridge::type_name(value));
}

py::dict primary_chart_paths(py::handle plot_paths) {
    py::dict out;
    if (!truthy(plot_paths)) return out;
    const py::str primary("primary");
    const py::str none_drawn("");
    for (py::handle pair : plot_paths.attr("items")()) {
        const auto [name, paths] = bridge::key_value(pair, "plot_paths");
        out[name] = paths.attr("get")(primary, none_drawn);
    }
    return out;
}

// The best group's number; -1 when the core found none (NaN, None).
py::object best_group_number(py::handle best_group) {
    if (!truthy(service_attr("pd").attr("notna")(best_group))) return py::int_(-1);
    PyObject* number = PyNumber_Long(best_group.ptr());  // int(): floats are truncated
    if (number == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(number);
}

}  // namespace

namespace {

// A factor request checked, cut to its window and universe, as the keywords of the group
// core (the chart's besides).
struct FactorCall {
    py::dict kwargs;
    RequestWindow window;
    std::int64_t groups = 0;
    bool ascending = false, adjusted_ic = false;
    RequestCosts costs;
    py::str name;
};

// The loaded market's kept work of the factor analysis (built now if none fits its tables),
// or None for data that keeps none.
py::object kept_market_work(py::handle data, const py::dict& loaded) {
    py::object keeper = py::getattr(data, "_market_work", py::none());
    return keeper.is_none() ? keeper : keeper.attr("get")(loaded);
}

FactorCall factor_call(py::handle factor, py::handle data, py::handle start_date, py::handle end_date,
                       py::handle output_dir, py::handle plot_filename, py::handle group_num, py::handle benchmark,
                       py::handle universe, py::handle rolling_window, py::handle ascending, py::handle total_money,
                       py::handle fee, py::handle rule_fee, py::handle plot, py::handle lot_size,
                       py::handle adjusted_ic) {
    require_plain_str(plot_filename, "plot_filename");
    // Without a chart (None) the numbers are computed and nothing is drawn.
    if (!plot.is_none()) require_str(plot, "plot");
    FactorCall c;
    c.groups = bridge::to_truncated_int(group_num, "group_num");
    c.costs = checked_request_costs(rolling_window, total_money, fee, rule_fee, lot_size);
    c.ascending = truthy(ascending);
    c.adjusted_ic = truthy(adjusted_ic);

    if (factor.is_none() || py::len(factor) == 0) throw py::value_error("因子宽表为空");
    if (c.groups < kMinGroups || c.groups > kMaxGroups) throw py::value_error("group_num 取值范围 [2, 100]");
    c.window =
        open_request_window(factor, "factor", data, benchmark, plot, output_dir, plot_filename, start_date, end_date);
    RequestWindow& w = c.window;
    // The request's own cut: the universe filter replaces a table in it, never in `data`.
    apply_universe_filter(py::none(), w.matrices, universe, w.start, w.end);
    warn_empty_window(w.loaded, w.matrices, w.start, w.end);
    // Named from the user's own table, whatever the cleaning keeps of its labels.
    c.name = factor_name(factor);

    py::dict& kwargs = c.kwargs;
    kwargs["factor_matrix"] = cut_rows(w.table, w.start.cast<std::string>(), w.end.cast<std::string>());
    kwargs["industry_matrix"] = w.matrices.attr("get")("industry_matrix");
    for (const auto& [keyword, dataset] : kRequiredInputs) kwargs[keyword] = w.matrices[py::str(dataset)];
    for (const char* dataset : kOptionalInputs) kwargs[dataset] = w.matrices.attr("get")(dataset);
    kwargs["benchmark_names"] = w.benchmarks;
    kwargs["rolling_window"] = c.costs.rolling_window;
    kwargs["ascending"] = c.ascending;
    kwargs["group_num"] = c.groups;
    put_trading_costs(kwargs, c.costs);
    return c;
}

// The keywords that close a call of the group core: the loaded market's kept work and the
// Rank IC's opens.
void put_analysis_inputs(FactorCall& c, py::handle data) {
    c.kwargs["market_work"] = kept_market_work(data, c.window.loaded);
    c.kwargs["adjusted_ic"] = c.adjusted_ic;
}

}  // namespace

py::object backtest(py::handle /*self*/, py::handle factor, py::handle data, py::handle start_date, py::handle end_date,
                    py::handle output_dir, py::handle plot_filename, py::handle group_num, py::handle benchmark,
                    py::handle universe, py::handle rolling_window, py::handle ascending, py::handle total_money,
                    py::handle fee, py::handle rule_fee, py::handle plot, py::handle lot_size, py::handle adjusted_ic) {
    FactorCall c =
        factor_call(factor, data, start_date, end_date, output_dir, plot_filename, group_num, benchmark, universe,
                    rolling_window, ascending, total_money, fee, rule_fee, plot, lot_size, adjusted_ic);
    const RequestWindow& w = c.window;
    // Several benchmarks give a page each, "<plot_filename>_<code>.png" (codes have six digits).
    const bool one_page = (bridge::is_str(w.benchmarks) && std::string(py::str(w.benchmarks)) != "all") ||
                          (PyList_Check(w.benchmarks.ptr()) && py::len(w.benchmarks) == 1);
    py::dict& kwargs = c.kwargs;
    kwargs["plot_image_kind"] = plot;
    kwargs["plot_save_path"] = chart_path(plot, output_dir, plot_filename, one_page ? ".png" : "_<code>.png");
    kwargs["factor_name"] = c.name;
    kwargs["plot_title"] = plot_filename;
    put_analysis_inputs(c, data);
    // Looked up per call, so a replaced core (another build, a test double) is honoured.
    py::object run = service_attr("core").attr("run_alpha_vwap_backtest_core");
    py::object core_result = run(**kwargs);
    py::object result = to_public_result(core_result, c.name);
    // The request as run, for the report: the window as normalised, the rest as checked.
    py::dict parameters;
    parameters["start_date"] = w.start;
    parameters["end_date"] = w.end;
    parameters["group_num"] = c.groups;
    parameters["ascending"] = c.ascending;
    parameters["benchmark"] = w.benchmarks;
    parameters["universe"] = universe;
    parameters["rolling_window"] = c.costs.rolling_window;
    put_trading_costs(parameters, c.costs);
    parameters["adjusted_ic"] = c.adjusted_ic;
    result.attr("parameters") = parameters;
    // The request's own name titles its pages and report (the table's axis name may be "ukey").
    result.attr("name") = plot_filename;
    // The request's tables, held weakly for its factor data: a result keeps neither alive.
    py::object weak = py::module_::import("weakref").attr("ref");
    result.attr("_source") = py::make_tuple(weak(factor), weak(data));
    return result;
}

py::object factor_data(py::handle /*self*/, py::handle result, py::handle factor, py::handle data,
                       py::handle horizons) {
    py::dict p = py::reinterpret_borrow<py::dict>(py::object(result.attr("parameters")));
    auto given = [&](const char* key, py::object fallback) -> py::object {
        return p.contains(key) ? py::object(p[key]) : fallback;
    };
    if (!p.contains("start_date") || !p.contains("end_date"))
        throw py::value_error("the result carries no request parameters (it was not made by a factor request)");
    FactorCall c = factor_call(factor, data, p["start_date"], p["end_date"], py::none(), py::str("factor_data"),
                               given("group_num", py::int_(20)), given("benchmark", py::none()),
                               given("universe", py::none()), given("rolling_window", py::int_(0)),
                               given("ascending", py::bool_(false)), given("total_money", py::float_(1e8)),
                               given("fee", py::float_(0.0001)), given("rule_fee", py::float_(0.0005)), py::none(),
                               given("lot_size", py::int_(200)), given("adjusted_ic", py::bool_(false)));
    // Only the groups are found again: no trading, no benchmarks.
    for (const char* unused : {"benchmark_dict", "benchmark_names", "total_money", "fee", "rule_fee", "lot_size"})
        c.kwargs.attr("pop")(unused);
    put_analysis_inputs(c, data);
    c.kwargs["horizons"] = horizons;
    py::tuple out = service_attr("core").attr("group_factor_data")(**c.kwargs);
    // The groups found again must be the result's: the same Rank IC on every date.
    py::object rank_ic = result.attr("rank_ic");
    if (!truthy(out[1].attr("equals")(rank_ic)))
        throw py::value_error(
            "the factor or the market tables differ from those the result was computed on (its Rank IC does not "
            "come out the same): pass the request's own factor table, or run the backtest again");
    return out[0];
}

py::object to_public_result(py::handle core_result, py::handle factor_name) {
    require_str(factor_name, "factor_name");
    py::dict plot_paths = primary_chart_paths(core_result.attr("plot_paths"));
    py::object best_group = best_group_number(core_result.attr("best_group"));
    // Each field is read in the record's order (C++ leaves argument evaluation unordered).
    py::object daily = core_result.attr("group_daily_return");
    py::object cumulative = core_result.attr("group_cumulative_return");
    py::object rank_ic = core_result.attr("rank_ic");
    py::object summary = core_result.attr("benchmark_summary")();
    // A core without the analysis (an older build, a test double) gives a result without one.
    py::object analysis = py::getattr(core_result, "analysis", py::none());
    return service_attr("BacktestResult")(
        py::arg("factor_name") = factor_name, py::arg("best_group") = best_group, py::arg("group_daily_return") = daily,
        py::arg("group_cumulative_return") = cumulative, py::arg("rank_ic") = rank_ic,
        py::arg("benchmark_summary") = summary, py::arg("plot_paths") = plot_paths, py::arg("analysis") = analysis);
}

}  // namespace lumora::service
