#include "lumora/return_figures.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include "lumora/matrix_view.hpp"
#include "lumora/sharpe.hpp"

namespace lumora {

namespace {

// Continued fraction of the regularised incomplete beta function (modified Lentz).
double beta_fraction(double a, double b, double x) {
    constexpr double kTiny = 1e-300, kEpsilon = 1e-16;
    constexpr int kMaxTerms = 100000;
    double c = 1.0, d = 1.0 - (a + b) * x / (a + 1.0);
    if (std::abs(d) < kTiny) d = kTiny;
    d = 1.0 / d;
    double h = d;
    for (int m = 1; m <= kMaxTerms; ++m) {
        const double m2 = 2.0 * m;
        double term = m * (b - m) * x / ((a + m2 - 1.0) * (a + m2));
        d = 1.0 + term * d;
        c = 1.0 + term / c;
        d = std::abs(d) < kTiny ? 1.0 / kTiny : 1.0 / d;
        c = std::abs(c) < kTiny ? kTiny : c;
        h *= d * c;
        term = -(a + m) * (a + b + m) * x / ((a + m2) * (a + m2 + 1.0));
        d = 1.0 + term * d;
        c = 1.0 + term / c;
        d = std::abs(d) < kTiny ? 1.0 / kTiny : 1.0 / d;
        c = std::abs(c) < kTiny ? kTiny : c;
        const double step = d * c;
        h *= step;
        if (std::abs(step - 1.0) < kEpsilon) break;
    }
    return h;
}

// I_x(a, b), the regularised incomplete beta function.
double incomplete_beta(double a, double b, double x) {
    if (x <= 0.0) return 0.0;
    if (x >= 1.0) return 1.0;
    const double log_front =
        std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log1p(-x);
    // The fraction converges fast on the side of the mean a / (a + b); the other side by symmetry.
    if (x < (a + 1.0) / (a + b + 2.0)) return std::exp(log_front) * beta_fraction(a, b, x) / a;
    return 1.0 - std::exp(log_front) * beta_fraction(b, a, 1.0 - x) / b;
}

}  // namespace

double student_t_two_sided_p(double t, double df) {
    if (std::isnan(t) || !(df > 0.0)) return kNaN;
    if (std::isinf(t)) return 0.0;
    return incomplete_beta(df / 2.0, 0.5, df / (df + t * t));
}

Moments moments_of(std::span<const double> values) {
    Moments m{};
    m.mean = m.std = m.skew = m.kurtosis = m.share_positive = m.t_stat = m.p_value = kNaN;
    double sum = 0.0;
    std::int64_t positive = 0;
    for (const double v : values) {
        if (!std::isfinite(v)) continue;
        sum += v;
        positive += v > 0.0;
        ++m.count;
    }
    if (m.count == 0) return m;
    const auto n = static_cast<double>(m.count);
    m.mean = sum / n;
    m.share_positive = static_cast<double>(positive) / n;
    double s2 = 0.0, s3 = 0.0, s4 = 0.0;
    for (const double v : values) {
        if (!std::isfinite(v)) continue;
        const double d = v - m.mean, d2 = d * d;
        s2 += d2;
        s3 += d2 * d;
        s4 += d2 * d2;
    }
    const double m2 = s2 / n;
    if (m2 > 0.0) {
        m.skew = (s3 / n) / std::pow(m2, 1.5);
        m.kurtosis = (s4 / n) / (m2 * m2) - 3.0;
    }
    if (m.count > 1) {
        m.std = std::sqrt(s2 / (n - 1.0));
        if (m.std > 0.0) {
            m.t_stat = m.mean / (m.std / std::sqrt(n));
            m.p_value = student_t_two_sided_p(m.t_stat, n - 1.0);
        }
    }
    return m;
}

ReturnFigures return_figures(std::span<const double> daily) {
    std::vector<double> finite;
    finite.reserve(daily.size());
    for (const double v : daily)
        if (!std::isnan(v)) finite.push_back(v);
    ReturnFigures out{kNaN, kNaN, kNaN};
    if (finite.empty()) return out;
    double sum = 0.0, level = 0.0, peak = 0.0, deepest = 0.0;
    for (const double v : finite) {
        sum += v;
        level += v;
        peak = std::max(peak, level);
        deepest = std::min(deepest, level - peak);
    }
    out.annual_return = sum / static_cast<double>(finite.size()) * kTradingDaysPerYear;
    out.sharpe = safe_sharpe(finite.data(), finite.size(), kTradingDaysPerYear);
    out.max_drawdown = deepest;
    return out;
}

std::vector<Drawdown> worst_drawdowns(std::span<const double> net_value, std::size_t count) {
    // Every underwater period in order of time, then the deepest ones.
    std::vector<Drawdown> periods;
    const auto n = static_cast<std::int64_t>(net_value.size());
    std::int64_t peak_day = -1;
    double peak = kNaN;
    bool under = false;
    Drawdown current{};
    for (std::int64_t i = 0; i < n; ++i) {
        const double level = net_value[static_cast<std::size_t>(i)];
        if (std::isnan(level)) continue;
        if (peak_day < 0 || level >= peak) {
            if (under) {
                current.recovery = i;
                current.days = i - current.peak;
                periods.push_back(current);
                under = false;
            }
            peak = level;
            peak_day = i;
            continue;
        }
        if (!under) {
            current = Drawdown{peak_day, i, -1, level - peak, 0};
            under = true;
        } else if (level - peak < current.depth) {
            current.trough = i;
            current.depth = level - peak;
        }
    }
    if (under) {
        current.days = n - 1 - current.peak;
        periods.push_back(current);
    }
    std::stable_sort(periods.begin(), periods.end(),
                     [](const Drawdown& a, const Drawdown& b) { return a.depth < b.depth; });
    if (periods.size() > count) periods.resize(count);
    return periods;
}

KeyedFigures by_key(std::span<const std::int32_t> keys, std::span<const double> values) {
    std::map<std::int32_t, std::pair<double, std::int64_t>> groups;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        auto& [sum, count] = groups[keys[i]];
        if (!std::isfinite(values[i])) continue;
        sum += values[i];
        ++count;
    }
    KeyedFigures out;
    for (const auto& [key, figures] : groups) {
        out.keys.push_back(key);
        out.sums.push_back(figures.first);
        out.counts.push_back(figures.second);
        out.means.push_back(figures.second > 0 ? figures.first / static_cast<double>(figures.second) : kNaN);
    }
    return out;
}

}  // namespace lumora
