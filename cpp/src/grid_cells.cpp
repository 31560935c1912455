#include "lumora/grid_cells.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <vector>

namespace lumora::grid {

DenseIndex::DenseIndex(std::span<const std::int32_t> values) {
    if (values.empty()) return;
    const auto [lowest, highest] = std::minmax_element(values.begin(), values.end());
    low_ = *lowest;
    position_.assign(static_cast<std::size_t>(static_cast<std::int64_t>(*highest) - low_ + 1), -1);
    for (const std::int32_t value : values) position_[static_cast<std::size_t>(value - low_)] = 0;
    std::int32_t next = 0;
    for (std::size_t k = 0; k < position_.size(); ++k) {
        if (position_[k] < 0) continue;
        position_[k] = next++;
        distinct_.push_back(static_cast<std::int32_t>(low_ + static_cast<std::int64_t>(k)));
    }
}

template <class Cell>
void grid_cells(std::span<const std::int32_t> date, std::span<const std::int32_t> code,
                std::span<const std::uint8_t> beijing, const DenseIndex& dates, const DenseIndex& codes,
                std::span<Cell> cell, const StockSpans& spans) {
    if (code.size() != date.size() || cell.size() != date.size() || (!beijing.empty() && beijing.size() != date.size()))
        throw std::invalid_argument("date, code, beijing and cell must hold one value per row");
    const std::size_t n_stocks = codes.distinct().size();
    if (spans.beijing.size() != n_stocks || spans.first_day.size() != n_stocks || spans.last_day.size() != n_stocks)
        throw std::invalid_argument("the stocks' spans must hold one value per stock");
    std::fill(spans.beijing.begin(), spans.beijing.end(), std::uint8_t{0});
    std::fill(spans.first_day.begin(), spans.first_day.end(), std::numeric_limits<std::int64_t>::max());
    std::fill(spans.last_day.begin(), spans.last_day.end(), std::int64_t{-1});
    const auto stocks = static_cast<Cell>(n_stocks);
    for (std::size_t row = 0; row < date.size(); ++row) {
        const auto stock = static_cast<std::size_t>(codes.position(code[row]));
        const std::int32_t day = dates.position(date[row]);
        cell[row] = static_cast<Cell>(day) * stocks + static_cast<Cell>(stock);
        if (!beijing.empty() && beijing[row] != 0) spans.beijing[stock] = 1;
        spans.first_day[stock] = std::min<std::int64_t>(spans.first_day[stock], day);
        spans.last_day[stock] = std::max<std::int64_t>(spans.last_day[stock], day);
    }
}

template void grid_cells<std::int32_t>(std::span<const std::int32_t>, std::span<const std::int32_t>,
                                       std::span<const std::uint8_t>, const DenseIndex&, const DenseIndex&,
                                       std::span<std::int32_t>, const StockSpans&);
template void grid_cells<std::int64_t>(std::span<const std::int32_t>, std::span<const std::int32_t>,
                                       std::span<const std::uint8_t>, const DenseIndex&, const DenseIndex&,
                                       std::span<std::int64_t>, const StockSpans&);

bool first_rows(std::span<const std::int64_t> day, std::span<const std::int64_t> stock, std::int64_t n_days,
                std::span<std::int64_t> first_row) {
    if (stock.size() != day.size()) throw std::invalid_argument("day and stock must hold one value per row");
    const auto n_stocks = static_cast<std::int64_t>(first_row.size());
    std::fill(first_row.begin(), first_row.end(), std::int64_t{-1});
    std::vector<bool> taken(static_cast<std::size_t>(std::max<std::int64_t>(n_days, 0) * n_stocks), false);
    bool repeated = false;
    for (std::size_t row = 0; row < day.size(); ++row) {
        const std::int64_t d = day[row], s = stock[row];
        if (d < 0 || d >= n_days || s < 0 || s >= n_stocks)
            throw std::invalid_argument("a row's day or stock position is out of range");
        const auto cell = static_cast<std::size_t>(d * n_stocks + s);
        repeated = repeated || taken[cell];
        taken[cell] = true;
        std::int64_t& first = first_row[static_cast<std::size_t>(s)];
        if (first < 0) first = static_cast<std::int64_t>(row);
    }
    return repeated;
}

}  // namespace lumora::grid
