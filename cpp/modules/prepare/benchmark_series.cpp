// The daily return series of the benchmark indices, from one index query for all of them.

#include <string>

#include "common/frame_bridge.hpp"
#include "lumora/dataset_catalogue.hpp"
#include "prepare/builder.hpp"
#include "prepare/catalogue_bindings.hpp"

namespace lumora::prepare {

namespace cat = lumora::catalogue;

namespace {

// Columns that carry a ready daily return, used as they are (no scaling).
constexpr const char* kReturnColumns[] = {"return", "returns", "pct_change", "change_rate"};

using bridge::has_column;
using bridge::pandas;

py::object numeric(py::handle column) { return pandas().attr("to_numeric")(column, py::arg("errors") = "coerce"); }

py::object rows_where(py::handle frame, py::handle mask) { return frame.attr("loc")[mask]; }

// The daily return column, from a return column or the close; None when there is none.
py::object daily_return_column(py::handle frame) {
    if (has_column(frame, "daily_return")) return numeric(frame["daily_return"]);
    for (const char* name : kReturnColumns)
        if (has_column(frame, name)) return numeric(frame[name]);
    if (has_column(frame, "close")) return numeric(frame["close"]).attr("pct_change")();
    return py::none();
}

py::list present_columns(py::handle frame, std::initializer_list<const char*> names) {
    py::list out;
    for (const char* name : names)
        if (has_column(frame, name)) out.append(name);
    return out;
}

}  // namespace

py::dict read_benchmark_dict(py::handle self) {
    py::list codes;
    for (const auto& [name, code] : cat::kBenchmarkIndexCodes) codes.append(py::str(code.data(), code.size()));
    py::object daily = sdk_client().attr("get_index_daily")(py::arg("ukeys") = codes,
                                                            py::arg("start_date") = self.attr("default_start"),
                                                            py::arg("end_date") = self.attr("end_date"));
    py::dict out;
    for (const auto& [name, code] : cat::kBenchmarkIndexCodes) {
        py::str short_name(name.data(), name.size());
        out[short_name] =
            self.attr("_format_benchmark_daily_return")(daily, short_name, py::str(code.data(), code.size()));
    }
    return out;
}

py::object format_benchmark_daily_return(py::handle /*self*/, py::handle df, py::handle benchmark_name,
                                         py::handle index_code) {
    const std::string name = py::str(benchmark_name);
    if (df.is_none() || py::len(df) == 0)
        raise_key_error("基准日频数据为空: " + name + " (" + std::string(py::str(index_code)) + ")");
    py::dict rename;
    rename["date"] = "DataDate";
    py::object frame = df.attr("copy")().attr("rename")(py::arg("columns") = rename);
    if (!has_column(frame, "DataDate")) raise_key_error(name + " 基准缺少 DataDate 列");

    frame.attr("__setitem__")("DataDate", series_to_yyyymmdd(frame["DataDate"]));
    frame = rows_where(frame, frame["DataDate"].attr("notna")()).attr("sort_values")("DataDate");
    if (has_column(frame, "ukey")) {
        frame.attr("__setitem__")("ukey", frame["ukey"].attr("astype")("str"));
        frame = rows_where(frame, frame["ukey"].attr("__eq__")(index_code));
    }
    py::object daily_return = daily_return_column(frame);
    if (daily_return.is_none()) raise_key_error(name + " 基准缺少 daily_return/close 列");
    frame.attr("__setitem__")("daily_return", daily_return);

    py::list keys = present_columns(frame, {"ukey", "DataDate"});
    if (!keys.empty()) frame = frame.attr("drop_duplicates")(py::arg("subset") = keys, py::arg("keep") = "last");
    py::list by_date;
    by_date.append("DataDate");
    frame = frame.attr("drop_duplicates")(py::arg("subset") = by_date, py::arg("keep") = "last");
    py::object series = frame.attr("set_index")("DataDate")["daily_return"];
    return series.attr("rename")("index_daily_return").attr("dropna")().attr("sort_index")();
}

}  // namespace lumora::prepare
