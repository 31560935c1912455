// Cutting the loaded benchmark data to a backtest's date window. The loaded mapping is
// shared by every request, so each cut builds new tables and leaves it untouched.

#include <pybind11/numpy.h>

#include <optional>
#include <unordered_map>
#include <vector>

#include "common/frame_bridge.hpp"
#include "lumora/date_window.hpp"
#include "service/service_module.hpp"

namespace lumora::service {

namespace {

using Labels = std::optional<std::vector<std::string>>;

// The labels as UTF-8 text when every one is text; otherwise none, and pandas compares.
Labels text_labels(py::handle index) {
    py::list items = index.attr("tolist")();
    std::vector<std::string> out;
    out.reserve(items.size());
    for (py::handle item : items) {
        if (!PyUnicode_Check(item.ptr())) return std::nullopt;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            return std::nullopt;
        }
        out.emplace_back(utf8, static_cast<std::size_t>(size));
    }
    return out;
}

py::object compare(py::handle left, const std::string& right, int op) {
    PyObject* result = PyObject_RichCompare(left.ptr(), py::str(right).ptr(), op);
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// Rows with start <= label <= end by pandas' own comparison, for labels that are not
// all text (dates, numbers, mixed).
py::object cut_by_pandas(py::handle table, py::handle index, const std::string& start, const std::string& end) {
    py::object mask = compare(index, start, Py_GE).attr("__and__")(compare(index, end, Py_LE));
    return table.attr("loc")[mask];
}

// Without copy-on-write (pandas 2 by default) a row slice is a view whose writes would
// reach the caller's data, so it is copied there.
bool slices_share_writes() {
    py::module_ pd = py::module_::import("pandas");
    const std::string version = py::str(pd.attr("__version__"));
    if (std::stoi(version.substr(0, version.find('.'))) >= 3) return false;
    return !py::bool_(pd.attr("get_option")("mode.copy_on_write"));
}

class RowCutter {
public:
    RowCutter(std::string start, std::string end)
        : start_(std::move(start)), end_(std::move(end)), copy_(slices_share_writes()) {}

    py::object cut(py::handle table) {
        py::object index = table.attr("index");
        const Labels& labels = labels_of(index);
        if (!labels) return cut_by_pandas(table, index, start_, end_);
        const RowSelection sel = select_window(*labels, start_, end_);
        py::object rows;
        if (sel.contiguous) {
            rows = table.attr("iloc")[py::slice(sel.begin, sel.end, 1)];
            if (copy_) rows = rows.attr("copy")();
        } else {
            rows = table.attr("iloc")[bridge::index_array(sel.positions)];
        }
        return rows;
    }

private:
    // Tables of one loaded mapping usually share their date index: read it once.
    const Labels& labels_of(py::handle index) {
        auto it = cache_.find(index.ptr());
        if (it == cache_.end()) {
            keep_.push_back(py::reinterpret_borrow<py::object>(index));
            it = cache_.emplace(index.ptr(), text_labels(index)).first;
        }
        return it->second;
    }

    std::string start_;
    std::string end_;
    bool copy_;
    std::unordered_map<PyObject*, Labels> cache_;
    std::vector<py::object> keep_;  // cached indexes stay alive, so their addresses stay unique
};

}  // namespace

py::object cut_rows(py::handle table, const std::string& start, const std::string& end) {
    RowCutter cutter(start, end);
    return cutter.cut(table);
}

py::dict slice_data(py::handle data, py::handle start_date, py::handle end_date) {
    require_plain_dict(data, "data");
    require_plain_str(start_date, "start_date");
    require_plain_str(end_date, "end_date");
    RowCutter cutter(start_date.cast<std::string>(), end_date.cast<std::string>());
    py::object frame_type = py::module_::import("pandas").attr("DataFrame");
    const py::str benchmark_key("benchmark_dict");
    py::dict out;
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(data)) {
        if (key.equal(benchmark_key)) {
            py::dict series_out;
            for (py::handle pair : value.attr("items")()) {
                const auto [name, series] = bridge::key_value(pair, "benchmark_dict");
                // A benchmark without any series (the data source has none) is left out.
                if (py::len(series) > 0) series_out[name] = cutter.cut(series);
            }
            out[key] = series_out;
        } else if (py::isinstance(value, frame_type)) {
            out[key] = cutter.cut(value);
        } else {
            out[key] = value;
        }
    }
    return out;
}

void require_benchmarks(py::handle matrices, py::handle benchmark) {
    py::list names;
    if (PyUnicode_Check(benchmark.ptr())) {
        names.append(benchmark);
    } else if (PyList_Check(benchmark.ptr()) || PyTuple_Check(benchmark.ptr())) {
        for (py::handle name : benchmark) names.append(name);
    }
    py::object series = matrices.attr("get")("benchmark_dict");
    if (series.is_none()) return;  // the request names the missing dataset itself
    py::dict known = python::benchmark_index_codes();
    for (py::handle name : names) {
        if (!PyUnicode_Check(name.ptr()) || !known.contains(name)) continue;
        if (!series.contains(name))
            throw py::key_error("基准 " + name.cast<std::string>() +
                                " 无日频数据,数据源未提供该指数;自备数据时由 index_daily 文件的 date、index_code 与 "
                                "close 或 daily_return 列提供,或传 benchmark=None");
    }
}

}  // namespace lumora::service
