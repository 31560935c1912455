#include "lumora/series_arithmetic.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include "lumora/matrix_view.hpp"
#include "lumora/sharpe.hpp"

namespace lumora {

namespace {

double window_sharpe(std::span<const double> window) {
    double sum = 0.0;
    for (const double r : window) {
        if (std::isnan(r)) return kNaN;
        sum += r;
    }
    const double n = static_cast<double>(window.size());
    const double mean = sum / n;
    double squares = 0.0;
    for (const double r : window) squares += (r - mean) * (r - mean);
    return mean / std::sqrt(squares / (n - 1.0)) * std::sqrt(kTradingDaysPerYear);
}

}  // namespace

std::vector<double> drawdown_from_running_peak(std::span<const double> values) {
    std::vector<double> out(values.size(), kNaN);
    double peak = kNaN;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        if (std::isnan(v)) continue;
        if (std::isnan(peak) || v > peak) peak = v;
        out[i] = v - peak;
    }
    return out;
}

RollingStability rolling_stability(std::span<const double> returns, std::size_t window) {
    RollingStability out{std::vector<double>(returns.size(), kNaN), std::vector<double>(returns.size(), kNaN)};
    if (window < 2 || returns.size() < window) return out;
    std::size_t wins = 0;
    for (std::size_t i = 0; i < returns.size(); ++i) {
        wins += returns[i] > 0.0;
        if (i >= window) wins -= returns[i - window] > 0.0;
        if (i + 1 < window) continue;
        out.sharpe[i] = window_sharpe(returns.subspan(i + 1 - window, window));
        out.win_rate[i] = static_cast<double>(wins) / static_cast<double>(window);
    }
    return out;
}

std::vector<double> rolling_mean(std::span<const double> values, std::size_t window) {
    std::vector<double> out(values.size(), kNaN);
    if (window == 0) return out;
    // Each window summed afresh: a running sum would carry rounding across the series.
    for (std::size_t i = window - 1; i < values.size(); ++i) {
        double sum = 0.0;
        for (std::size_t k = i + 1 - window; k <= i; ++k) sum += values[k];
        out[i] = sum / static_cast<double>(window);
    }
    return out;
}

std::size_t rolling_days(std::size_t rows, std::size_t preferred, std::size_t smallest) {
    if (rows >= preferred) return preferred;
    return std::max(rows / 3, smallest);
}

std::vector<double> running_sum(std::span<const double> values) {
    std::vector<double> out(values.size(), kNaN);
    double sum = kNaN;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isnan(values[i])) sum = (std::isnan(sum) ? 0.0 : sum) + values[i];
        out[i] = sum;
    }
    return out;
}

YearlySums yearly_sums(std::span<const double> years, const std::array<std::span<const double>, 3>& columns) {
    std::map<std::int64_t, std::array<double, 3>> by_year;
    for (std::size_t i = 0; i < years.size(); ++i) {
        if (std::isnan(years[i])) continue;
        auto& sums = by_year.try_emplace(static_cast<std::int64_t>(years[i]), std::array<double, 3>{}).first->second;
        for (std::size_t c = 0; c < 3; ++c) {
            if (!std::isnan(columns[c][i])) sums[c] += columns[c][i];
        }
    }
    YearlySums out;
    for (const auto& [year, sums] : by_year) {
        out.years.push_back(year);
        for (std::size_t c = 0; c < 3; ++c) out.sums[c].push_back(sums[c]);
    }
    return out;
}

}  // namespace lumora
