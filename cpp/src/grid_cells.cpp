#include "lumora/grid_cells.hpp"

#include <algorithm>
#include <stdexcept>

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
                std::span<Cell> cell, std::span<std::uint8_t> beijing_of_stock) {
    if (code.size() != date.size() || cell.size() != date.size() || (!beijing.empty() && beijing.size() != date.size()))
        throw std::invalid_argument("date, code, beijing and cell must hold one value per row");
    if (beijing_of_stock.size() != codes.distinct().size())
        throw std::invalid_argument("beijing_of_stock must hold one value per stock");
    const auto stocks = static_cast<Cell>(codes.distinct().size());
    std::fill(beijing_of_stock.begin(), beijing_of_stock.end(), std::uint8_t{0});
    for (std::size_t row = 0; row < date.size(); ++row) {
        const std::int32_t stock = codes.position(code[row]);
        cell[row] = static_cast<Cell>(dates.position(date[row])) * stocks + static_cast<Cell>(stock);
        if (!beijing.empty() && beijing[row] != 0) beijing_of_stock[static_cast<std::size_t>(stock)] = 1;
    }
}

template void grid_cells<std::int32_t>(std::span<const std::int32_t>, std::span<const std::int32_t>,
                                       std::span<const std::uint8_t>, const DenseIndex&, const DenseIndex&,
                                       std::span<std::int32_t>, std::span<std::uint8_t>);
template void grid_cells<std::int64_t>(std::span<const std::int32_t>, std::span<const std::int32_t>,
                                       std::span<const std::uint8_t>, const DenseIndex&, const DenseIndex&,
                                       std::span<std::int64_t>, std::span<std::uint8_t>);

}  // namespace lumora::grid
