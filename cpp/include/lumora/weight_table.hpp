#pragma once
// A target-weight table as the engine sees it: a strided view with a selection of its
// rows (dates, in the caller's order) and columns (stocks).

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "lumora/matrix_view.hpp"

namespace lumora {

struct WeightTable {
    MatrixView view;
    std::vector<std::int64_t> rows;  // positions into view rows
    std::vector<std::int64_t> cols;  // positions into view columns

    static WeightTable whole(const MatrixView& view);

    std::int64_t n_rows() const { return static_cast<std::int64_t>(rows.size()); }
    std::int64_t n_cols() const { return static_cast<std::int64_t>(cols.size()); }
    double at(std::int64_t i, std::int64_t j) const {
        return view.value(rows[static_cast<std::size_t>(i)], cols[static_cast<std::size_t>(j)]);
    }

    // Visits every selected cell as fn(i, j, value), in the order the memory is laid out
    // (row by row for row-major tables, column by column for column-major ones).
    template <class Fn>
    void for_each_cell(Fn&& fn) const {
        const bool column_major = std::abs(view.row_stride) < std::abs(view.col_stride);
        const std::int64_t nr = n_rows(), nc = n_cols();
        if (column_major) {
            for (std::int64_t j = 0; j < nc; ++j)
                for (std::int64_t i = 0; i < nr; ++i) fn(i, j, at(i, j));
        } else {
            for (std::int64_t i = 0; i < nr; ++i)
                for (std::int64_t j = 0; j < nc; ++j) fn(i, j, at(i, j));
        }
    }
};

// True for each selected column holding at least one non-NaN weight.
std::vector<bool> columns_with_weights(const WeightTable& table);

// The largest weight the engine accepts, in units of the capital: far beyond any leverage,
// well before share targets stop being finite numbers.
inline constexpr double kMaxWeight = 1e6;

// A weight the engine refuses: infinite, or beyond kMaxWeight in size (NaN is no weight).
inline bool oversized_weight(double v) { return std::fabs(v) > kMaxWeight; }

// What one pass over the cells of a weight table finds: the columns holding a weight, the
// first cell (in row then column order) holding an oversized weight, and the row whose
// gross weight (sum of absolute weights) is largest.
struct WeightScan {
    std::vector<bool> weighted_cols;
    std::int64_t bad_row = -1, bad_col = -1;
    std::int64_t max_gross_row = -1;
    double max_gross = 0.0;
};

WeightScan scan_weights(const WeightTable& table);

// True for each selected row holding at least one non-NaN weight.
std::vector<bool> rows_with_weights(const WeightTable& table);

// The first and the last row holding a weight (-1 when none does), and how many rows
// between them hold none.
struct WeightedRows {
    std::int64_t first = -1, last = -1, empty_between = 0;
};
WeightedRows weighted_rows(const std::vector<bool>& has_weight);

// The positions whose flag is set (the rows or columns of a table to select).
std::vector<std::int64_t> flagged_positions(std::span<const bool> flags);

// Keeps the selected columns that `weighted` (one flag per selected column) marks.
void keep_columns(WeightTable& table, const std::vector<bool>& weighted);

// Rolling mean of the weights over `window` rows, missing weights counted as 0. The first
// window - 1 rows have no mean and are dropped; a mean of exactly zero (no weight inside
// the window) is a missing weight. Returns a row-major rows x cols buffer and, in
// `kept_rows`, the selected-row numbers (0-based, within `table`) the result rows belong to.
std::vector<double> smooth_weights(const WeightTable& table, std::int64_t window, std::vector<std::int64_t>& kept_rows);

}  // namespace lumora
