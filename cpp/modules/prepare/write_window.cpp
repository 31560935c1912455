// The write window of an incremental update: which stored days are rebuilt, the one day
// read before them, and the cut that keeps every earlier day out of the store.

#include "prepare/write_window.hpp"

#include <string>
#include <vector>

#include "common/frame_bridge.hpp"
#include "lumora/date_window.hpp"
#include "prepare/catalogue_bindings.hpp"

namespace lumora::prepare {

namespace {

// A copy of the payload's meta mapping; an empty one when there is none (a meta of None
// is a type error, as dict(None) is).
py::dict meta_copy(py::handle payload) {
    py::dict copy;
    if (payload.attr("__contains__")("meta").cast<bool>()) copy.attr("update")(payload["meta"]);
    return copy;
}

// Rows of a table or series whose date label, as text, is on or after `start`.
py::object rows_from(py::handle table, py::handle start) {
    py::object labels = table.attr("index").attr("astype")("str");
    return table.attr("loc")[labels.attr("__ge__")(start)];
}

std::vector<std::string> local_dates(py::handle base_index) {
    std::vector<std::string> out;
    for (py::handle date : base_index) {
        if (!PyUnicode_Check(date.ptr())) throw py::type_error("base_index must hold dates as YYYYMMDD text");
        out.push_back(date.cast<std::string>());
    }
    return out;
}

}  // namespace

py::dict payload_slice_from_date(py::handle payload, py::handle write_start_date) {
    py::object start = store_attr("normalize_yyyymmdd")(write_start_date);
    py::object frame_type = py::module_::import("pandas").attr("DataFrame");
    py::dict data;
    for (py::handle item : payload["data"].attr("items")()) {
        const auto [key, value] = bridge::key_value(item, "data");
        if (key.equal(py::str("benchmark_dict"))) {
            py::dict series;
            for (py::handle entry : value.attr("items")()) {
                const auto [name, values] = bridge::key_value(entry, "benchmark_dict");
                series[name] = rows_from(values, start);
            }
            data[key] = series;
        } else if (py::isinstance(value, frame_type)) {
            data[key] = rows_from(value, start);
        } else {
            data[key] = value;
        }
    }
    py::dict meta = meta_copy(payload);
    py::object read_start = meta.attr("get")("start_date");
    meta["write_start_date"] = start;
    meta["read_start_date"] = read_start;
    meta["start_date"] = start;
    py::dict out;  // py::dict(payload) would alias a dict instead of copying it
    out.attr("update")(payload);
    out["data"] = data;
    out["meta"] = meta;
    return out;
}

py::dict build_incremental_write_window(py::handle base_index, py::handle write_start_date, py::handle write_end_date) {
    if (py::len(base_index) == 0) throw py::value_error("本地准备数据 close_price 日期索引为空,无法增量更新。");
    py::object normalize = store_attr("normalize_yyyymmdd");
    py::object start = normalize(write_start_date);
    py::object end = normalize(write_end_date);
    if (start.is_none() || end.is_none()) throw py::value_error("write_start_date / write_end_date 不能为空。");
    const WriteWindow window =
        incremental_write_window(local_dates(base_index), start.cast<std::string>(), end.cast<std::string>());
    py::object builder_class = own_attr("GroupPreparedDataBuilder");
    py::object builder = builder_class(py::arg("start_date") = window.read_start, py::arg("end_date") = end);
    py::dict payload = payload_slice_from_date(builder.attr("build_incremental")(), py::str(window.write_start));
    py::dict meta = meta_copy(payload);
    meta["requested_write_start_date"] = start;
    meta["write_end_date"] = end;
    meta["read_start_date"] = window.read_start;
    payload["meta"] = meta;
    return payload;
}

void add_write_window(py::module_& m) {
    m.def("payload_slice_from_date", &payload_slice_from_date, py::arg("payload"), py::arg("write_start_date"),
          "A shallow copy of the payload whose tables and benchmark series start at write_start_date.");
    m.def("build_incremental_write_window", &build_incremental_write_window, py::arg("base_index"),
          py::arg("write_start_date"), py::arg("write_end_date"),
          "The incremental payload of the window [write_start_date, write_end_date] of the local dates.");
}

}  // namespace lumora::prepare
