#include "lumora/weekly_sample.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "lumora/matrix_view.hpp"

namespace lumora {

namespace {

constexpr std::int64_t kNanosecondsPerDay = 86'400'000'000'000;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Day number of the Friday closing the week of `day` (1970-01-01, day 0, was a Thursday).
std::int64_t closing_friday(std::int64_t day) {
    const std::int64_t weekday = ((day + 3) % 7 + 7) % 7;  // Monday = 0
    return day + ((4 - weekday) % 7 + 7) % 7;
}

}  // namespace

WeeklySample last_per_week_to_friday(std::span<const std::int64_t> timestamps_ns,
                                     const std::array<std::span<const double>, 3>& columns) {
    // Time order decides which value is the last of a week; equal times keep row order.
    std::vector<std::size_t> order(timestamps_ns.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return timestamps_ns[a] < timestamps_ns[b]; });

    WeeklySample out;
    std::int64_t current_friday = 0;
    std::array<double, 3> last{kNaN, kNaN, kNaN};
    bool open = false;
    const auto close_week = [&] {
        if (!open) return;
        if (std::any_of(last.begin(), last.end(), [](double v) { return !std::isnan(v); })) {
            out.friday_ns.push_back(current_friday * kNanosecondsPerDay);
            for (std::size_t c = 0; c < 3; ++c) out.last[c].push_back(last[c]);
        }
        last = {kNaN, kNaN, kNaN};
    };
    for (const std::size_t row : order) {
        if (timestamps_ns[row] == kNaTNanoseconds) continue;
        const std::int64_t friday = closing_friday(floor_div(timestamps_ns[row], kNanosecondsPerDay));
        if (!open || friday != current_friday) {
            close_week();
            current_friday = friday;
            open = true;
        }
        for (std::size_t c = 0; c < 3; ++c) {
            if (std::isfinite(columns[c][row])) last[c] = columns[c][row];
        }
    }
    close_week();
    return out;
}

}  // namespace lumora
