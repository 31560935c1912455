#include "lumora/prepared_derivation.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "lumora/radix_sort.hpp"
#include "lumora/ranking.hpp"

namespace lumora::prepared {

namespace {

bool present(const AlignedMatrix& m, std::int64_t r, std::int64_t c) {
    return m.row_pos[static_cast<std::size_t>(r)] >= 0 && m.col_pos[static_cast<std::size_t>(c)] >= 0;
}

// Whether a table's cells lie row by row (the sources' date x stock tables) rather than
// column by column (tables pivoted from narrow rows).
bool row_major(const MatrixView& table) { return table.col_stride <= table.row_stride; }

// Columns visited together where the inputs lie column by column: a cache line of the
// result.
constexpr std::int64_t kColumnGroup = 8;

// Calls cell(r, c) for every cell of a rows x cols result (each cell on its own, so the
// order changes no result). The result is row-major: with row-major inputs row by row, so
// that every table is read and written in order (at 2,500 x 5,000 the derivations of the
// file source's tables took 0.35 s instead of 0.75 s column by column); with column-major
// inputs a few columns at a time, row by row across them, so each input is still read in
// order and the result a cache line at a time.
template <class Cell>
void for_each_cell(std::int64_t rows, std::int64_t cols, bool by_rows, Cell&& cell) {
    if (by_rows) {
        for (std::int64_t r = 0; r < rows; ++r)
            for (std::int64_t c = 0; c < cols; ++c) cell(r, c);
        return;
    }
    for (std::int64_t first = 0; first < cols; first += kColumnGroup) {
        const std::int64_t last = std::min(first + kColumnGroup, cols);
        for (std::int64_t r = 0; r < rows; ++r)
            for (std::int64_t c = first; c < last; ++c) cell(r, c);
    }
}

constexpr double kInfinity = std::numeric_limits<double>::infinity();

std::size_t cell_at(std::int64_t r, std::int64_t c, std::int64_t cols) {
    return static_cast<std::size_t>(r * cols + c);
}

}  // namespace

void close_validity(const MatrixView& close, double* out) {
    for_each_cell(close.rows, close.cols, row_major(close), [&](std::int64_t r, std::int64_t c) {
        // inf * 0 is NaN, so only finite closes are valid.
        out[cell_at(r, c, close.cols)] = std::isfinite(close.value(r, c)) ? 1.0 : kNaN;
    });
}

void previous_row(const MatrixView& table, double* out) {
    for_each_cell(table.rows, table.cols, row_major(table), [&](std::int64_t r, std::int64_t c) {
        out[cell_at(r, c, table.cols)] = r == 0 ? kNaN : table.value(r - 1, c);
    });
}

void split_factor(const AlignedMatrix& split_source, const AlignedMatrix& validity, double* out) {
    const std::int64_t cols = split_source.cols();
    for_each_cell(split_source.rows(), cols, row_major(split_source.view), [&](std::int64_t r, std::int64_t c) {
        out[cell_at(r, c, cols)] = split_source.value(r, c) / 10.0 * validity.value(r, c);
    });
}

void dividend_factor(const AlignedMatrix& dividend_source, const AlignedMatrix& validity, double* out) {
    const std::int64_t cols = dividend_source.cols();
    for_each_cell(dividend_source.rows(), cols, row_major(validity.view), [&](std::int64_t r, std::int64_t c) {
        const double after_tax = dividend_source.value(r, c) / 10.0 * 0.9;
        out[cell_at(r, c, cols)] = after_tax + (validity.value(r, c) - 1.0);
    });
}

void tradability_flags(const AlignedMatrix& price, const AlignedMatrix& limit, const AlignedMatrix& suspended,
                       FlagSense sense, bool* out) {
    const std::int64_t cols = price.cols();
    for_each_cell(price.rows(), cols, row_major(price.view), [&](std::int64_t r, std::int64_t c) {
        const double value = present(price, r, c) ? price.value(r, c) : kNaN;
        // NaN never equals a limit, and a missing limit never equals a price.
        const bool at_limit = value == limit.value(r, c);
        const bool suspended_day = suspended.value(r, c) == 1.0;
        // A day without a usable price (a trading day whose price is missing, a day the
        // stock is not listed) is no day to trade: a trade there would be booked at a price
        // that does not exist.
        const bool no_price = !(value > 0.0 && value < kInfinity);
        const bool blocked = at_limit || suspended_day || no_price;
        out[cell_at(r, c, cols)] = sense == FlagSense::Blocked ? blocked : !blocked;
    });
}

// A member is a finite non-zero value of the source.
inline bool is_member(double v) { return std::isfinite(v) && v != 0.0; }

void membership_mask(const MatrixView& source, double* out) {
    for_each_cell(source.rows, source.cols, row_major(source), [&](std::int64_t r, std::int64_t c) {
        out[cell_at(r, c, source.cols)] = is_member(source.value(r, c)) ? 1.0 : kNaN;
    });
}

bool any_member(const MatrixView& source) {
    auto member = [&](std::int64_t r, std::int64_t c) { return is_member(source.value(r, c)); };
    // In the order the cells lie, so a table without members is read once from start to end.
    if (row_major(source)) {
        for (std::int64_t r = 0; r < source.rows; ++r)
            for (std::int64_t c = 0; c < source.cols; ++c)
                if (member(r, c)) return true;
    } else {
        for (std::int64_t c = 0; c < source.cols; ++c)
            for (std::int64_t r = 0; r < source.rows; ++r)
                if (member(r, c)) return true;
    }
    return false;
}

void forward_open_rank(const MatrixView& open, double* out) {
    const std::int64_t rows = open.rows;
    const std::int64_t cols = open.cols;
    std::vector<double> values;
    std::vector<std::int64_t> where;
    std::vector<double> ranks;
    RadixScratch scratch;
    values.reserve(static_cast<std::size_t>(cols));
    where.reserve(static_cast<std::size_t>(cols));
    // Every cell NaN first; then each row's ranks.
    std::fill(out, out + rows * cols, kNaN);
    for (std::int64_t r = 0; r + 2 < rows; ++r) {
        values.clear();
        where.clear();
        for (std::int64_t c = 0; c < cols; ++c) {
            const double ret = open.value(r + 2, c) / open.value(r + 1, c) - 1.0;
            if (!std::isfinite(ret)) continue;  // missing opens and zero divisors
            values.push_back(ret);
            where.push_back(c);
        }
        average_ranks(values.data(), values.size(), ranks, scratch);
        for (std::size_t k = 0; k < values.size(); ++k) out[cell_at(r, where[k], cols)] = ranks[k];
    }
}

}  // namespace lumora::prepared
