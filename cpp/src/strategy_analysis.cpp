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

// numpy.percentile's default (linear) interpolation between the order statistics of
// `sorted` (ascending).
double percentile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return kNaN;
    const double at = q / 100.0 * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(at));
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    const double weight = at - static_cast<double>(below);
    return sorted[below] + (sorted[above] - sorted[below]) * weight;
}

// Mean of the lowest floor((n - 1) x share) + 1 values of `sorted` (ascending).
double tail_mean(const std::vector<double>& sorted, double share) {
    if (sorted.empty()) return kNaN;
    const auto count = static_cast<std::size_t>(static_cast<double>(sorted.size() - 1) * share) + 1;
    double sum = 0.0;
    for (std::size_t k = 0; k < count; ++k) sum += sorted[k];
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

// The open portfolio libraries' beta: the covariance of the returns with the benchmark's
// deviations from its mean over the benchmark's variance, both population moments; NaN
// for fewer than two rows or a benchmark that does not move (variance below 1e-30).
double beta_of(const double* daily, const double* benchmark, std::size_t n) {
    if (n < 2) return kNaN;
    double mean = 0.0;
    for (std::size_t i = 0; i < n; ++i) mean += benchmark[i];
    mean /= static_cast<double>(n);
    double covariance = 0.0, variance = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = benchmark[i] - mean;
        covariance += d * daily[i];
        variance += d * d;
    }
    covariance /= static_cast<double>(n);
    variance /= static_cast<double>(n);
    return variance < 1e-30 ? kNaN : covariance / variance;
}

// Compounded growth at a yearly rate, and the deepest fall of the compounded net value
// below its running peak, relative to the peak (the capital before the first day counts as
// a peak).
void compounded(std::span<const double> daily, double& cagr, double& max_drawdown) {
    cagr = max_drawdown = kNaN;
    if (daily.empty()) return;
    double level = 1.0, peak = 1.0, deepest = 0.0;
    for (const double r : daily) {
        level *= 1.0 + r;
        peak = std::fmax(peak, level);
        deepest = std::fmin(deepest, (level - peak) / peak);
    }
    cagr = std::pow(level, kTradingDaysPerYear / static_cast<double>(daily.size())) - 1.0;
    max_drawdown = deepest;
}

// R^2 of the running sum of log(1 + r) regressed on the row number (NaN when it is flat).
double stability(std::span<const double> daily) {
    const std::size_t n = daily.size();
    if (n < 2) return kNaN;
    std::vector<double> y(n);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) y[i] = sum += std::log1p(daily[i]);
    const double x_mean = static_cast<double>(n - 1) / 2.0;
    double y_mean = 0.0;
    for (const double v : y) y_mean += v;
    y_mean /= static_cast<double>(n);
    double sxx = 0.0, sxy = 0.0, syy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dx = static_cast<double>(i) - x_mean, dy = y[i] - y_mean;
        sxx += dx * dx;
        sxy += dx * dy;
        syy += dy * dy;
    }
    if (sxx == 0.0 || syy == 0.0) return kNaN;
    const double r = std::clamp(sxy / std::sqrt(sxx * syy), -1.0, 1.0);
    return r * r;
}

// Gains over losses about a threshold of 0; NaN without a loss or with fewer than two days.
double omega(std::span<const double> daily) {
    if (daily.size() < 2) return kNaN;
    double gains = 0.0, losses = 0.0;
    for (const double r : daily) {
        if (r > 0.0) gains += r;
        if (r < 0.0) losses -= r;
    }
    return losses > 0.0 ? gains / losses : kNaN;
}

double tail_ratio(const std::vector<double>& sorted) {
    return std::abs(percentile(sorted, 95.0)) / std::abs(percentile(sorted, 5.0));
}

// Sample standard deviation and Sharpe ratio of each window of kRollingDays rows, and the
// beta on the benchmark over it; NaN before the first full window.
void rolling_figures(const StrategySeries& s, StrategyFigures& f) {
    const std::size_t n = s.daily.size();
    f.rolling_sharpe.assign(n, kNaN);
    f.rolling_volatility.assign(n, kNaN);
    f.rolling_beta.assign(n, kNaN);
    for (std::size_t end = kRollingDays; end <= n; ++end) {
        const double* window = s.daily.data() + end - kRollingDays;
        double mean = 0.0;
        for (std::size_t k = 0; k < kRollingDays; ++k) mean += window[k];
        mean /= static_cast<double>(kRollingDays);
        double squares = 0.0;
        for (std::size_t k = 0; k < kRollingDays; ++k) squares += (window[k] - mean) * (window[k] - mean);
        const double sd = std::sqrt(squares / static_cast<double>(kRollingDays - 1));
        f.rolling_volatility[end - 1] = sd * std::sqrt(kTradingDaysPerYear);
        f.rolling_sharpe[end - 1] = safe_sharpe(window, kRollingDays, kTradingDaysPerYear);
        f.rolling_beta[end - 1] = beta_of(window, s.benchmark.data() + end - kRollingDays, kRollingDays);
    }
}

// Figures of the daily returns against the primary benchmark.
void benchmark_figures(const StrategySeries& s, StrategyFigures& f) {
    const std::size_t n = s.daily.size();
    f.beta = beta_of(s.daily.data(), s.benchmark.data(), n);
    f.alpha = kNaN;
    if (n >= 2) {
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) sum += s.daily[i] - f.beta * s.benchmark[i];
        f.alpha = std::pow(sum / static_cast<double>(n) + 1.0, kTradingDaysPerYear) - 1.0;
    }
    f.information_ratio = safe_sharpe(s.excess.data(), s.excess.size(), kTradingDaysPerYear);
}

}  // namespace

StrategyFigures strategy_figures(const StrategySeries& s) {
    StrategyFigures f{};
    const std::span<const double> daily = s.daily;
    std::vector<double> sorted(daily.begin(), daily.end());
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = daily.size();
    f.moments = moments_of(daily);
    f.sortino = sortino(daily);
    f.var_95_daily = percentile(sorted, 5.0);
    f.cvar_95_daily = tail_mean(sorted, 0.05);
    extremes(sorted, f.best_day, f.worst_day);

    // The statistics' net value, drawdown and annual return: (last net value - 1) / years.
    f.drawdowns = worst_drawdowns(s.net_value, kWorstDrawdowns);
    f.max_drawdown = n == 0 ? kNaN : f.drawdowns.empty() ? 0.0 : f.drawdowns.front().depth;
    const double annual_return =
        n == 0 ? kNaN : (s.net_value.back() - 1.0) / (static_cast<double>(n) / kTradingDaysPerYear);
    f.calmar = f.max_drawdown < 0.0 ? annual_return / -f.max_drawdown : kNaN;

    f.annual_volatility = f.moments.std * std::sqrt(kTradingDaysPerYear);
    compounded(daily, f.cagr, f.max_drawdown_compounded);
    f.tail_ratio = tail_ratio(sorted);
    f.stability = stability(daily);
    f.omega = omega(daily);
    benchmark_figures(s, f);

    f.months = by_key(s.months, daily);
    std::vector<std::int32_t> year_of(s.months.size());
    for (std::size_t i = 0; i < s.months.size(); ++i) year_of[i] = s.months[i] / 100;
    f.years = by_key(year_of, daily);
    extremes(f.months.sums, f.best_month, f.worst_month);
    extremes(f.years.sums, f.best_year, f.worst_year);
    rolling_figures(s, f);
    return f;
}

}  // namespace lumora
