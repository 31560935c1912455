#pragma once
// Dates and stock codes as the engines match them. Every table an engine function takes is
// read under normalised labels: rows as YYYYMMDD text, columns as six-digit codes, both
// read by the one parser each of lumora._labels that the requests' clean_matrix uses, so
// a DatetimeIndex, integer dates, integer codes or "600000.SH" align as they do in a
// request. Labels already in that form are recognised here without a call into Python, and
// a table whose labels are is used as it is.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/frame_bridge.hpp"
#include "common/python_module.hpp"

namespace lumora::bridge {

inline PythonModule labels_module{"lumora._labels"};

enum class Axis { Dates, Stocks };

namespace detail {

inline bool all_digits(const char* s, Py_ssize_t n) {
    for (Py_ssize_t k = 0; k < n; ++k)
        if (s[k] < '0' || s[k] > '9') return false;
    return true;
}

inline int number(const char* s, int n) {
    int out = 0;
    for (int k = 0; k < n; ++k) out = out * 10 + (s[k] - '0');
    return out;
}

// Eight digits naming a day of the (proleptic Gregorian) calendar from year 1 on.
inline bool calendar_date(const char* s) {
    const int year = number(s, 4), month = number(s + 4, 2), day = number(s + 6, 2);
    if (year < 1 || month < 1 || month > 12 || day < 1) return false;
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// One label in its normalised form: text of eight digits naming a date, or of six digits
// naming a code (000000 names none).
inline bool normalised_label(PyObject* label, Axis axis) {
    if (!PyUnicode_Check(label) || !PyUnicode_IS_COMPACT_ASCII(label)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(label);
    const auto* s = static_cast<const char*>(PyUnicode_DATA(label));
    if (axis == Axis::Dates) return n == 8 && all_digits(s, n) && calendar_date(s);
    return n == 6 && all_digits(s, n) && number(s, 6) != 0;
}

// True when every label of `index` (a pandas Index) is already in its normalised form.
inline bool already_normalised(py::handle index, Axis axis) {
    if (index.attr("nlevels").cast<int>() != 1) return false;
    if (std::string(py::str(index.attr("dtype").attr("kind"))) != "O") return false;  // dates, numbers
    const py::array labels(index.attr("to_numpy")(py::arg("dtype") = "object"));
    const auto* data = static_cast<const std::byte*>(labels.data());
    const py::ssize_t stride = labels.ndim() == 1 ? labels.strides(0) : 0;
    for (py::ssize_t k = 0; k < labels.size(); ++k)
        if (!normalised_label(*reinterpret_cast<PyObject* const*>(data + k * stride), axis)) return false;
    return true;
}

// A value error of lumora._labels with the argument named in front.
[[noreturn]] inline void rethrow_naming(py::error_already_set& error, const std::string& name) {
    if (!error.matches(PyExc_ValueError)) throw;
    throw py::value_error(name + ": " + std::string(py::str(error.value())));
}

}  // namespace detail

// The normalised labels of one call, kept so that tables sharing their labels (the market
// tables of one store) are read once.
class LabelBook {
public:
    // `labels` (a table's index or columns) normalised: the same Index when it already is,
    // else a new text Index in the same order. Labels that are no dates (codes), or two that
    // become one, are a value error naming the argument `name`.
    py::object normalised(py::handle labels, Axis axis, const std::string& name) {
        for (const Entry& e : seen_)
            if (e.axis == axis && same_labels(e.given, labels)) return e.normalised;
        py::object given = py::reinterpret_borrow<py::object>(labels);
        py::object out = given;
        if (!detail::already_normalised(given, axis)) {
            const bool dates = axis == Axis::Dates;
            try {
                py::object text = labels_module.attr(dates ? "date_labels" : "stock_labels")(given);
                labels_module.attr("reject_duplicates")(text, given, dates ? "dates" : "stocks");
                out = pandas().attr("Index")(text, py::arg("dtype") = "str", py::arg("name") = given.attr("name"));
            } catch (py::error_already_set& error) {
                detail::rethrow_naming(error, name);
            }
            seen_.push_back({axis, out, out});
        }
        seen_.push_back({axis, given, out});
        return out;
    }

private:
    struct Entry {
        Axis axis;
        py::object given, normalised;
    };

    // The same labels: the same Index, or equal labels of one dtype other than object (for
    // object labels equality would take True for 1).
    static bool same_labels(py::handle seen, py::handle labels) {
        if (seen.is(labels)) return true;
        py::object dtype = seen.attr("dtype");
        if (std::string(py::str(dtype.attr("kind"))) == "O" && !is_text_dtype(dtype)) return false;
        const py::object other = labels.attr("dtype");
        return dtype.equal(other) && truthy(seen.attr("equals")(labels));
    }

    static bool is_text_dtype(py::handle dtype) { return py::isinstance(dtype, pandas().attr("StringDtype")); }

    std::vector<Entry> seen_;
};

// `table` (a date x stock DataFrame, see require_table) under normalised labels: the table
// itself when both axes already are, else a new frame over the same values (no cell is
// copied).
inline py::object normalised_table(py::handle table, const char* name, LabelBook& book) {
    require_table(table, name);
    py::object index = table.attr("index"), columns = table.attr("columns");
    py::object rows = book.normalised(index, Axis::Dates, std::string(name) + " (row labels)");
    py::object cols = book.normalised(columns, Axis::Stocks, std::string(name) + " (column labels)");
    py::object out = py::reinterpret_borrow<py::object>(table);
    if (!rows.is(index)) out = out.attr("set_axis")(rows, py::arg("axis") = 0);
    if (!cols.is(columns)) out = out.attr("set_axis")(cols, py::arg("axis") = 1);
    return out;
}

// Positions of `index`'s labels in ascending order (normalised labels sort by date and by
// code as text), leaving out those whose flag in `keep` (one per label, when given) is not
// set.
inline std::vector<std::int64_t> ascending_positions(py::handle index, std::span<const bool> keep = {}) {
    std::vector<std::int64_t> order;
    if (py::bool_(index.attr("is_monotonic_increasing"))) {
        order = all_positions(static_cast<std::int64_t>(py::len(index)));
    } else {
        py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> sorted(
            index.attr("argsort")(py::arg("kind") = "stable"));
        order.assign(sorted.data(), sorted.data() + sorted.size());
    }
    if (keep.empty()) return order;
    std::erase_if(order, [&](std::int64_t p) { return !keep[static_cast<std::size_t>(p)]; });
    return order;
}

// The labels at `positions`: `index` itself when they are all of its labels in its order.
inline py::object labels_at(py::handle index, const std::vector<std::int64_t>& positions) {
    bool whole = positions.size() == static_cast<std::size_t>(py::len(index));
    for (std::size_t k = 0; whole && k < positions.size(); ++k) whole = positions[k] == static_cast<std::int64_t>(k);
    if (whole) return py::reinterpret_borrow<py::object>(index);
    return index.attr("take")(index_array(positions));
}

// The labels in ascending order: `index` itself when they already are.
inline py::object ascending(py::handle index) {
    if (py::bool_(index.attr("is_monotonic_increasing"))) return py::reinterpret_borrow<py::object>(index);
    return index.attr("sort_values")();
}

// `table` with its rows in ascending date order: the table itself when they already are,
// else a sorted copy. For tables whose row order is their calendar (the opens a forward
// return runs along).
inline py::object rows_in_date_order(py::handle table) {
    if (py::bool_(table.attr("index").attr("is_monotonic_increasing")))
        return py::reinterpret_borrow<py::object>(table);
    return table.attr("sort_index")(py::arg("kind") = "stable");
}

// The benchmark mapping with every series under normalised date labels in ascending date
// order: the mapping itself when all already are, else a new dict (a series that changes
// is copied; it is one column of dates). Each value must be a pandas Series with unique
// dates; otherwise a type or value error names the benchmark.
inline py::object normalised_benchmarks(py::handle benchmark_dict, LabelBook& book) {
    if (benchmark_dict.is_none()) return py::none();
    py::dict out;
    bool changed = false;
    for (auto item : py::reinterpret_borrow<py::dict>(benchmark_dict)) {
        const std::string name = "benchmark_dict[" + repr_of(item.first) + "]";
        py::handle series = item.second;
        if (!py::isinstance(series, pandas().attr("Series")))
            raise_type_error(name + " must be a pandas Series of daily returns by date, got " + type_name(series));
        py::object index = series.attr("index");
        if (!py::bool_(index.attr("is_unique")))
            throw py::value_error(
                name + " has a repeated date label: " +
                repr_of(index.attr("__getitem__")(index.attr("duplicated")()).attr("__getitem__")(0)));
        py::object dates = book.normalised(index, Axis::Dates, name);
        py::object value = py::reinterpret_borrow<py::object>(series);
        if (!dates.is(index)) value = value.attr("set_axis")(dates);
        if (!py::bool_(dates.attr("is_monotonic_increasing")))
            value = value.attr("sort_index")(py::arg("kind") = "stable");
        changed = changed || !value.is(series);
        out[item.first] = value;
    }
    return changed ? py::object(out) : py::reinterpret_borrow<py::object>(benchmark_dict);
}

}  // namespace lumora::bridge
