#include "lumora/yearly_metrics.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <stdexcept>

#include "lumora/matrix_view.hpp"
#include "lumora/sharpe.hpp"

namespace lumora {

namespace {

// Deepest fall of the cumulative return below its running peak; the peak starts at 0.
double additive_max_drawdown(std::span<const double> returns) {
    double cumulative = 0.0;
    double peak = 0.0;
    double deepest = kNaN;
    for (const double r : returns) {
        if (std::isnan(r)) continue;
        cumulative += r;
        peak = std::max(peak, cumulative);
        const double drawdown = cumulative - peak;
        if (std::isnan(drawdown)) continue;
        if (std::isnan(deepest) || drawdown < deepest) deepest = drawdown;
    }
    return std::abs(deepest);
}

struct YearSeries {
    std::vector<double> strategy;
    std::vector<double> excess;
};

}  // namespace

PeriodMetrics period_return_drawdown_calmar(std::span<const double> returns) {
    if (returns.empty()) return {kNaN, kNaN, kNaN};
    double total = 0.0;
    std::size_t count = 0;
    for (const double r : returns) {
        if (std::isnan(r)) continue;
        total += r;
        ++count;
    }
    const double annualized = count ? total / static_cast<double>(count) * kTradingDaysPerYear : kNaN;
    const double max_drawdown = additive_max_drawdown(returns);
    const double calmar = max_drawdown > kMinCalmarDrawdown ? annualized / max_drawdown : kNaN;
    return {total, max_drawdown, calmar};
}

std::vector<YearlyMetricsRow> yearly_performance_metrics(std::span<const std::int32_t> years,
                                                         std::span<const double> strategy,
                                                         std::span<const double> excess) {
    if (strategy.size() != years.size() || excess.size() != years.size()) {
        throw std::invalid_argument("yearly metrics: years and returns differ in length");
    }
    std::map<std::int32_t, YearSeries> by_year;
    for (std::size_t i = 0; i < years.size(); ++i) {
        YearSeries& year = by_year[years[i]];
        if (std::isfinite(strategy[i])) year.strategy.push_back(strategy[i]);
        if (std::isfinite(excess[i])) year.excess.push_back(excess[i]);
    }
    std::vector<YearlyMetricsRow> rows;
    for (const auto& [year, series] : by_year) {
        if (series.strategy.empty() && series.excess.empty()) continue;
        const PeriodMetrics s = period_return_drawdown_calmar(series.strategy);
        const PeriodMetrics e = period_return_drawdown_calmar(series.excess);
        rows.push_back({year, s.period_return, safe_sharpe(series.strategy.data(), series.strategy.size()),
                        s.max_drawdown, s.calmar, e.period_return,
                        safe_sharpe(series.excess.data(), series.excess.size()), e.max_drawdown, e.calmar});
    }
    return rows;
}

std::vector<YearlyMetricsRow> dated_yearly_metrics(std::span<const double> year_values,
                                                   std::span<const double> strategy, std::span<const double> excess) {
    std::vector<std::int32_t> years;
    std::vector<double> kept_strategy, kept_excess;
    for (std::size_t i = 0; i < year_values.size(); ++i) {
        if (std::isnan(year_values[i])) continue;
        years.push_back(static_cast<std::int32_t>(year_values[i]));
        kept_strategy.push_back(strategy[i]);
        kept_excess.push_back(excess[i]);
    }
    return yearly_performance_metrics(years, kept_strategy, kept_excess);
}

std::int32_t civil_year_from_days(std::int64_t day_count) {
    using std::chrono::days;
    const std::chrono::sys_days day{days{static_cast<days::rep>(day_count)}};
    return static_cast<std::int32_t>(static_cast<int>(std::chrono::year_month_day{day}.year()));
}

}  // namespace lumora
