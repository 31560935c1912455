#pragma once
// Rows of daily bars placed in the date x stock grid: the distinct dates and stocks of the
// rows (ascending) and each row's cell, row-major (date position * stocks + stock position).

#include <cstdint>
#include <span>
#include <vector>

namespace lumora::grid {

// The sorted distinct values of a column of small-ranged numbers (YYYYMMDD dates, six-digit
// codes) and each value's position among them, by a lookup table over their range.
class DenseIndex {
public:
    explicit DenseIndex(std::span<const std::int32_t> values);
    const std::vector<std::int32_t>& distinct() const { return distinct_; }
    std::int32_t position(std::int32_t value) const {
        return position_[static_cast<std::size_t>(static_cast<std::int64_t>(value) - low_)];
    }

private:
    std::int64_t low_ = 0;
    std::vector<std::int32_t> position_;  // by value - low; -1: not a value of the column
    std::vector<std::int32_t> distinct_;
};

// Per stock (one per distinct code): whether any of its rows is marked on the Beijing
// exchange, and the positions of its first and last date among the dates.
struct StockSpans {
    std::span<std::uint8_t> beijing;
    std::span<std::int64_t> first_day;
    std::span<std::int64_t> last_day;
};

// Each row's cell into `cell` (as many as rows) and the stocks' `spans`; `beijing`: the
// rows' marks (empty: none). std::invalid_argument when the columns differ in length.
template <class Cell>
void grid_cells(std::span<const std::int32_t> date, std::span<const std::int32_t> code,
                std::span<const std::uint8_t> beijing, const DenseIndex& dates, const DenseIndex& codes,
                std::span<Cell> cell, const StockSpans& spans);

// Of rows placed by their date and stock positions (`day` < n_days, `stock` < n_stocks):
// whether two rows share a cell, and each stock's first row into `first_row` (one per stock;
// -1: a stock without rows). std::invalid_argument when the columns differ in length or a
// position is out of range.
bool first_rows(std::span<const std::int64_t> day, std::span<const std::int64_t> stock, std::int64_t n_days,
                std::span<std::int64_t> first_row);

}  // namespace lumora::grid
