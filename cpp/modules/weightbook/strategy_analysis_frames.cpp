// The strategy analysis record, positions and trades of a strategy run.

#include "weightbook/strategy_analysis_frames.hpp"

#include <pybind11/numpy.h>

#include <string>
#include <vector>

#include "common/frame_bridge.hpp"
#include "lumora/date_window.hpp"
#include "lumora/sharpe.hpp"
#include "lumora/strategy_analysis.hpp"

namespace lumora::weightbook {

namespace {

py::object int_index(const std::vector<std::int32_t>& values, const char* name) {
    py::list labels;
    for (const std::int32_t v : values) labels.append(v);
    return bridge::pandas().attr("Index")(labels, py::arg("name") = name, py::arg("dtype") = "int64");
}

py::object monthly_table(const KeyedFigures& months) {
    std::vector<std::int32_t> years;
    for (const std::int32_t key : months.keys)
        if (years.empty() || years.back() != key / 100) years.push_back(key / 100);
    py::array_t<double> values({static_cast<py::ssize_t>(years.size()), py::ssize_t{12}});
    std::fill(values.mutable_data(), values.mutable_data() + values.size(), kNaN);
    std::size_t y = 0;
    for (std::size_t k = 0; k < months.keys.size(); ++k) {
        while (years[y] != months.keys[k] / 100) ++y;
        const int month = months.keys[k] % 100;
        if (month >= 1 && month <= 12 && months.counts[k] > 0)
            values.mutable_data()[y * 12 + static_cast<std::size_t>(month - 1)] = months.sums[k];
    }
    std::vector<std::int32_t> month_numbers;
    for (int m = 1; m <= 12; ++m) month_numbers.push_back(m);
    return bridge::frame(values, int_index(years, "year"), int_index(month_numbers, "month"));
}

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

}  // namespace

py::object strategy_analysis_record(py::handle total, const TradeLog& log, py::handle trade_dates, double total_money) {
    py::object dates = total.attr("index");
    const py::array_t<double> daily = bridge::contiguous_float64(total[py::str("daily_return")], "daily_return");
    const std::vector<std::int32_t> months = month_keys(bridge::labels_as_text(dates));
    const std::vector<std::int64_t> day_of = bridge::positions(trade_dates, dates);
    const auto n = static_cast<std::size_t>(daily.size());
    std::vector<double> traded(n, kNaN);
    double traded_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (day_of[i] < 0) continue;
        traded[i] = log.traded_value[static_cast<std::size_t>(day_of[i])];
        traded_sum += traded[i];
    }
    StrategyFigures f;
    {
        // No Python inside: reads the daily-return array held by `daily`, writes only `f`.
        py::gil_scoped_release release;
        f = strategy_figures(std::span<const double>(daily.data(), n), months);
    }
    const double years = static_cast<double>(n) / kTradingDaysPerYear;

    py::dict summary;
    summary["sortino"] = f.sortino;
    summary["calmar"] = f.calmar;
    summary["max_drawdown"] = f.max_drawdown;
    summary["var_95_daily"] = f.var_95_daily;
    summary["cvar_95_daily"] = f.cvar_95_daily;
    summary["skew"] = f.moments.skew;
    summary["kurtosis"] = f.moments.kurtosis;
    summary["best_day"] = f.best_day;
    summary["worst_day"] = f.worst_day;
    summary["best_month"] = f.best_month;
    summary["worst_month"] = f.worst_month;
    summary["best_year"] = f.best_year;
    summary["worst_year"] = f.worst_year;
    summary["traded_value_turnover_annual"] = n > 0 ? traded_sum / total_money / years : kNaN;

    py::object record = py::module_::import("lumora.backtest.result").attr("StrategyAnalysis");
    return record(
        py::arg("summary") = summary, py::arg("drawdowns") = drawdown_table(f.drawdowns, dates),
        py::arg("monthly_returns") = monthly_table(f.months),
        py::arg("yearly_returns") =
            bridge::series(bridge::vector_array(f.years.sums), int_index(f.years.keys, "year"), py::str("return")),
        py::arg("rolling_sharpe_126") =
            bridge::series(bridge::vector_array(f.rolling_sharpe), dates, py::str("rolling_sharpe_126")),
        py::arg("rolling_volatility_126") =
            bridge::series(bridge::vector_array(f.rolling_volatility), dates, py::str("rolling_volatility_126")),
        py::arg("traded_value") = bridge::series(bridge::vector_array(traded), dates, py::str("traded_value")));
}

py::object positions_frame(TradeLog& log, py::handle trade_dates, py::handle stocks) {
    std::vector<std::int32_t> day(log.stocks.size());
    for (std::size_t d = 0; d + 1 < log.offsets.size(); ++d)
        std::fill(day.begin() + log.offsets[d], day.begin() + log.offsets[d + 1], static_cast<std::int32_t>(d));
    py::dict columns;
    columns["date"] = label_column(trade_dates, std::move(day));
    columns["stock"] = label_column(stocks, std::move(log.stocks));
    columns["shares"] = bridge::owned_array(std::move(log.shares));
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
