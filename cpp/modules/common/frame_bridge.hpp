#pragma once
// The pandas boundary shared by the extension modules: tables in as strided views,
// labels matched by pandas (Index.get_indexer), results out as frames over arrays that
// C++ filled. Nothing here loops over cells.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/python_module.hpp"
#include "lumora/matrix_view.hpp"
#include "lumora/return_figures.hpp"

namespace lumora::bridge {

namespace py = pybind11;

inline py::module_ pandas() { return py::module_::import("pandas"); }
inline py::module_ numpy() { return py::module_::import("numpy"); }

// ---- argument kinds ---------------------------------------------------------------

// The truth value of a Python object (errors of __bool__ pass through).
inline bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

inline bool is_plain_dict(py::handle obj) { return Py_TYPE(obj.ptr()) == &PyDict_Type; }
inline bool is_plain_str(py::handle obj) { return Py_TYPE(obj.ptr()) == &PyUnicode_Type; }
inline bool is_str(py::handle obj) { return PyUnicode_Check(obj.ptr()) != 0; }

[[noreturn]] inline void raise_type_error(const std::string& message) { throw py::type_error(message); }

inline std::string type_name(py::handle obj) { return py::str(py::type::of(obj).attr("__name__")); }

inline std::string repr_of(py::handle obj) { return py::repr(obj); }

// A number beyond the range of a double (10**400) meets Python's OverflowError when it is
// converted, and an int of thousands of digits its limit on printing integers: neither
// names the argument, so such a number is a value error naming it. Anything else passes to
// the argument's own check.
inline void refuse_beyond_double(py::handle value, const char* name) {
    if (is_str(value) || PyNumber_Check(value.ptr()) == 0) return;
    if (PyFloat_AsDouble(value.ptr()) != -1.0 || PyErr_Occurred() == nullptr) return;
    const bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError) != 0;
    PyErr_Clear();
    if (!overflow) return;
    std::string got = "a " + type_name(value) + " beyond the range of a float";
    if (PyLong_Check(value.ptr())) {
        const double bits = py::float_(value.attr("bit_length")());
        got = "an int of about " + std::to_string(static_cast<long long>(bits * 0.30102999566398120) + 1) + " digits";
    }
    throw py::value_error(std::string(name) + " is out of range, got " + got);
}

// A whole number from an integer, or from any other real number by truncation; anything
// else is a type error naming the argument. The value is checked to fit [lo, hi] before it
// is narrowed, so 2**32 + 5 is refused rather than read as 5.
inline std::int64_t to_truncated_int(py::handle obj, const char* name, std::int64_t lo = INT64_MIN,
                                     std::int64_t hi = INT64_MAX) {
    refuse_beyond_double(obj, name);
    auto out_of_range = [&]() {
        std::string bounds = lo == INT64_MIN ? "" : " (from " + std::to_string(lo);
        if (hi != INT64_MAX) bounds += (bounds.empty() ? " (up to " : " to ") + std::to_string(hi);
        if (!bounds.empty()) bounds += ")";
        return py::value_error(std::string(name) + " is out of range" + bounds + ", got " + repr_of(obj));
    };
    std::int64_t whole = 0;
    if (PyLong_Check(obj.ptr())) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow != 0) throw out_of_range();
        whole = value;
    } else if (!is_str(obj) && PyNumber_Check(obj.ptr()) && py::hasattr(obj, "__float__")) {
        const double value = py::float_(py::reinterpret_borrow<py::object>(obj));
        if (!std::isfinite(value)) throw py::value_error(std::string(name) + " must be finite, got " + repr_of(obj));
        // 2**63 is exact in a double; anything at or beyond it does not fit.
        if (!(std::fabs(std::trunc(value)) < 9223372036854775808.0)) throw out_of_range();
        whole = static_cast<std::int64_t>(std::trunc(value));
    } else {
        raise_type_error(std::string(name) + " must be a number, got " + type_name(obj));
    }
    if (whole < lo || whole > hi) throw out_of_range();
    return whole;
}

// A number as a double (Python's float() of it); one beyond a double's range is a value
// error naming the argument.
inline double to_double(py::handle obj, const char* name) {
    refuse_beyond_double(obj, name);
    return py::float_(py::reinterpret_borrow<py::object>(obj));
}

// Trading-cost scalars: the plainly necessary part of their documented ranges. A negative
// or zero capital, or a rate outside [0, 1), gives numbers that look like results but mean
// nothing, so they are refused naming the argument and its value.
inline double to_capital(py::handle obj, const char* name) {
    const double value = to_double(obj, name);
    if (!std::isfinite(value) || value <= 0.0)
        throw py::value_error(std::string(name) + " must be a finite amount above 0, got " + repr_of(obj));
    return value;
}

inline double to_rate(py::handle obj, const char* name) {
    const double value = to_double(obj, name);
    if (!(value >= 0.0 && value < 1.0))
        throw py::value_error(std::string(name) + " must be a rate in [0, 1), got " + repr_of(obj));
    return value;
}

// A date x stock table: a pandas DataFrame whose dates and stocks are each named once.
// Anything else is a type error saying what was expected; repeated labels a value error
// naming one of them.
inline void require_table(py::handle obj, const char* name) {
    if (!py::isinstance(obj, pandas().attr("DataFrame")))
        raise_type_error(std::string(name) + " must be a pandas DataFrame (dates x stocks), got " + type_name(obj));
    for (const char* axis : {"index", "columns"}) {
        py::object labels = obj.attr(axis);
        if (py::bool_(labels.attr("is_unique"))) continue;
        py::object repeated = labels.attr("__getitem__")(labels.attr("duplicated")()).attr("__getitem__")(0);
        throw py::value_error(std::string(name) + " has a repeated " +
                              (std::string(axis) == "index" ? "date" : "stock") + " label: " + repr_of(repeated));
    }
}

inline bool has_column(py::handle frame, const char* name) {
    return truthy(frame.attr("columns").attr("__contains__")(name));
}

// A (key, value) item of a mapping's items(): a user mapping may yield anything, so the
// pair is checked rather than assumed.
inline std::pair<py::object, py::object> key_value(py::handle item, const char* name) {
    if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2)
        raise_type_error(std::string(name) + ".items() must yield (key, value) pairs, got " + type_name(item));
    return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 0)),
            py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 1))};
}

// ---- tables in --------------------------------------------------------------------

// A table's values kept alive next to the view that reads them.
struct TableArray {
    py::array keep;
    MatrixView view;
};

// What a table's cells mean: numbers (weights, factors, prices), or trading flags, where a
// boolean table is read as it is.
enum class Cells { Numbers, Flags };

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

// numpy writes this machine's own order as '=' (or '|' where order means nothing), but a
// dtype spelt '<f8' or '>f8' keeps its letter.
inline bool native_byte_order(const py::dtype& dtype) {
    const char order = dtype.byteorder();
    const char own = std::endian::native == std::endian::little ? '<' : '>';
    return order == '=' || order == '|' || order == own;
}

// Cells the native core can read where they lie, in any strides: aligned float64 in this
// machine's byte order, or booleans where flags are read.
inline bool readable_in_place(const py::array& a, Cells cells) {
    if ((a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) == 0) return false;
    const py::dtype dtype = a.dtype();
    if (dtype.kind() == 'b') return cells == Cells::Flags;
    return dtype.kind() == 'f' && dtype.itemsize() == 8 && native_byte_order(dtype);
}

[[noreturn]] inline void refuse_cells(const char* name, const std::string& found) {
    raise_type_error(std::string(name) + " must hold numbers (floats, integers or booleans; NaN for missing), got " +
                     found);
}

// A table (or series) of pandas' text dtype: numpy would parse "0.5" as a number, but text is
// data read without its types.
inline void refuse_text(py::handle values, const char* name) {
    py::object text = pandas().attr("StringDtype");
    if (py::int_(values.attr("ndim")) == 1) {
        py::object dtype = values.attr("dtype");
        if (py::isinstance(dtype, text)) refuse_cells(name, "text (dtype " + repr_of(dtype) + ")");
        return;
    }
    for (py::handle dtype : values.attr("dtypes"))
        if (py::isinstance(dtype, text)) refuse_cells(name, "a column of text (dtype " + repr_of(dtype) + ")");
}

// The reader of object cells the requests' clean_matrix uses too, so both accept and refuse
// the same cells.
inline PythonModule clean_matrix_module{"lumora.backtest._clean_matrix"};

// The one conversion of cells that cannot be read in place: other byte orders and widths,
// integers and booleans become float64 in one copy (numpy's astype keeps the layout);
// object and nullable cells are read as real numbers, missing values as NaN. Complex
// numbers, dates, durations, text and bytes (even when they read as a number) and other
// objects are refused naming the argument.
inline py::array float64_cells(py::handle values, const py::array& a, bool pandas_object, const char* name) {
    const char kind = a.dtype().kind();
    if (kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b')
        return py::array(a.attr("astype")(py::dtype::of<double>()));
    if (kind != 'O') refuse_cells(name, "cells of dtype " + std::string(py::str(a.dtype())));
    if (pandas_object) refuse_text(values, name);
    try {
        return py::array(clean_matrix_module.attr("object_cells_as_float")(a));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_TypeError)) throw;
        refuse_cells(name, py::str(error.value()));
    }
}

// Every numeric argument of the bindings, a table or a series, enters here: its values
// (of a DataFrame, a Series, an Index or anything array-like) are returned without a copy
// when the core can read them in place; anything else is converted once, or refused with a
// type error naming the argument.
inline py::array float64_values(py::handle values, const char* name, Cells cells = Cells::Numbers) {
    const bool pandas_object = py::hasattr(values, "to_numpy");
    py::array a = pandas_object ? py::array(values.attr("to_numpy")()) : py::array(numpy().attr("asarray")(values));
    if (!readable_in_place(a, cells)) a = float64_cells(values, a, pandas_object, name);
    return a;
}

inline TableArray table_values(py::handle table, const char* name, Cells cells = Cells::Numbers) {
    py::array a = float64_values(table, name, cells);
    TableArray out{a, view_of(a)};
    return out;
}

// A one-dimensional argument (a benchmark series, a chart series) as float64 values, read
// where they lie in any stride.
struct SeriesValues {
    py::array keep;
    const std::byte* data = nullptr;
    std::size_t size = 0;
    py::ssize_t stride = 0;

    double operator[](std::size_t i) const {
        return *reinterpret_cast<const double*>(data + static_cast<py::ssize_t>(i) * stride);
    }
    std::vector<double> to_vector() const {
        std::vector<double> out(size);
        for (std::size_t i = 0; i < size; ++i) out[i] = (*this)[i];
        return out;
    }
};

// The values as one contiguous float64 array, rows first: a copy only where they lie in
// another order or stride.
inline py::array_t<double> contiguous_float64(py::handle values, const char* name) {
    return py::array_t<double, py::array::c_style | py::array::forcecast>(float64_values(values, name));
}

inline SeriesValues series_values(py::handle series, const char* name) {
    py::array a = float64_values(series, name);
    if (a.ndim() != 1) throw py::value_error(std::string(name) + " must be one-dimensional");
    SeriesValues out;
    out.data = static_cast<const std::byte*>(a.data());
    out.size = static_cast<std::size_t>(a.shape(0));
    out.stride = a.strides(0);
    out.keep = std::move(a);
    return out;
}

// For every wanted label, its position in `index`, or -1 (pandas' own label matching).
inline std::vector<std::int64_t> positions(py::handle index, py::handle labels) {
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> pos(index.attr("get_indexer")(labels));
    return std::vector<std::int64_t>(pos.data(), pos.data() + pos.size());
}

// A date-indexed series' values on `dates` (pandas' label matching), as float64: NaN where a
// date is absent from the series or its value is missing.
inline std::vector<double> values_on(py::handle series, py::handle dates, const char* name) {
    const std::vector<std::int64_t> pos = positions(series.attr("index"), dates);
    const SeriesValues values = series_values(series, name);
    std::vector<double> out(pos.size(), std::nan(""));
    for (std::size_t k = 0; k < pos.size(); ++k)
        if (pos[k] >= 0) out[k] = values[static_cast<std::size_t>(pos[k])];
    return out;
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
inline AlignedTable aligned_table(py::handle table, py::handle row_labels, py::handle col_labels, const char* name,
                                  Cells cells = Cells::Numbers) {
    TableArray values = table_values(table, name, cells);
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

// A new array holding a copy of the vector's cells.
template <class T>
py::array_t<T> copied_array(const std::vector<T>& values) {
    py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

inline py::array_t<double> vector_array(const std::vector<double>& values) { return copied_array(values); }

// Positions as the int64 array that Index.take and iloc read.
inline py::array_t<std::int64_t> index_array(const std::vector<std::int64_t>& positions) {
    return copied_array(positions);
}

// The vector's cells as an array without a copy: the array owns the vector from now on.
template <class T>
py::array_t<T> owned_array(std::vector<T>&& values) {
    auto* owner = new std::vector<T>(std::move(values));
    const py::capsule keep(owner, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>(static_cast<py::ssize_t>(owner->size()), owner->data(), keep);
}

inline py::object series(py::handle values, py::handle index, py::handle name = py::none()) {
    return pandas().attr("Series")(values, py::arg("index") = index, py::arg("name") = name, py::arg("copy") = false);
}

inline py::object frame(py::handle values, py::handle index, py::handle columns) {
    return pandas().attr("DataFrame")(values, py::arg("index") = index, py::arg("columns") = columns,
                                      py::arg("copy") = false);
}

// Whole numbers (years, months) as an int64 index named `name`.
inline py::object int64_index(const std::vector<std::int32_t>& values, const char* name) {
    py::list labels;
    for (const std::int32_t v : values) labels.append(v);
    return pandas().attr("Index")(labels, py::arg("name") = name, py::arg("dtype") = "int64");
}

// A year x month grid as a frame: rows the years, columns the months 1 to 12.
inline py::object month_grid_frame(const MonthGrid& grid) {
    py::array_t<double> values({static_cast<py::ssize_t>(grid.years.size()), py::ssize_t{12}});
    std::copy(grid.cells.begin(), grid.cells.end(), values.mutable_data());
    std::vector<std::int32_t> months;
    for (std::int32_t m = 1; m <= 12; ++m) months.push_back(m);
    return frame(values, int64_index(grid.years, "year"), int64_index(months, "month"));
}

inline py::object empty_float_series() { return pandas().attr("Series")(py::arg("dtype") = "float64"); }

}  // namespace lumora::bridge
