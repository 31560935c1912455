// The tables of a group request aligned to its factor, its forward returns and the window of
// the market's work it reads, and the engine run on them.

#include "core/group_run.hpp"

#include <optional>
#include <string>
#include <utility>

#include "common/label_bridge.hpp"
#include "core/market_work_bindings.hpp"
#include "lumora/group_summary.hpp"

namespace lumora::core {

namespace {

// Where the request's window of opens starts in the kept work's calendar: the window must be
// a run of the calendar's dates in order, and its stocks the work's. None where it is not
// (a table cut some other way, another market): the request then builds its own.
std::optional<std::int64_t> kept_window(const MarketWorkHandle& kept, py::handle open_dates, py::handle stocks) {
    if (!(kept.stocks.is(stocks) || bridge::truthy(kept.stocks.attr("equals")(stocks)))) return std::nullopt;
    const std::vector<std::int64_t> at = bridge::positions(kept.calendar, open_dates);
    if (at.empty()) return 0;
    for (std::size_t i = 0; i < at.size(); ++i)
        if (at[i] < 0 || at[i] != at[0] + static_cast<std::int64_t>(i)) return std::nullopt;
    return at[0];
}

const MarketWorkHandle* kept_handle(py::handle market_work) {
    if (market_work.is_none()) return nullptr;
    if (!py::isinstance<MarketWorkHandle>(market_work))
        bridge::raise_type_error("market_work must be the MarketWork a loaded market keeps, or None, got " +
                                 bridge::type_name(market_work));
    return &market_work.cast<const MarketWorkHandle&>();
}

// The window's opens and the work the request reads: the kept one where it fits, else (when
// `needed`) one built from the window's own tables, its calendar the open table's dates.
void set_up_work(const GroupRequest& rq, bool needed, bool rank_next_open, GroupRun& run) {
    py::object open_dates = rq.open_price.attr("index");
    run.window_open = std::make_unique<bridge::AlignedTable>(
        bridge::aligned_table(rq.open_price, run.dates, run.stocks, "open_price"));
    run.opens.open = run.window_open->matrix;
    run.opens.span = static_cast<std::int64_t>(py::len(open_dates));
    run.opens.adjusted_next_open = rq.adjusted_ic;
    if (const MarketWorkHandle* kept = kept_handle(rq.market_work)) {
        if (const std::optional<std::int64_t> offset = kept_window(*kept, open_dates, run.stocks)) {
            run.kept_work = rq.market_work;
            run.work = kept->work;
            run.opens.offset = *offset;
        }
    }
    if (!run.work && !needed) return;
    if (!run.work) {
        bridge::AlignedTable own = bridge::aligned_table(rq.open_price, open_dates, run.stocks, "open_price");
        bridge::AlignedTable close = bridge::aligned_table(rq.close_price, open_dates, run.stocks, "close_price");
        bridge::AlignedTable split = bridge::aligned_table(rq.split_factor, open_dates, run.stocks, "split_factor");
        bridge::AlignedTable dividend =
            bridge::aligned_table(rq.dividend_factor, open_dates, run.stocks, "dividend_factor");
        MarketWork work;
        {
            // No Python inside, nor in the worker threads it starts: reads numpy buffers held by the
            // aligned tables, writes only `work`.
            py::gil_scoped_release release;
            work = build_market_work(own.matrix, close.matrix, split.matrix, dividend.matrix, rank_next_open);
        }
        run.work = std::make_shared<const MarketWork>(std::move(work));
    }
    run.opens.work = run.work.get();
    run.in.opens = &run.opens;
}

}  // namespace

void run_group(const GroupRequest& rq, const GroupInputs& settings, std::int64_t window, GroupRun& run) {
    run.in = settings;
    // Dates and stocks in ascending order whatever the tables' own order, so equal data gives
    // equal results to the last bit (the tables' labels are normalised by the bindings).
    run.dates = bridge::ascending(rq.close_price_valid.attr("index"));
    run.stocks = bridge::ascending(rq.close_price_valid.attr("columns"));
    // The factor is read in place through its label positions, unless it is smoothed.
    run.factor = bridge::aligned_table(rq.factor_matrix, run.dates, run.stocks, "factor_matrix");
    if (window > 1) {
        std::vector<std::int64_t> kept;
        {
            // No Python inside: reads the factor's numpy buffer (held by run.factor) into native vectors.
            py::gil_scoped_release release;
            run.smoothed = smoothed_factor(run.factor.matrix, window, kept);
        }
        run.dates = run.dates.attr("take")(bridge::index_array(kept));
        const auto n_stocks = run.factor.matrix.cols();
        run.factor.matrix.view =
            MatrixView::dense(run.smoothed.data(), static_cast<std::int64_t>(kept.size()), n_stocks);
        run.factor.matrix.row_pos = bridge::all_positions(static_cast<std::int64_t>(kept.size()));
        run.factor.matrix.col_pos = bridge::all_positions(n_stocks);
    }
    run.in.factor = run.factor.matrix;
    run.valid =
        bridge::aligned_table(rq.close_price_valid, run.dates, run.stocks, "close_price_valid", bridge::Cells::Flags);
    run.in.valid = run.valid.matrix;
    run.market = bridge::align_market({rq.can_buy_stock, rq.cant_sell_stock, rq.split_factor, rq.dividend_factor,
                                       rq.close_price, rq.prev_close, rq.buy_price, rq.sell_price},
                                      run.dates, run.stocks);
    run.in.market = &run.market.arrays;

    const bool has_opens = !rq.open_price.is_none(), has_rank_table = !rq.forward_return_rank_cache.is_none();
    if (rq.adjusted_ic && !has_opens)
        throw py::value_error("adjusted_ic=True needs the open prices (open_price), got None");
    // The work: wherever the analysis reads forward returns or the Rank IC takes adjusted
    // opens; the kept one is read whenever it fits, for the Rank IC's horizon-1 ranks too.
    const bool needs_work = has_opens && (rq.analysis || rq.adjusted_ic || rq.forward_returns);
    if (has_opens && (needs_work || kept_handle(rq.market_work) != nullptr))
        set_up_work(rq, needs_work, !has_rank_table && !rq.adjusted_ic, run);
    if (rq.adjusted_ic) {
        run.in.forward_source = ForwardSource::AdjustedOpens;
    } else if (has_rank_table) {
        run.forward = std::make_unique<bridge::AlignedTable>(
            bridge::aligned_table(rq.forward_return_rank_cache, run.dates, run.stocks, "forward_return_rank_cache"));
        run.in.forward_source = ForwardSource::Table;
    } else if (has_opens && run.work && run.work->ranked(0)) {
        run.in.forward_source = ForwardSource::WorkRanks;
    } else if (has_opens) {
        run.forward = std::make_unique<bridge::AlignedTable>(
            bridge::aligned_table(rq.open_price, run.dates, run.stocks, "open_price"));
        run.in.forward_source = ForwardSource::OpenPrices;
    }
    if (run.forward) run.in.forward = &run.forward->matrix;
    run.in.analysis = rq.analysis;
    if (rq.analysis && !rq.industry_matrix.is_none()) {
        run.industry = std::make_unique<bridge::AlignedTable>(
            bridge::aligned_table(rq.industry_matrix, run.dates, run.stocks, "industry_matrix"));
        run.in.industry = &run.industry->matrix;
    }
    {
        // No Python inside, nor in the worker threads it starts: reads numpy buffers held by `run`
        // and the market's work (never written once built), writes only `run.out`.
        py::gil_scoped_release release;
        run.out = run_group_backtest(run.in);
    }
}

}  // namespace lumora::core
