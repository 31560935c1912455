// Factor query results (narrow rows, or one column per factor) turned into one date x
// stock table per factor name.
//
// pandas gives the labels their meaning: it parses the dates and cuts the instrument
// codes, once per distinct value, and sorts the distinct labels the way a pivot orders
// its axes. The rows are then codes, and the spreading into tables is native.

#include <pybind11/numpy.h>

#include <optional>
#include <utility>
#include <vector>

#include "common/frame_bridge.hpp"
#include "lumora/code_pivot.hpp"
#include "prepare/builder.hpp"
#include "prepare/catalogue_bindings.hpp"

namespace lumora::prepare {

namespace {

using CodeArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using ValueArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

using bridge::has_column;
using bridge::pandas;

// Row codes into `labels`, the sorted distinct labels after the transformation.
struct LabelCodes {
    CodeArray codes;
    py::object labels;
};

std::vector<std::int64_t> as_vector(const CodeArray& codes) {
    return std::vector<std::int64_t>(codes.data(), codes.data() + codes.size());
}

// The column's distinct values (missing ones included) are transformed by pandas, then
// factorized again in sorted order; every row gets the code of its transformed value.
template <class Transform>
LabelCodes label_codes(py::handle column, Transform&& transform) {
    py::tuple raw = pandas().attr("factorize")(column, py::arg("use_na_sentinel") = false);
    py::tuple distinct = pandas().attr("factorize")(transform(raw[1]), py::arg("sort") = true);
    CodeArray raw_codes(raw[0]);
    const std::vector<std::int64_t> mapping = as_vector(CodeArray(distinct[0]));
    LabelCodes out{CodeArray(raw_codes.size()), distinct[1]};
    {
        // No Python inside: reads the code array `raw_codes` and the native mapping, writes only the new `out.codes`.
        py::gil_scoped_release release;
        remap_codes(raw_codes.data(), static_cast<std::size_t>(raw_codes.size()), mapping, out.codes.mutable_data());
    }
    return out;
}

LabelCodes date_codes(py::handle frame) {
    return label_codes(frame["DataDate"], [](py::handle values) { return series_to_yyyymmdd(values); });
}

LabelCodes instrument_codes(py::handle frame) {
    return label_codes(frame["ukey"], [](py::handle values) {
        return pandas().attr("Index")(values).attr("astype")("str").attr("str").attr("slice")(0, 6);
    });
}

ValueArray numeric_values(py::handle column) {
    py::object numeric = pandas().attr("to_numeric")(column, py::arg("errors") = "coerce");
    py::object nan = bridge::numpy().attr("nan");
    return ValueArray(numeric.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = nan));
}

py::object axis(const LabelCodes& labels, const std::vector<std::int64_t>& used, const char* name) {
    return labels.labels.attr("take")(bridge::index_array(used)).attr("rename")(name);
}

struct Rows {
    const LabelCodes& dates;
    const LabelCodes& instruments;
    const ValueArray& values;
};

// The cleaned table of the rows of one group (all rows without a group).
py::object pivot_group(const Rows& rows, const std::int64_t* group_code, std::int64_t group) {
    NarrowRows narrow;
    narrow.date_code = rows.dates.codes.data();
    narrow.instrument_code = rows.instruments.codes.data();
    narrow.value = rows.values.data();
    narrow.group_code = group_code;
    narrow.group = group;
    narrow.count = static_cast<std::size_t>(rows.values.size());
    narrow.date_labels = static_cast<std::int64_t>(py::len(rows.dates.labels));
    narrow.instrument_labels = static_cast<std::int64_t>(py::len(rows.instruments.labels));
    std::optional<CodePivot> pivot;
    {
        // No Python inside: indexes the code and value arrays of `rows`, which this call holds.
        py::gil_scoped_release release;
        pivot.emplace(narrow);
    }
    const auto n_dates = static_cast<py::ssize_t>(pivot->date_codes().size());
    const auto n_stocks = static_cast<py::ssize_t>(pivot->instrument_codes().size());
    py::array_t<double, py::array::f_style> table({n_dates, n_stocks});
    double* out = table.mutable_data();
    {
        // No Python inside: copies the pivot's native values into the new array `table`, which nothing else sees yet.
        py::gil_scoped_release release;
        pivot->fill(out);
    }
    py::object frame = pandas().attr("DataFrame")(
        table, py::arg("index") = axis(rows.dates, pivot->date_codes(), "DataDate"),
        py::arg("columns") = axis(rows.instruments, pivot->instrument_codes(), "ukey"), py::arg("copy") = false);
    return store_attr("clean_matrix")(frame);
}

// Narrow rows with a factor column: one table per factor asked for.
void pivot_narrow(py::handle frame, const LabelCodes& dates, const LabelCodes& instruments, py::dict& result) {
    // Grouped by the text form of the factor name, converted once per distinct value.
    const LabelCodes groups = label_codes(
        frame["factorname"], [](py::handle values) { return pandas().attr("Index")(values).attr("astype")("str"); });
    const ValueArray values = numeric_values(frame["x"]);
    const Rows rows{dates, instruments, values};
    std::int64_t group = 0;
    for (py::handle name : groups.labels) {
        if (result.contains(name)) result[name] = pivot_group(rows, groups.codes.data(), group);
        ++group;
    }
}

// One column per factor name.
void pivot_wide(py::handle frame, const LabelCodes& dates, const LabelCodes& instruments, py::handle names,
                py::dict& result) {
    for (py::handle name : names) {
        if (!py::bool_(frame.attr("columns").attr("__contains__")(name))) continue;
        const ValueArray values = numeric_values(frame[name]);
        result[name] = pivot_group(Rows{dates, instruments, values}, nullptr, 0);
    }
}

py::object renamed(py::handle df) {
    py::dict mapping;
    mapping["date"] = "DataDate";
    mapping["value"] = "x";
    mapping["factor"] = "factorname";
    mapping["factor_name"] = "factorname";
    py::dict present;
    for (auto [from, to] : mapping)
        if (py::bool_(df.attr("columns").attr("__contains__")(from))) present[from] = to;
    return df.attr("rename")(py::arg("columns") = present);
}

}  // namespace

py::dict vk_factors_to_matrices(py::handle /*self*/, py::handle df, py::handle names) {
    py::list wanted;
    py::dict result;
    for (py::handle name : names) {
        wanted.append(name);
        result[name] = empty_frame();
    }
    if (df.is_none() || py::len(df) == 0) return result;
    py::object frame = renamed(df);
    if (!has_column(frame, "ukey") || !has_column(frame, "DataDate"))
        raise_key_error("因子查询返回结果缺少 ukey/date 列");
    const LabelCodes instruments = instrument_codes(frame);
    const LabelCodes dates = date_codes(frame);
    const bool narrow = has_column(frame, "factorname");
    if ((narrow || py::len(wanted) == 1) && !has_column(frame, "x")) {
        py::list needed;
        for (const char* column : {"DataDate", "ukey", "x"}) needed.append(column);
        frame[needed];  // pandas names the missing value column
    }
    if (narrow) {
        pivot_narrow(frame, dates, instruments, result);
    } else if (py::len(wanted) == 1) {
        const ValueArray values = numeric_values(frame["x"]);
        result[wanted[0]] = pivot_group(Rows{dates, instruments, values}, nullptr, 0);
    } else {
        pivot_wide(frame, dates, instruments, wanted, result);
    }
    return result;
}

}  // namespace lumora::prepare
