#include "prepare/file_rows.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/frame_bridge.hpp"
#include "lumora/grid_cells.hpp"
#include "lumora/row_hashes.hpp"
#include "lumora/seed_rows.hpp"

namespace lumora::prepare {

namespace py = pybind11;

namespace {

using hashing::ColumnKind;

ColumnKind kind_of(const py::array& column) {
    const py::dtype dtype = column.dtype();
    const char kind = dtype.kind();
    const auto size = dtype.itemsize();
    if (kind == 'f' && size == 8) return ColumnKind::Float64;
    if (kind == 'i' && size == 8) return ColumnKind::Int64;
    if (kind == 'i' && size == 4) return ColumnKind::Int32;
    if (kind == 'b' && size == 1) return ColumnKind::Bool;
    if (kind == 'u' && size == 8) return ColumnKind::Hashed;
    throw py::type_error("column " + std::string(py::str(dtype)) +
                         ": only float64, int64, int32, bool and uint64 (hashes) columns are hashed");
}

py::array_t<double> day_hash_sums(const std::vector<py::array>& columns,
                                  const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& day,
                                  py::ssize_t n_days) {
    if (day.ndim() != 1) throw py::value_error("day must be one-dimensional");
    if (n_days < 0) throw py::value_error("n_days must not be negative");
    const auto rows = static_cast<std::size_t>(day.shape(0));
    std::vector<py::array> held;  // contiguous versions of the columns, alive for the call
    std::vector<hashing::HashColumn> views;
    for (const py::array& column : columns) {
        if (column.ndim() != 1 || static_cast<std::size_t>(column.shape(0)) != rows)
            throw py::value_error("every column must hold one value per row of day");
        const ColumnKind kind = kind_of(column);
        held.push_back(py::array::ensure(column, py::array::c_style));
        views.push_back({kind, held.back().data()});
    }
    py::array_t<double> sums(n_days);
    const std::span<double> out{sums.mutable_data(), static_cast<std::size_t>(n_days)};
    const std::span<const std::int64_t> days{day.data(), rows};
    try {
        // No Python inside: reads the arrays `held` and `day` keep alive and writes the new array.
        py::gil_scoped_release release;
        hashing::day_hash_sums(views, days, rows, out);
    } catch (const std::invalid_argument& error) {
        throw py::value_error(error.what());
    }
    return sums;
}

template <class T>
using Column = py::array_t<T, py::array::c_style | py::array::forcecast>;

template <class T>
std::span<const T> values_of(const Column<T>& column) {
    if (column.ndim() != 1) throw py::value_error("every column must be one-dimensional");
    return {column.data(), static_cast<std::size_t>(column.shape(0))};
}

template <class T>
std::span<const T> values_of(const std::optional<Column<T>>& column) {
    return column ? values_of(*column) : std::span<const T>{};
}

py::array_t<std::int64_t> seed_rows(const Column<std::int32_t>& code, const Column<std::int32_t>& date,
                                    const Column<double>& close, const Column<double>& volume, std::int32_t recent_from,
                                    const std::optional<Column<bool>>& is_suspended,
                                    const std::optional<Column<double>>& adj_factor,
                                    const std::optional<Column<double>>& industry) {
    const std::span<const bool> suspended = values_of(is_suspended);
    const seeds::BarRows rows{values_of(code),
                              values_of(date),
                              values_of(close),
                              values_of(volume),
                              {reinterpret_cast<const std::uint8_t*>(suspended.data()), suspended.size()},
                              values_of(adj_factor),
                              values_of(industry)};
    std::vector<std::int64_t> found;
    try {
        // No Python inside: reads the argument arrays (held by this frame) into a new vector.
        py::gil_scoped_release release;
        found = seeds::seed_rows(rows, recent_from);
    } catch (const std::invalid_argument& error) {
        throw py::value_error(error.what());
    }
    return bridge::copied_array(found);
}

py::tuple grid_cells(const Column<std::int32_t>& date, const Column<std::int32_t>& code,
                     const std::optional<Column<bool>>& beijing) {
    const std::span<const std::int32_t> dates = values_of(date), codes = values_of(code);
    const std::span<const bool> marks = values_of(beijing);
    if (codes.size() != dates.size() || (beijing && marks.size() != dates.size()))
        throw py::value_error("date, code and beijing must hold one value per row");
    std::optional<grid::DenseIndex> date_index, code_index;
    {
        // No Python inside: reads the argument arrays (held by this frame).
        py::gil_scoped_release release;
        date_index.emplace(dates);
        code_index.emplace(codes);
    }
    const auto n_dates = static_cast<std::int64_t>(date_index->distinct().size());
    const auto n_codes = static_cast<std::int64_t>(code_index->distinct().size());
    // Cells in 32 bits where the grid's cells fit them.
    const bool wide = dates.empty() || n_dates * n_codes >= std::numeric_limits<std::int32_t>::max();
    py::array cell = wide ? py::array(py::array_t<std::int64_t>(static_cast<py::ssize_t>(dates.size())))
                          : py::array(py::array_t<std::int32_t>(static_cast<py::ssize_t>(dates.size())));
    py::array_t<bool> beijing_of_stock(static_cast<py::ssize_t>(n_codes));
    py::array_t<std::int64_t> first_day(static_cast<py::ssize_t>(n_codes)), last_day(static_cast<py::ssize_t>(n_codes));
    const std::span<const std::uint8_t> row_marks{reinterpret_cast<const std::uint8_t*>(marks.data()), marks.size()};
    const auto stocks = static_cast<std::size_t>(n_codes);
    const grid::StockSpans spans{{reinterpret_cast<std::uint8_t*>(beijing_of_stock.mutable_data()), stocks},
                                 {first_day.mutable_data(), stocks},
                                 {last_day.mutable_data(), stocks}};
    void* cells = cell.mutable_data();
    {
        // No Python inside: reads the argument arrays (held by this frame) and writes the new ones.
        py::gil_scoped_release release;
        if (wide)
            grid::grid_cells(dates, codes, row_marks, *date_index, *code_index,
                             std::span<std::int64_t>{static_cast<std::int64_t*>(cells), dates.size()}, spans);
        else
            grid::grid_cells(dates, codes, row_marks, *date_index, *code_index,
                             std::span<std::int32_t>{static_cast<std::int32_t*>(cells), dates.size()}, spans);
    }
    return py::make_tuple(bridge::copied_array(date_index->distinct()), bridge::copied_array(code_index->distinct()),
                          cell, beijing_of_stock, first_day, last_day);
}

py::tuple first_rows(const Column<std::int64_t>& day, const Column<std::int64_t>& stock, std::int64_t n_days,
                     py::ssize_t n_stocks) {
    if (n_stocks < 0) throw py::value_error("n_stocks must not be negative");
    const std::span<const std::int64_t> days = values_of(day), stocks = values_of(stock);
    py::array_t<std::int64_t> first(n_stocks);
    const std::span<std::int64_t> out{first.mutable_data(), static_cast<std::size_t>(n_stocks)};
    bool repeated = false;
    try {
        // No Python inside: reads the argument arrays (held by this frame) and writes the new one.
        py::gil_scoped_release release;
        repeated = grid::first_rows(days, stocks, n_days, out);
    } catch (const std::invalid_argument& error) {
        throw py::value_error(error.what());
    }
    return py::make_tuple(repeated, first);
}

}  // namespace

void add_file_rows(py::module_& m) {
    m.def("first_rows", &first_rows, py::arg("day"), py::arg("stock"), py::arg("n_days"), py::arg("n_stocks"),
          "Of rows placed by their date and stock positions (`day` < n_days, `stock` < n_stocks):\n"
          "``(repeated, first_row)``, whether two rows share a (date, stock) cell and each stock's first\n"
          "row (-1: none).");
    m.def("grid_cells", &grid_cells, py::arg("date"), py::arg("code"), py::arg("beijing") = py::none(),
          "Rows placed in the date x stock grid: ``(dates, codes, cell, beijing, first_day, last_day)``,\n"
          "the ascending distinct dates and codes of the rows (int32 numbers of small range, as YYYYMMDD\n"
          "dates and six-digit codes), each row's cell (date position * stocks + stock position; int32\n"
          "where every cell fits, else int64), and per code whether any of its rows is marked in\n"
          "`beijing` and the positions of its first and last date among the dates.");
    m.def("day_hash_sums", &day_hash_sums, py::arg("columns"), py::arg("day"), py::arg("n_days"),
          "Per day (0 .. n_days - 1), the sum of its rows' content numbers in [0, 1): each row's values\n"
          "hashed as pandas.util.hash_array hashes them (float64, int64, int32 and bool columns; a\n"
          "uint64 column is taken as hashes already made), combined column by column as\n"
          "h * 0x100000001B3 + next, the top 53 bits as a fraction; rows added in order, as\n"
          "numpy.bincount(day, weights) adds them. `day`: each row's day.");
    m.def("seed_rows", &seed_rows, py::arg("code"), py::arg("date"), py::arg("close"), py::arg("volume"),
          py::arg("recent_from"), py::kw_only(), py::arg("is_suspended") = py::none(),
          py::arg("adj_factor") = py::none(), py::arg("industry") = py::none(),
          "Ascending positions of the rows a derivation of later days needs, of rows in date order per\n"
          "stock (non-negative code numbers): each stock's last row, last row dated before\n"
          "`recent_from`, last one with a close, last traded one (volume above zero, a close, not\n"
          "suspended), last traded one with an adjustment factor and last one with an industry (when\n"
          "given), and every row dated on or after `recent_from`.");
}

}  // namespace lumora::prepare
