#include "lumora/limit_prices.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumora::limits {

namespace {

constexpr std::int64_t kMicroPerYuan = 1'000'000;
constexpr std::int64_t kMicroPerCent = 10'000;
// Prices and dividends beyond this many yuan are not prices (and would overflow the
// millionths below).
constexpr double kLargestYuan = 1e9;

bool finite_amount(double yuan) { return std::isfinite(yuan) && std::fabs(yuan) < kLargestYuan; }

std::int64_t position_in(std::span<const std::int32_t> calendar, std::int32_t date, const char* what) {
    const auto it = std::lower_bound(calendar.begin(), calendar.end(), date);
    if (it == calendar.end() || *it != date)
        throw std::invalid_argument(std::string(what) + " " + std::to_string(date) + " is not a trading date");
    return it - calendar.begin();
}

double yuan_of(std::int64_t cents) { return static_cast<double>(cents) / 100.0; }

}  // namespace

Board board_of(std::int32_t code, bool beijing_mark) {
    const std::int32_t head = code / 1000;
    if (beijing_mark || code / 100'000 == 4 || code / 100'000 == 8 || code / 10'000 == 92) return Board::Beijing;
    if (head == 300 || head == 301 || head == 302) return Board::ChiNext;
    if (head == 688 || head == 689) return Board::Star;
    return Board::Main;
}

int limit_percent(Board board, std::int32_t date, bool special_treatment) {
    switch (board) {
        case Board::Beijing:
            return 30;
        case Board::Star:
            return 20;
        case Board::ChiNext:
            if (date >= kChiNextReform) return 20;
            return special_treatment ? 5 : 10;
        case Board::Main:
            if (special_treatment && date < kMainBoardSpecialTenPercent) return 5;
            return 10;
    }
    return 10;
}

int free_days(Board board, std::int32_t listing_date) {
    switch (board) {
        case Board::Star:
            return kRegistrationFreeDays;
        case Board::ChiNext:
            return listing_date >= kChiNextReform ? kRegistrationFreeDays : 1;
        case Board::Main:
            return listing_date >= kMainBoardRegistration ? kRegistrationFreeDays : 1;
        case Board::Beijing:
            return 1;
    }
    return 1;
}

std::int64_t micro_yuan(double yuan) { return std::llround(yuan * static_cast<double>(kMicroPerYuan)); }

std::int64_t divide_half_up(std::int64_t a, std::int64_t b) { return (2 * a + b) / (2 * b); }

std::optional<std::int64_t> reference_cents(double previous_close, double dividend, double split) {
    if (!finite_amount(previous_close)) return std::nullopt;
    if (std::isnan(dividend)) dividend = 0.0;
    if (!finite_amount(dividend)) return std::nullopt;
    if (!(split > 0.0) || !finite_amount(split)) split = 1.0;
    // Most days have neither a dividend nor a split: the same numbers, the division by a
    // constant (a multiplication) instead of by the split.
    const bool plain = dividend == 0.0 && split == 1.0;
    const std::int64_t split_micro = plain ? kMicroPerYuan : micro_yuan(split);
    if (split_micro <= 0) return std::nullopt;
    // (close - dividend) / split in cents is (close - dividend) in millionths times 100
    // over the split in millionths: exact for inputs given to the millionth.
    const std::int64_t amount = micro_yuan(previous_close) - (plain ? 0 : micro_yuan(dividend));
    if (amount <= 0) return std::nullopt;
    const std::int64_t scaled = amount * (kMicroPerYuan / kMicroPerCent);
    const std::int64_t cents = plain ? divide_half_up(scaled, kMicroPerYuan) : divide_half_up(scaled, split_micro);
    if (cents < 1) return std::nullopt;
    return cents;
}

LimitCents limit_cents(std::int64_t reference, int percent) {
    return {divide_half_up(reference * (100 + percent), 100),
            std::max<std::int64_t>(1, divide_half_up(reference * (100 - percent), 100))};
}

void limit_tables(const LimitInputs& in, double* reference, double* up, double* down) {
    const std::int64_t rows = in.previous_close.rows;
    const std::int64_t cols = in.previous_close.cols;
    std::vector<Board> boards(static_cast<std::size_t>(cols));
    // Per stock: calendar position of its listing day (-1: before the calendar) and the
    // days from it on without a limit.
    std::vector<std::int64_t> listed_at(static_cast<std::size_t>(cols), -1);
    std::vector<int> free(static_cast<std::size_t>(cols), 0);
    for (std::int64_t c = 0; c < cols; ++c) {
        const auto k = static_cast<std::size_t>(c);
        boards[k] = board_of(in.codes[k], !in.beijing.empty() && in.beijing[k] != 0);
        if (in.listing.empty() || in.listing[k] == 0) continue;
        listed_at[k] = position_in(in.calendar, in.listing[k], "listing date");
        free[k] = free_days(boards[k], in.listing[k]);
    }
    for (std::int64_t r = 0; r < rows; ++r) {
        const std::int32_t date = in.dates[static_cast<std::size_t>(r)];
        const std::int64_t day = position_in(in.calendar, date, "date");
        for (std::int64_t c = 0; c < cols; ++c) {
            const auto k = static_cast<std::size_t>(c);
            const std::size_t cell = static_cast<std::size_t>(r * cols + c);
            const double dividend = in.dividend ? in.dividend->value(r, c) : 0.0;
            const double split = in.split ? in.split->value(r, c) : 1.0;
            const std::optional<std::int64_t> ref = reference_cents(in.previous_close.value(r, c), dividend, split);
            if (reference != nullptr) reference[cell] = ref ? yuan_of(*ref) : kNaN;
            up[cell] = down[cell] = kNaN;
            const bool listed = listed_at[k] < 0 || day - listed_at[k] >= free[k];
            if (!ref || !listed || (in.within != nullptr && in.within[cell] == 0)) continue;
            const double special_value = in.special ? in.special->value(r, c) : 0.0;
            const bool special = !std::isnan(special_value) && special_value != 0.0;
            const LimitCents limit = limit_cents(*ref, limit_percent(boards[k], date, special));
            up[cell] = yuan_of(limit.up);
            down[cell] = yuan_of(limit.down);
        }
    }
}

}  // namespace lumora::limits
