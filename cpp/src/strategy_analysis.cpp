#include "lumora/strategy_analysis.hpp"

#include <algorithm>
#include <cmath>

#include "lumora/matrix_view.hpp"
#include "lumora/sharpe.hpp"

namespace lumora {

namespace {

double sortino(std::span<const double> daily) {
    if (daily.empty()) return kNaN;
    double sum = 0.0, downside = 0.0;
    for (const double r : daily) {
        sum += r;
        if (r < 0.0) downside += r * r;
    }
    const auto n = static_cast<double>(daily.size());
    const double risk = std::sqrt(downside / n) * std::sqrt(kTradingDaysPerYear);
    return risk > 0.0 ? sum / n * kTradingDaysPerYear / risk : kNaN;
}

// numpy.percentile's default (linear) interpolation between order statistics.
double percentile(std::vector<double> sorted, double q) {
    if (sorted.empty()) return kNaN;
    std::sort(sorted.begin(), sorted.end());
    const double at = q / 100.0 * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(at));
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    const double weight = at - static_cast<double>(below);
    return sorted[below] + (sorted[above] - sorted[below]) * weight;
}

double tail_mean(std::vector<double> values, double share) {
    if (values.empty()) return kNaN;
    std::sort(values.begin(), values.end());
    const auto count = static_cast<std::size_t>(static_cast<double>(values.size() - 1) * share) + 1;
    double sum = 0.0;
    for (std::size_t k = 0; k < count; ++k) sum += values[k];
    return sum / static_cast<double>(count);
}

void extremes(const std::vector<double>& values, double& best, double& worst) {
    best = worst = kNaN;
    for (const double v : values) {
        if (std::isnan(v)) continue;
        if (std::isnan(best) || v > best) best = v;
        if (std::isnan(worst) || v < worst) worst = v;
    }
}

}  // namespace

StrategyFigures strategy_figures(std::span<const double> daily, std::span<const std::int32_t> months) {
    StrategyFigures f{};
    const std::vector<double> values(daily.begin(), daily.end());
    f.moments = moments_of(daily);
    f.sortino = sortino(daily);
    const ReturnFigures r = return_figures(daily);
    f.max_drawdown = r.max_drawdown;
    f.calmar = r.max_drawdown < 0.0 ? r.annual_return / -r.max_drawdown : kNaN;
    f.var_95_daily = percentile(values, 5.0);
    f.cvar_95_daily = tail_mean(values, 0.05);
    extremes(values, f.best_day, f.worst_day);

    f.months = by_key(months, daily);
    std::vector<std::int32_t> year_of(months.size());
    for (std::size_t i = 0; i < months.size(); ++i) year_of[i] = months[i] / 100;
    f.years = by_key(year_of, daily);
    extremes(f.months.sums, f.best_month, f.worst_month);
    extremes(f.years.sums, f.best_year, f.worst_year);
    f.drawdowns = worst_drawdowns(daily, kWorstDrawdowns);

    const std::size_t n = daily.size();
    f.rolling_sharpe.assign(n, kNaN);
    f.rolling_volatility.assign(n, kNaN);
    for (std::size_t end = kRollingDays; end <= n; ++end) {
        const double* window = daily.data() + end - kRollingDays;
        double mean = 0.0;
        for (std::size_t k = 0; k < kRollingDays; ++k) mean += window[k];
        mean /= static_cast<double>(kRollingDays);
        double squares = 0.0;
        for (std::size_t k = 0; k < kRollingDays; ++k) squares += (window[k] - mean) * (window[k] - mean);
        const double sd = std::sqrt(squares / static_cast<double>(kRollingDays - 1));
        f.rolling_volatility[end - 1] = sd * std::sqrt(kTradingDaysPerYear);
        f.rolling_sharpe[end - 1] = safe_sharpe(window, kRollingDays, kTradingDaysPerYear);
    }
    return f;
}

}  // namespace lumora
