#include "lumora/block_copier.hpp"

#include <cstring>
#include <limits>
#include <type_traits>

namespace lumora {

namespace {

constexpr std::ptrdiff_t kAbsent = std::numeric_limits<std::ptrdiff_t>::min();  // strides may be negative

// Equal steps between the offsets, or nothing when one is absent or the steps differ.
std::optional<std::ptrdiff_t> even_step(const std::vector<std::ptrdiff_t>& offsets) {
    if (offsets.empty() || offsets.front() == kAbsent) return std::nullopt;
    const std::ptrdiff_t step = offsets.size() > 1 ? offsets[1] - offsets[0] : 0;
    for (std::size_t k = 1; k < offsets.size(); ++k)
        if (offsets[k] == kAbsent || offsets[k] - offsets[k - 1] != step) return std::nullopt;
    return step;
}

// A plain strided block, read in its memory order, asking the cache for runs ahead as
// visit_block does.
template <class Cell>
void copy_block(const StridedBlock& block, bool by_column, std::int64_t span, std::int64_t width, double* out,
                std::ptrdiff_t row_step, std::ptrdiff_t col_step) {
    constexpr std::int64_t kLine = 64 / sizeof(Cell);
    auto at = [&](std::int64_t b, std::int64_t k) {
        return static_cast<double>(*reinterpret_cast<const Cell*>(block.origin + b * block.row + k * block.col));
    };
    // A run the table keeps contiguous going to a contiguous run of `out` (a row-major
    // table's dates copied date-major, a column-major one's stocks stock-major): a plain
    // copy the compiler vectorises, which the hardware prefetches on its own.
    const bool rows_contiguous = !by_column && block.col == sizeof(Cell) && col_step == 1;
    const bool cols_contiguous = by_column && block.row == sizeof(Cell) && row_step == 1;
    if (rows_contiguous || cols_contiguous) {
        const std::int64_t runs = rows_contiguous ? span : width, length = rows_contiguous ? width : span;
        const std::ptrdiff_t from_step = rows_contiguous ? block.row : block.col;
        const std::ptrdiff_t to_step = rows_contiguous ? row_step : col_step;
        for (std::int64_t r = 0; r < runs; ++r) {
            const auto* from = reinterpret_cast<const Cell*>(block.origin + r * from_step);
            double* to = out + r * to_step;
            if constexpr (std::is_same_v<Cell, double>)
                std::memcpy(to, from, static_cast<std::size_t>(length) * sizeof(double));
            else
                for (std::int64_t k = 0; k < length; ++k) to[k] = static_cast<double>(from[k]);
        }
        return;
    }
    if (by_column) {
        for (std::int64_t k = 0; k < width; ++k) {
            if (k + kAhead < width)
                for (std::int64_t b = 0; b < span; b += kLine)
                    __builtin_prefetch(block.origin + b * block.row + (k + kAhead) * block.col);
            for (std::int64_t b = 0; b < span; ++b) out[b * row_step + k * col_step] = at(b, k);
        }
    } else {
        for (std::int64_t b = 0; b < span; ++b) {
            if (b + kAhead < span)
                for (std::int64_t k = 0; k < width; k += kLine)
                    __builtin_prefetch(block.origin + (b + kAhead) * block.row + k * block.col);
            for (std::int64_t k = 0; k < width; ++k) out[b * row_step + k * col_step] = at(b, k);
        }
    }
}

// Any other block, label by label, with the offsets locate() found.
template <class Cell>
void copy_labelled(const AlignedMatrix& table, const std::vector<std::ptrdiff_t>& rows,
                   const std::vector<std::ptrdiff_t>& cols, std::int64_t first, std::int64_t last, std::int64_t j0,
                   std::int64_t j1, double* out, std::ptrdiff_t row_step, std::ptrdiff_t col_step) {
    visit_block(table, first, last, j0, j1, [&](std::int64_t b, std::int64_t j) {
        const std::ptrdiff_t row = rows[static_cast<std::size_t>(b)], col = cols[static_cast<std::size_t>(j - j0)];
        out[b * row_step + (j - j0) * col_step] =
            row == kAbsent || col == kAbsent
                ? kNaN
                : static_cast<double>(*reinterpret_cast<const Cell*>(table.view.data + row + col));
    });
}

}  // namespace

void BlockCopier::copy(const AlignedMatrix& table, std::int64_t first, std::int64_t last, std::int64_t j0,
                       std::int64_t j1, double* out, std::ptrdiff_t row_step, std::ptrdiff_t col_step) {
    const std::optional<StridedBlock> block = strided(table, first, last, j0, j1);
    const bool by_column = column_major(table);
    const bool flags = table.view.kind == CellKind::Bool;
    if (block && flags)
        copy_block<bool>(*block, by_column, last - first, j1 - j0, out, row_step, col_step);
    else if (block)
        copy_block<double>(*block, by_column, last - first, j1 - j0, out, row_step, col_step);
    else if (flags)
        copy_labelled<bool>(table, rows_, cols_, first, last, j0, j1, out, row_step, col_step);
    else
        copy_labelled<double>(table, rows_, cols_, first, last, j0, j1, out, row_step, col_step);
}

std::optional<StridedBlock> BlockCopier::strided(const AlignedMatrix& table, std::int64_t first, std::int64_t last,
                                                 std::int64_t j0, std::int64_t j1) {
    locate(table, first, last, j0, j1);
    const std::optional<std::ptrdiff_t> row = even_step(rows_), col = even_step(cols_);
    if (!row || !col) return std::nullopt;
    return StridedBlock{table.view.data + rows_.front() + cols_.front(), *row, *col, table.view.kind};
}

std::optional<StridedBlock> BlockCopier::float_rows(const AlignedMatrix& table, std::int64_t first, std::int64_t last,
                                                    std::int64_t j0, std::int64_t j1) {
    if (table.view.kind != CellKind::Float64) return std::nullopt;
    const std::optional<StridedBlock> block = strided(table, first, last, j0, j1);
    if (!block || block->col != static_cast<std::ptrdiff_t>(sizeof(double))) return std::nullopt;
    return block;
}

// Byte offsets of the block's rows and columns, looked up once per block.
void BlockCopier::locate(const AlignedMatrix& table, std::int64_t first, std::int64_t last, std::int64_t j0,
                         std::int64_t j1) {
    rows_.resize(static_cast<std::size_t>(last - first));
    for (std::int64_t b = 0; b < last - first; ++b) {
        const std::int64_t r = table.row_pos[static_cast<std::size_t>(first + b)];
        rows_[static_cast<std::size_t>(b)] = r < 0 ? kAbsent : r * table.view.row_stride;
    }
    cols_.resize(static_cast<std::size_t>(j1 - j0));
    for (std::int64_t j = j0; j < j1; ++j) {
        const std::int64_t c = table.col_pos[static_cast<std::size_t>(j)];
        cols_[static_cast<std::size_t>(j - j0)] = c < 0 ? kAbsent : c * table.view.col_stride;
    }
}

}  // namespace lumora
