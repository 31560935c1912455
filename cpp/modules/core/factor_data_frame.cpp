// A factor request's data in the long layout of the open factor-analysis library (alphalens):
// one row per date and ranked stock, indexed by (date, asset), with the forward returns by
// horizon ("1D", "5D", ...), the factor, the industry as "group" and the group as
// "factor_quantile". The groups are found again by the engine without trading.

#include "core/factor_data_frame.hpp"

#include <pybind11/numpy.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "common/frame_bridge.hpp"
#include "core/group_bindings.hpp"
#include "core/group_run.hpp"
#include "lumora/group_summary.hpp"

namespace lumora::core {

namespace {

// The horizons asked for, as places in kIcHorizons, in the order of kIcHorizons.
std::vector<std::size_t> horizon_places(py::handle horizons) {
    std::array<bool, kHorizonCount> asked{};
    for (py::handle h : horizons) {
        const std::int64_t days = bridge::to_truncated_int(h, "horizons");
        bool known = false;
        for (std::size_t k = 0; k < kHorizonCount; ++k)
            if (kIcHorizons[k] == days) asked[k] = known = true;
        if (!known) throw py::value_error("horizons must be among 1, 5, 10 and 20 days, got " + bridge::repr_of(h));
    }
    std::vector<std::size_t> out;
    for (std::size_t k = 0; k < kHorizonCount; ++k)
        if (asked[k]) out.push_back(k);
    if (out.empty()) throw py::value_error("horizons must name at least one of 1, 5, 10 and 20 days");
    return out;
}

// The rows of the layout, column by column.
struct LongRows {
    std::vector<std::int64_t> date, stock, quantile;
    std::vector<double> factor, industry;
    std::vector<std::vector<double>> returns;  // per horizon asked
};

// Every ranked stock of every date whose forward returns at all the horizons asked are known
// (alphalens' own rule: a row missing any is dropped).
LongRows long_rows(GroupRun& run, const std::vector<std::size_t>& places) {
    const GroupOutputs& out = run.out;
    const std::int64_t rows = out.n_rows, n = run.in.factor.cols();
    const ForwardOpens& opens = run.opens;
    LongRows t;
    t.returns.resize(places.size());
    NextOpenReturns next(opens.open);
    BlockCopier copier;
    std::vector<double> next_open, factor(static_cast<std::size_t>(n)), industry(static_cast<std::size_t>(n));
    std::vector<double> cell(places.size());
    for (std::int64_t r = 0; r < rows; ++r) {
        const std::int16_t* member = &out.members[static_cast<std::size_t>(r * n)];
        if (opens.adjusted_next_open)
            opens.adjusted_next_returns(r, r + 1, n, next_open);
        else
            next.load(r, r + 1, n, next_open);
        copier.copy(run.in.factor, r, r + 1, 0, n, factor.data(), n, 1);
        if (run.industry) copier.copy(run.industry->matrix, r, r + 1, 0, n, industry.data(), n, 1);
        const std::int64_t at = opens.work_row(r);
        for (std::int64_t j = 0; j < n; ++j) {
            if (member[j] < 0) continue;
            bool known = true;
            for (std::size_t p = 0; p < places.size(); ++p) {
                const std::size_t k = places[p];
                const int h = kIcHorizons[k];
                double value = kNaN;
                if (k == 0)
                    value = next_open[static_cast<std::size_t>(j)];
                else if (opens.reaches(r, h))
                    value = opens.work->adjusted_row(at + 1 + h)[j] / opens.work->adjusted_row(at + 1)[j] - 1.0;
                cell[p] = value;
                known = known && std::isfinite(value);
            }
            if (!known) continue;
            t.date.push_back(r);
            t.stock.push_back(j);
            t.quantile.push_back(member[j] + 1);
            t.factor.push_back(factor[static_cast<std::size_t>(j)]);
            if (run.industry) t.industry.push_back(industry[static_cast<std::size_t>(j)]);
            for (std::size_t p = 0; p < places.size(); ++p) t.returns[p].push_back(cell[p]);
        }
    }
    return t;
}

// Positions 0..count-1 renumbered over the ones used, and the used ones in order.
std::vector<std::int64_t> used_positions(std::vector<std::int64_t>& codes, std::int64_t count) {
    std::vector<std::int64_t> renumber(static_cast<std::size_t>(count), -1), used;
    for (const std::int64_t c : codes) renumber[static_cast<std::size_t>(c)] = 0;
    for (std::int64_t c = 0; c < count; ++c)
        if (renumber[static_cast<std::size_t>(c)] == 0) {
            renumber[static_cast<std::size_t>(c)] = static_cast<std::int64_t>(used.size());
            used.push_back(c);
        }
    for (std::int64_t& c : codes) c = renumber[static_cast<std::size_t>(c)];
    return used;
}

// The dates as datetimes with alphalens' trading calendar as their frequency (the weekdays
// traded, every other weekday in their span a holiday), where they conform to it.
py::object calendar_dates(py::handle labels) {
    py::module_ pd = bridge::pandas();
    py::object text = pd.attr("Index")(labels).attr("astype")("str");
    py::object dates = pd.attr("to_datetime")(text, py::arg("format") = "%Y%m%d");
    if (py::len(dates) < 2) return dates;
    static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    py::array_t<std::int64_t> weekday(dates.attr("day_of_week").attr("to_numpy")("int64"));
    bool traded[7] = {};
    for (py::ssize_t k = 0; k < weekday.size(); ++k) traded[weekday.at(k)] = true;
    std::string mask;
    for (int d = 0; d < 7; ++d)
        if (traded[d]) mask += (mask.empty() ? "" : " ") + std::string(kDays[d]);
    py::object business_day = pd.attr("offsets").attr("CustomBusinessDay");
    py::object span = pd.attr("date_range")(dates.attr("min")(), dates.attr("max")(),
                                            py::arg("freq") = business_day(py::arg("weekmask") = mask));
    py::object holidays = span.attr("difference")(dates);
    py::object freq = business_day(py::arg("weekmask") = mask, py::arg("holidays") = holidays.attr("tolist")());
    try {
        return pd.attr("DatetimeIndex")(dates, py::arg("freq") = freq);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        return dates;
    }
}

py::object long_frame(GroupRun& run, const std::vector<std::size_t>& places) {
    LongRows t;
    {
        // No Python inside: reads the engine's outputs, the numpy buffers `run` holds and the
        // market's work, writes only `t`.
        py::gil_scoped_release release;
        t = long_rows(run, places);
    }
    const std::vector<std::int64_t> dates_used = used_positions(t.date, run.out.n_rows);
    const std::vector<std::int64_t> stocks_used = used_positions(t.stock, run.in.factor.cols());
    py::module_ pd = bridge::pandas();
    py::object date_level = calendar_dates(run.dates.attr("take")(bridge::index_array(dates_used)));
    py::object stock_level = run.stocks.attr("take")(bridge::index_array(stocks_used));
    py::list levels, codes, names;
    levels.append(date_level);
    levels.append(stock_level);
    codes.append(bridge::owned_array(std::move(t.date)));
    codes.append(bridge::owned_array(std::move(t.stock)));
    names.append("date");
    names.append("asset");
    py::object index = pd.attr("MultiIndex")(py::arg("levels") = levels, py::arg("codes") = codes,
                                             py::arg("names") = names, py::arg("verify_integrity") = false);
    py::dict columns;
    for (std::size_t p = 0; p < places.size(); ++p)
        columns[py::str(std::to_string(kIcHorizons[places[p]]) + "D")] = bridge::owned_array(std::move(t.returns[p]));
    columns["factor"] = bridge::owned_array(std::move(t.factor));
    if (run.industry) columns["group"] = bridge::owned_array(std::move(t.industry));
    columns["factor_quantile"] = bridge::owned_array(std::move(t.quantile));
    return pd.attr("DataFrame")(columns, py::arg("index") = index, py::arg("copy") = false);
}

}  // namespace

void register_factor_data(py::module_& m) {
    m.def(
        "group_factor_data",
        [](py::object factor_matrix, py::object industry_matrix, py::object close_price_valid, py::object can_buy_stock,
           py::object cant_sell_stock, py::object split_factor, py::object dividend_factor, py::object close_price,
           py::object prev_close, py::object buy_price, py::object sell_price, py::object forward_return_rank_cache,
           py::object open_price, py::object rolling_window, py::object ascending, py::object group_num,
           py::object market_work, bool adjusted_ic, py::object horizons) {
            for (const auto& [table, name] :
                 {std::pair{&factor_matrix, "factor_matrix"}, std::pair{&close_price_valid, "close_price_valid"}})
                bridge::require_table(*table, name);
            if (open_price.is_none())
                throw py::value_error("the factor data's forward returns need the open prices (open_price), got None");
            bridge::require_table(open_price, "open_price");
            if (!industry_matrix.is_none()) bridge::require_table(industry_matrix, "industry_matrix");
            const std::vector<std::size_t> places = horizon_places(horizons);
            // By name, so that no value slips into a neighbour's place: this run neither trades
            // nor draws, and its cost, benchmark and chart settings go unread.
            const GroupRequest given{.factor_matrix = factor_matrix,
                                     .industry_matrix = industry_matrix,
                                     .close_price_valid = close_price_valid,
                                     .can_buy_stock = can_buy_stock,
                                     .cant_sell_stock = cant_sell_stock,
                                     .split_factor = split_factor,
                                     .dividend_factor = dividend_factor,
                                     .close_price = close_price,
                                     .prev_close = prev_close,
                                     .buy_price = buy_price,
                                     .sell_price = sell_price,
                                     .benchmark_dict = py::none(),
                                     .forward_return_rank_cache = forward_return_rank_cache,
                                     .open_price = open_price,
                                     .benchmark_names = py::none(),
                                     .rolling_window = rolling_window,
                                     .ascending = ascending,
                                     .group_num = group_num,
                                     .total_money = py::float_(1e8),
                                     .fee = py::float_(0.0),
                                     .rule_fee = py::float_(0.0),
                                     .plot_image_kind = py::none(),
                                     .plot_save_path = py::none(),
                                     .factor_name = py::str("factor"),
                                     .plot_title = py::none(),
                                     .lot_size = py::int_(200),
                                     .analysis = false,
                                     .market_work = market_work,
                                     .adjusted_ic = adjusted_ic,
                                     .forward_returns = true};
            const GroupRequest rq = normalised_request(given);
            GroupInputs in;
            in.group_num = static_cast<int>(bridge::to_truncated_int(group_num, "group_num", 1, 65535));
            in.ascending = py::bool_(ascending);
            in.trade = false;
            in.keep_members = true;
            const std::int64_t window = bridge::to_truncated_int(rolling_window, "rolling_window", 0);
            GroupRun run;
            // The industry is the layout's "group" column, read as the analysis reads it.
            run_group(rq, in, window, run);
            if (!rq.industry_matrix.is_none())
                run.industry = std::make_unique<bridge::AlignedTable>(
                    bridge::aligned_table(rq.industry_matrix, run.dates, run.stocks, "industry_matrix"));
            const RankIcSeries ic = rank_ic_series(run.out);
            py::object rank_ic =
                bridge::series(bridge::vector_array(ic.values), run.dates.attr("take")(bridge::index_array(ic.rows)),
                               py::str("rank_ic"));
            return py::make_tuple(long_frame(run, places), rank_ic);
        },
        py::kw_only(), py::arg("factor_matrix"), py::arg("industry_matrix") = py::none(), py::arg("close_price_valid"),
        py::arg("can_buy_stock"), py::arg("cant_sell_stock"), py::arg("split_factor"), py::arg("dividend_factor"),
        py::arg("close_price"), py::arg("prev_close"), py::arg("buy_price"), py::arg("sell_price"),
        py::arg("forward_return_rank_cache") = py::none(), py::arg("open_price"), py::arg("rolling_window") = 0,
        py::arg("ascending") = false, py::arg("group_num") = 20, py::arg("market_work") = py::none(),
        py::arg("adjusted_ic") = false, py::arg("horizons") = py::make_tuple(1, 5, 10, 20),
        "A factor request's (date, asset) rows in the open factor-analysis library's layout: forward returns\n"
        "by horizon ('1D', '5D', ...), factor, group (the industry) and factor_quantile (the group, 1-based),\n"
        "rows missing any horizon asked dropped; with the request's Rank IC series, found on the way.");
}

}  // namespace lumora::core
