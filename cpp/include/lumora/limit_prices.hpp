#pragma once
// The exchanges' daily limit prices of A-shares, in integer cents.
//
// A limit price is the ex-rights reference price times one plus or minus the day's limit
// rate of the stock's board, rounded half up to the cent; the reference price is the
// previous close less the cash dividend per share, divided by the split factor, rounded
// half up to the cent as well. The rates depend on the board, the date and special
// treatment; a listing has no limit on its first day, and none on its first five trading
// days when it listed under the registration rules. Sources of each rule: README.md,
// "Limit prices".

#include <cstdint>
#include <optional>
#include <span>

#include "lumora/matrix_view.hpp"

namespace lumora::limits {

enum class Board : std::uint8_t { Main, ChiNext, Star, Beijing };

// ChiNext's reform: 20 % limits (special treatment included) and registration listings
// (ChiNext at 10 % before 2020-08-24: pypi.org/project/marina-rules).
inline constexpr std::int32_t kChiNextReform = 20200824;
// First main-board listings under the registration rules, free of limits for five days
// (github.com/fpga2u/AXOrderBook/issues/2; pypi.org/project/marina-rules-core).
inline constexpr std::int32_t kMainBoardRegistration = 20230410;
// Main-board special treatment trades within 10 % instead of 5 % from this day: proposed by
// the Shanghai and Shenzhen exchanges on 2025-06-27 (Xinhua, 3news.cn/redian/2025/0627/
// 1107085.html), in force from 2026-07-06 (github.com/simonlin1212/TradingAgents-astock/
// issues/85; docs.rs/crate/rustdx-complete, src/limit.rs).
inline constexpr std::int32_t kMainBoardSpecialTenPercent = 20260706;
// Trading days without a limit after a listing under the registration rules.
inline constexpr int kRegistrationFreeDays = 5;

// The board of a six-digit code number; `beijing_mark`: the code carried a Beijing
// exchange suffix (.BJ).
Board board_of(std::int32_t code, bool beijing_mark);

// The limit rate in percent on `date` (YYYYMMDD).
int limit_percent(Board board, std::int32_t date, bool special_treatment);

// Trading days from the listing day on without any limit: 5 for registration listings,
// else 1.
int free_days(Board board, std::int32_t listing_date);

// An amount in yuan as an exact decimal in millionths of a yuan (the nearest one).
std::int64_t micro_yuan(double yuan);

// (a / b) rounded half up, for a >= 0 and b > 0.
std::int64_t divide_half_up(std::int64_t a, std::int64_t b);

// The ex-rights reference price in cents: (close - dividend) / split, rounded half up;
// nullopt when it is not a positive number of cents or an input is not a finite number.
// A NaN dividend is none, a NaN or non-positive split is none.
std::optional<std::int64_t> reference_cents(double previous_close, double dividend, double split);

struct LimitCents {
    std::int64_t up;
    std::int64_t down;  // never below one cent
};

LimitCents limit_cents(std::int64_t reference, int percent);

// The tables of a date x stock block. Rows are dates (`dates`, YYYYMMDD, each one of
// `calendar`, the ascending trading dates), columns stocks. `dividend`, `split` and
// `special` may be null (none). `listing` per stock: its listing date, one of `calendar`,
// or 0 when it listed before the calendar (no listing days inside it). Writes row-major
// rows x cols tables of the reference, limit-up and limit-down prices in yuan (NaN: no
// limit, also before the listing).
struct LimitInputs {
    MatrixView previous_close;
    const MatrixView* dividend = nullptr;
    const MatrixView* split = nullptr;
    const MatrixView* special = nullptr;
    std::span<const std::int32_t> codes;
    std::span<const std::uint8_t> beijing;  // empty: no code carried a Beijing suffix
    std::span<const std::int32_t> dates;
    std::span<const std::int32_t> calendar;
    std::span<const std::int32_t> listing;  // empty: every stock listed before the calendar
    // Row-major flags of the block's cells within a stock's rows (null: all): no limit outside.
    const std::uint8_t* within = nullptr;
};

// Throws std::invalid_argument when a date or listing date is not in the calendar. `reference`
// may be null (not wanted).
void limit_tables(const LimitInputs& in, double* reference, double* up, double* down);

}  // namespace lumora::limits
