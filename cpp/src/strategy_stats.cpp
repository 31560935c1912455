#include "lumora/strategy_stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "lumora/matrix_view.hpp"
#include "lumora/sharpe.hpp"
#include "lumora/total_frame.hpp"

namespace lumora {

const std::array<std::string_view, kStatCount> kStatKeys = {"annual_return",   "long_sharp",
                                                            "max_dd",          "benchmark_annual_return",
                                                            "benchmark_sharp", "extra_annual_return",
                                                            "extra_sharp",     "extra_max_dd",
                                                            "return_corr",     "win_rate",
                                                            "excess_win_rate", "holding_count",
                                                            "turnover"};

const std::array<std::string_view, kStatCount> kEmptyStatKeys = {"annual_return",
                                                                 "long_sharp",
                                                                 "max_dd",
                                                                 "extra_annual_return",
                                                                 "extra_sharp",
                                                                 "extra_max_dd",
                                                                 "benchmark_annual_return",
                                                                 "benchmark_sharp",
                                                                 "return_corr",
                                                                 "win_rate",
                                                                 "excess_win_rate",
                                                                 "holding_count",
                                                                 "turnover"};

double mean_of(const double* values, std::size_t n) {
    if (n == 0) return kNaN;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += values[i];
    return sum / static_cast<double>(n);
}

std::vector<double> finite_values(const double* values, std::size_t n) {
    std::vector<double> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        if (std::isfinite(values[i])) out.push_back(values[i]);
    return out;
}

double pearson(const double* a, const double* b, std::size_t n) {
    if (n < 2) return kNaN;
    // Both means in one pass; each sum runs in the same order as mean_of's.
    double sum_a = 0.0, sum_b = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sum_a += a[i];
        sum_b += b[i];
    }
    return pearson_about(a, b, n, sum_a / static_cast<double>(n), sum_b / static_cast<double>(n));
}

double pearson_about(const double* a, const double* b, std::size_t n, double mean_a, double mean_b) {
    if (n < 2) return kNaN;
    double sab = 0.0, saa = 0.0, sbb = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double da = a[i] - mean_a, db = b[i] - mean_b;
        sab += da * db;
        saa += da * da;
        sbb += db * db;
    }
    if (saa == 0.0 || sbb == 0.0) return kNaN;
    const double r = sab / std::sqrt(saa * sbb);
    return std::isnan(r) ? r : std::clamp(r, -1.0, 1.0);
}

namespace {

double win_rate(const std::vector<double>& returns) {
    if (returns.empty()) return kNaN;
    std::size_t wins = 0;
    for (double r : returns) wins += r > 0.0;
    return static_cast<double>(wins) / static_cast<double>(returns.size());
}

double lowest(const double* values, std::size_t n) {
    double low = INFINITY;
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(values[i])) continue;
        low = std::min(low, values[i]);
        any = true;
    }
    return any ? low : kNaN;
}

// numpy's nan_to_num(x, nan=0.0).
double nan_to_zero(double x) {
    if (std::isnan(x)) return 0.0;
    if (std::isinf(x)) return x > 0 ? std::numeric_limits<double>::max() : std::numeric_limits<double>::lowest();
    return x;
}

}  // namespace

WeightActivity weight_activity(const WeightTable& weights) {
    const std::int64_t nr = weights.n_rows();
    if (nr == 0) return {kNaN, kNaN};
    double finite = 0.0;
    std::vector<double> row_change(static_cast<std::size_t>(nr), 0.0);
    weights.for_each_cell([&](std::int64_t i, std::int64_t j, double v) {
        finite += std::isfinite(v);
        if (i > 0)
            row_change[static_cast<std::size_t>(i)] += std::abs(nan_to_zero(v) - nan_to_zero(weights.at(i - 1, j)));
    });
    WeightActivity out{finite / static_cast<double>(nr), kNaN};
    if (nr > 1) out.turnover = mean_of(row_change.data() + 1, static_cast<std::size_t>(nr - 1)) / 2.0;
    return out;
}

std::array<double, kStatCount> strategy_stats(const TotalColumns& t, const WeightTable* weights) {
    std::array<double, kStatCount> out;
    out.fill(kNaN);
    if (t.n == 0) return out;
    const std::size_t last = t.n - 1;
    const std::vector<double> daily = finite_values(t.daily_return, t.n);
    const std::vector<double> bench = finite_values(t.index_daily_return, t.n);
    const std::vector<double> extra = finite_values(t.extra_daily_return, t.n);
    const double years = static_cast<double>(t.n) / kTradingDaysPerYear;
    WeightActivity activity{kNaN, kNaN};
    if (weights != nullptr && weights->n_rows() > 0) activity = weight_activity(*weights);

    out[0] = (t.long_nav[last] - 1.0) / years * 100.0;
    out[1] = safe_sharpe(daily.data(), daily.size(), kTradingDaysPerYear);
    out[2] = std::abs(lowest(t.max_drowdown, t.n));
    out[3] = (t.close_net_value[last] - 1.0) / years * 100.0;
    out[4] = safe_sharpe(bench.data(), bench.size(), kTradingDaysPerYear);
    out[5] = t.extra_return[last] / years * 100.0;
    out[6] = safe_sharpe(extra.data(), extra.size(), kTradingDaysPerYear);
    out[7] = std::abs(lowest(t.extra_max_drowdown, t.n));
    out[8] = pearson(t.daily_return, t.index_daily_return, t.n);
    out[9] = win_rate(daily);
    out[10] = win_rate(extra);
    out[11] = activity.holding_count;
    out[12] = activity.turnover;
    return out;
}

ExcessSummary excess_summary(const std::vector<double>& strategy, const std::vector<double>& benchmark) {
    const std::size_t n = benchmark.size();
    std::vector<double> excess(n);
    for (std::size_t i = 0; i < n; ++i) excess[i] = strategy[i] - benchmark[i];
    ExcessSummary s;
    s.benchmark_annual_return = mean_of(benchmark.data(), n) * kTradingDaysPerYear;
    s.excess_annual_return = mean_of(excess.data(), n) * kTradingDaysPerYear;
    s.excess_sharpe = safe_sharpe(excess.data(), n, kTradingDaysPerYear);
    const std::vector<double> drawdown = drawdown_from_running_max(cumulative_sum(excess.data(), n));
    s.excess_max_dd = lowest(drawdown.data(), drawdown.size());
    return s;
}

}  // namespace lumora
