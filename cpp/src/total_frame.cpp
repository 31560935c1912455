#include "lumora/total_frame.hpp"

#include <algorithm>
#include <cmath>

namespace lumora {

std::vector<double> cumulative_sum(const double* values, std::size_t n) {
    std::vector<double> out(n);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) out[i] = sum += values[i];
    return out;
}

std::vector<double> drawdown_from_running_max(const std::vector<double>& level) {
    std::vector<double> out(level.size());
    double peak = -INFINITY;
    for (std::size_t i = 0; i < level.size(); ++i) {
        peak = std::max(peak, level[i]);
        out[i] = level[i] - peak;
    }
    return out;
}

TotalFrame build_total_frame(const double* daily, const double* index_daily, const double* close, std::size_t n) {
    TotalFrame t;
    if (n == 0) return t;
    t.extra_daily_return.resize(n);
    for (std::size_t i = 0; i < n; ++i) t.extra_daily_return[i] = daily[i] - index_daily[i];

    std::vector<double> nav = cumulative_sum(daily, n);
    for (double& v : nav) v += 1.0;
    t.long_nav.resize(n);
    for (std::size_t i = 0; i < n; ++i) t.long_nav[i] = nav[i] / nav[0];

    std::vector<double> proxy = cumulative_sum(index_daily, n);
    for (double& v : proxy) v += 1.0;
    t.close_net_value.resize(n);
    if (close != nullptr) {
        const double first = close[0];
        const bool usable = !std::isnan(first) && first != 0.0;
        for (std::size_t i = 0; i < n; ++i) t.close_net_value[i] = usable ? close[i] / first : proxy[i];
    } else {
        t.close = proxy;
        for (std::size_t i = 0; i < n; ++i) t.close_net_value[i] = proxy[i] / proxy[0];
    }

    t.max_drowdown = drawdown_from_running_max(t.long_nav);
    std::vector<double> extra_cum = cumulative_sum(t.extra_daily_return.data(), n);
    t.extra_return.resize(n);
    std::vector<double> extra_level(n);
    for (std::size_t i = 0; i < n; ++i) {
        t.extra_return[i] = extra_cum[i] - extra_cum[0];
        extra_level[i] = t.extra_return[i] + 1.0;
    }
    t.extra_max_drowdown = drawdown_from_running_max(extra_level);
    return t;
}

}  // namespace lumora
