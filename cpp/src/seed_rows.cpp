#include "lumora/seed_rows.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace lumora::seeds {

namespace {

// What a row is the last one of, for its stock: one bit per kind.
enum Kind : std::uint8_t {
    kLast = 1,
    kBeforeRecent = 2,
    kWithClose = 4,
    kTraded = 8,
    kTradedWithFactor = 16,
    kWithIndustry = 32,
};

}  // namespace

std::vector<std::int64_t> seed_rows(const BarRows& rows, std::int32_t recent_from) {
    const std::size_t n = rows.code.size();
    const auto sized = [n](std::size_t size, bool optional) { return size == n || (optional && size == 0); };
    if (!sized(rows.date.size(), false) || !sized(rows.close.size(), false) || !sized(rows.volume.size(), false) ||
        !sized(rows.suspended.size(), true) || !sized(rows.adj_factor.size(), true) ||
        !sized(rows.industry.size(), true))
        throw std::invalid_argument("every column must hold one value per row");
    std::int32_t top = -1;
    for (const std::int32_t code : rows.code) {
        if (code < 0) throw std::invalid_argument("codes must not be negative");
        top = std::max(top, code);
    }
    // The kinds each stock still lacks a row of; the rows are walked from the last.
    std::uint8_t all = kLast | kBeforeRecent | kWithClose | kTraded;
    if (!rows.adj_factor.empty()) all |= kTradedWithFactor;
    if (!rows.industry.empty()) all |= kWithIndustry;
    std::vector<std::uint8_t> missing(static_cast<std::size_t>(top) + 1, all);
    std::vector<std::uint8_t> seed(n, 0);
    std::size_t count = 0;
    for (std::size_t i = n; i-- > 0;) {
        const bool recent = rows.date[i] >= recent_from;
        std::uint8_t& lacking = missing[static_cast<std::size_t>(rows.code[i])];
        if (!recent && lacking == 0) continue;
        const bool has_close = !std::isnan(rows.close[i]);
        const bool traded = rows.volume[i] > 0 && has_close && (rows.suspended.empty() || rows.suspended[i] == 0);
        std::uint8_t is = kLast;
        if (!recent) is |= kBeforeRecent;
        if (has_close) is |= kWithClose;
        if (traded) is |= kTraded;
        if (traded && !rows.adj_factor.empty() && !std::isnan(rows.adj_factor[i])) is |= kTradedWithFactor;
        if (!rows.industry.empty() && !std::isnan(rows.industry[i])) is |= kWithIndustry;
        const bool needed = recent || (lacking & is) != 0;
        lacking = static_cast<std::uint8_t>(lacking & ~is);
        if (needed && !seed[i]) {
            seed[i] = 1;
            ++count;
        }
    }
    std::vector<std::int64_t> out;
    out.reserve(count);
    for (std::size_t i = 0; i < n; ++i)
        if (seed[i]) out.push_back(static_cast<std::int64_t>(i));
    return out;
}

}  // namespace lumora::seeds
