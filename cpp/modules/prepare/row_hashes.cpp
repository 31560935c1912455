#include "prepare/row_hashes.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "lumora/row_hashes.hpp"

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

}  // namespace

void add_row_hashes(py::module_& m) {
    m.def("day_hash_sums", &day_hash_sums, py::arg("columns"), py::arg("day"), py::arg("n_days"),
          "Per day (0 .. n_days - 1), the sum of its rows' content numbers in [0, 1): each row's values\n"
          "hashed as pandas.util.hash_array hashes them (float64, int64, int32 and bool columns; a\n"
          "uint64 column is taken as hashes already made), combined column by column as\n"
          "h * 0x100000001B3 + next, the top 53 bits as a fraction; rows added in order, as\n"
          "numpy.bincount(day, weights) adds them. `day`: each row's day.");
}

}  // namespace lumora::prepare
