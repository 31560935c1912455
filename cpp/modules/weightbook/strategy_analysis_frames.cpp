// The strategy analysis record, positions and trades of a strategy run.

#include "weightbook/strategy_analysis_frames.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "common/frame_bridge.hpp"
#include "lumora/date_window.hpp"
#include "lumora/holdings.hpp"
#include "lumora/sharpe.hpp"
#include "lumora/strategy_analysis.hpp"
#include "weightbook/strategy_bindings.hpp"

namespace lumora::weightbook {

namespace {

py::object drawdown_table(const std::vector<Drawdown>& drawdowns, py::handle dates) {
    py::list peak, trough, recovery, depth, days;
    auto label = [&](std::int64_t row) -> py::object {
        if (row < 0) return py::none();
        return dates.attr("__getitem__")(row);
    };
    for (const Drawdown& d : drawdowns) {
        peak.append(label(d.peak));
        trough.append(label(d.trough));
        recovery.append(label(d.recovery));
        depth.append(d.depth);
        days.append(d.days);
    }
    py::dict columns;
    columns["peak"] = bridge::pandas().attr("Series")(peak, py::arg("dtype") = "object");
    columns["trough"] = bridge::pandas().attr("Series")(trough, py::arg("dtype") = "object");
    columns["recovery"] = bridge::pandas().attr("Series")(recovery, py::arg("dtype") = "object");
    columns["depth"] = bridge::pandas().attr("Series")(depth, py::arg("dtype") = "float64");
    columns["days"] = bridge::pandas().attr("Series")(days, py::arg("dtype") = "int64");
    return bridge::pandas().attr("DataFrame")(columns);
}

// A column of labels by their positions in `labels`: a categorical over the labels, so
// that hundreds of thousands of rows share the label objects instead of copying them.
template <class Code>
py::object label_column(py::handle labels, std::vector<Code>&& codes) {
    return bridge::pandas()
        .attr("Categorical")
        .attr("from_codes")(bridge::owned_array(std::move(codes)), py::arg("categories") = labels);
}

// A frame over the given columns as they are: no column is copied.
py::object frame_of(const py::dict& columns) {
    return bridge::pandas().attr("DataFrame")(columns, py::arg("copy") = false);
}

// An industry code as a column label: whole codes without a decimal point ("25").
py::object industry_label(double code) {
    if (std::isnan(code)) return py::str("unclassified");
    if (std::abs(code) < 1e15 && code == std::floor(code)) return py::str(std::to_string(static_cast<long long>(code)));
    return py::str(py::float_(code));
}

// Holdings by trade day, the largest positions and the industry shares of the value held.
void put_holdings(py::dict& fields, const AnalysisInputs& in) {
    const TradeLog& log = in.log;
    std::optional<bridge::AlignedTable> industry;
    if (!in.industry_matrix.is_none())
        industry = bridge::aligned_table(in.industry_matrix, in.trade_dates, in.stocks, "industry_matrix");
    const HeldPositions held{log.offsets, log.stocks, log.values, in.total_money,
                             industry ? &industry->matrix : nullptr};
    HoldingsFigures h;
    {
        // No Python inside: reads the log and the industry cells `industry` holds, writes only `h`.
        py::gil_scoped_release release;
        h = holdings_figures(held);
    }
    py::object dates = in.trade_dates.attr("rename")("date");

    py::dict daily;
    daily["holdings_count"] = bridge::owned_array(std::move(h.holdings_count));
    daily["top10_share"] = bridge::owned_array(std::move(h.top10_share));
    daily["herfindahl"] = bridge::owned_array(std::move(h.herfindahl));
    daily["gross_exposure"] = bridge::owned_array(std::move(h.gross_exposure));
    fields["holdings"] = bridge::pandas().attr("DataFrame")(daily, py::arg("index") = dates, py::arg("copy") = false);

    py::array_t<std::int64_t> take(static_cast<py::ssize_t>(h.top_stocks.size()));
    std::copy(h.top_stocks.begin(), h.top_stocks.end(), take.mutable_data());
    py::dict top;
    top["mean_weight"] = bridge::owned_array(std::move(h.mean_weight));
    top["max_weight"] = bridge::owned_array(std::move(h.max_weight));
    top["days_held"] = bridge::owned_array(std::move(h.days_held));
    fields["top_positions"] = bridge::pandas().attr("DataFrame")(
        top, py::arg("index") = in.stocks.attr("take")(take).attr("rename")("stock"), py::arg("copy") = false);

    py::list labels;
    for (const double code : h.industries) labels.append(industry_label(code));
    const auto n_days = static_cast<py::ssize_t>(held.n_days());
    const auto n_industries = static_cast<py::ssize_t>(h.industries.size());
    py::array_t<double> shares({n_days, n_industries});
    std::copy(h.industry_share.begin(), h.industry_share.end(), shares.mutable_data());
    fields["industry_exposure"] =
        bridge::frame(shares, dates, bridge::pandas().attr("Index")(labels, py::arg("name") = "industry"));
}

}  // namespace

py::object strategy_analysis_record(py::handle total, const AnalysisInputs& in) {
    py::object dates = total.attr("index");
    const auto column = [&](const char* name) { return bridge::contiguous_float64(total[py::str(name)], name); };
    const py::array_t<double> daily = column("daily_return"), benchmark = column("index_daily_return"),
                              excess = column("extra_daily_return"), net_value = column("long");
    const std::vector<std::int32_t> months = month_keys(bridge::labels_as_text(dates));
    const std::vector<std::int64_t> day_of = bridge::positions(in.trade_dates, dates);
    const auto n = static_cast<std::size_t>(daily.size());
    std::vector<double> traded(n, kNaN);
    double traded_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (day_of[i] < 0) continue;
        traded[i] = in.log.traded_value[static_cast<std::size_t>(day_of[i])];
        traded_sum += traded[i];
    }
    const auto span_of = [n](const py::array_t<double>& a) { return std::span<const double>(a.data(), n); };
    const StrategySeries series{span_of(daily), span_of(benchmark), span_of(excess), span_of(net_value), months};
    StrategyFigures f;
    {
        // No Python inside: reads the total frame's columns held by the arrays above, writes only `f`.
        py::gil_scoped_release release;
        f = strategy_figures(series);
    }
    const double years = static_cast<double>(n) / kTradingDaysPerYear;
    const double turnover = n > 0 ? traded_sum / in.total_money / years : kNaN;

    py::dict summary;
    for (const NamedFigure& figure : summary_figures(f, turnover)) summary[figure.key] = figure.value;

    const auto dated = [&](const std::vector<double>& values, const char* name) {
        return bridge::series(bridge::vector_array(values), dates, py::str(name));
    };
    py::dict fields;
    fields["summary"] = summary;
    fields["benchmark_name"] = in.benchmark_name;
    fields["drawdowns"] = drawdown_table(f.drawdowns, dates);
    fields["monthly_returns"] = bridge::month_grid_frame(month_grid(f.months, f.months.sums));
    fields["yearly_returns"] = bridge::series(bridge::vector_array(f.years.sums),
                                              bridge::int64_index(f.years.keys, "year"), py::str("return"));
    fields["rolling_sharpe_126"] = dated(f.rolling_sharpe, "rolling_sharpe_126");
    fields["rolling_volatility_126"] = dated(f.rolling_volatility, "rolling_volatility_126");
    fields["rolling_beta_126"] = dated(f.rolling_beta, "rolling_beta_126");
    fields["traded_value"] = dated(traded, "traded_value");
    if (in.log.record) put_holdings(fields, in);
    return python::strategy_analysis_record_type()(**fields);
}

py::object positions_frame(TradeLog& log, py::handle trade_dates, py::handle stocks) {
    std::vector<std::int32_t> day(log.stocks.size());
    for (std::size_t d = 0; d + 1 < log.offsets.size(); ++d)
        std::fill(day.begin() + log.offsets[d], day.begin() + log.offsets[d + 1], static_cast<std::int32_t>(d));
    py::dict columns;
    columns["date"] = label_column(trade_dates, std::move(day));
    columns["stock"] = label_column(stocks, std::move(log.stocks));
    columns["shares"] = bridge::owned_array(std::move(log.shares));
    columns["value"] = bridge::owned_array(std::move(log.values));
    return frame_of(columns);
}

py::object trades_frame(TradeLog& log, py::handle trade_dates, py::handle stocks) {
    TradeLog::Trades& t = log.trades;
    py::list sides;
    sides.append("buy");
    sides.append("sell");
    py::dict columns;
    columns["date"] = label_column(trade_dates, std::move(t.day));
    columns["stock"] = label_column(stocks, std::move(t.stock));
    columns["side"] = label_column(sides, std::move(t.sell));
    columns["shares"] = bridge::owned_array(std::move(t.shares));
    columns["price"] = bridge::owned_array(std::move(t.price));
    columns["value"] = bridge::owned_array(std::move(t.value));
    columns["cost"] = bridge::owned_array(std::move(t.cost));
    return frame_of(columns);
}

}  // namespace lumora::weightbook
