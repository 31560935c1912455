#pragma once
// The pandas boundary shared by the extension modules: tables in as strided views,
// labels matched by pandas (Index.get_indexer), results out as frames over arrays that
// C++ filled. Nothing here loops over cells.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "lumora/matrix_view.hpp"

namespace lumora::bridge {

namespace py = pybind11;

inline py::module_ pandas() { return py::module_::import("pandas"); }
inline py::module_ numpy() { return py::module_::import("numpy"); }

// ---- argument kinds ---------------------------------------------------------------

inline bool is_plain_dict(py::handle obj) { return Py_TYPE(obj.ptr()) == &PyDict_Type; }
inline bool is_plain_str(py::handle obj) { return Py_TYPE(obj.ptr()) == &PyUnicode_Type; }
inline bool is_str(py::handle obj) { return PyUnicode_Check(obj.ptr()) != 0; }

[[noreturn]] inline void raise_type_error(const std::string& message) { throw py::type_error(message); }

// A whole number from an integer, or from any other real number by truncation; anything
// else is a type error naming the argument.
inline std::int64_t to_truncated_int(py::handle obj, const char* name) {
    if (PyLong_Check(obj.ptr())) return obj.cast<std::int64_t>();
    if (!is_str(obj) && PyNumber_Check(obj.ptr()) && py::hasattr(obj, "__float__")) {
        const double value = py::float_(py::reinterpret_borrow<py::object>(obj));
        if (!std::isfinite(value)) throw py::value_error(std::string(name) + " must be finite");
        return static_cast<std::int64_t>(std::trunc(value));
    }
    raise_type_error(std::string(name) + " must be a number, got " +
                     std::string(py::str(py::type::of(obj).attr("__name__"))));
}

inline double to_double(py::handle obj) { return py::float_(py::reinterpret_borrow<py::object>(obj)); }

// ---- tables in --------------------------------------------------------------------

// A table's values kept alive next to the view that reads them.
struct TableArray {
    py::array keep;
    MatrixView view;
};

inline MatrixView view_of(const py::array& a) {
    if (a.ndim() != 2) throw py::value_error("expected a two-dimensional table");
    MatrixView v;
    v.data = static_cast<const std::byte*>(a.data());
    v.rows = a.shape(0);
    v.cols = a.shape(1);
    v.row_stride = a.strides(0);
    v.col_stride = a.strides(1);
    v.kind = a.dtype().kind() == 'b' ? CellKind::Bool : CellKind::Float64;
    return v;
}

// The values of a DataFrame (or anything array-like) without a copy when they already
// are float64 or bool; any other dtype (object, nullable, integers) is converted to
// float64 with NaN for missing cells.
inline TableArray table_values(py::handle table) {
    const bool frame = py::hasattr(table, "to_numpy");
    py::array a = frame ? py::array(table.attr("to_numpy")()) : py::array(numpy().attr("asarray")(table));
    const char kind = a.dtype().kind();
    const bool usable = (kind == 'f' && a.itemsize() == 8) || (kind == 'b' && a.itemsize() == 1);
    if (!usable) {
        py::object np_nan = numpy().attr("nan");
        a = frame ? py::array(table.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = np_nan))
                  : py::array(numpy().attr("asarray")(a, py::arg("dtype") = "float64"));
    }
    TableArray out{a, view_of(a)};
    return out;
}

// For every wanted label, its position in `index`, or -1 (pandas' own label matching).
inline std::vector<std::int64_t> positions(py::handle index, py::handle labels) {
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> pos(index.attr("get_indexer")(labels));
    return std::vector<std::int64_t>(pos.data(), pos.data() + pos.size());
}

inline std::vector<std::int64_t> all_positions(std::int64_t n) {
    std::vector<std::int64_t> out(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = i;
    return out;
}

struct AlignedTable {
    py::array keep;
    AlignedMatrix matrix;
};

// `table` seen through the wanted row and column labels.
inline AlignedTable aligned_table(py::handle table, py::handle row_labels, py::handle col_labels) {
    TableArray values = table_values(table);
    AlignedTable out;
    out.keep = values.keep;
    out.matrix.view = values.view;
    out.matrix.row_pos = positions(table.attr("index"), row_labels);
    out.matrix.col_pos = positions(table.attr("columns"), col_labels);
    return out;
}

// Labels as C++ text (dates as YYYYMMDD and stock codes are text already).
inline std::vector<std::string> labels_as_text(py::handle index) {
    std::vector<std::string> out;
    py::list items = index.attr("tolist")();
    out.reserve(items.size());
    for (py::handle item : items) out.push_back(py::str(item));
    return out;
}

// ---- results out ------------------------------------------------------------------

inline py::array_t<double> vector_array(const std::vector<double>& values) {
    py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

inline py::object series(py::handle values, py::handle index, py::handle name = py::none()) {
    return pandas().attr("Series")(values, py::arg("index") = index, py::arg("name") = name, py::arg("copy") = false);
}

inline py::object frame(py::handle values, py::handle index, py::handle columns) {
    return pandas().attr("DataFrame")(values, py::arg("index") = index, py::arg("columns") = columns,
                                      py::arg("copy") = false);
}

inline py::object empty_float_series() { return pandas().attr("Series")(py::arg("dtype") = "float64"); }

}  // namespace lumora::bridge
