// Checks both backtest requests make before any work: what `data` and the user's table
// are, which benchmarks are asked for, that the trading costs make sense, and that the
// chart can be written where it is asked for.

#include <cstring>
#include <string>

#include "common/frame_bridge.hpp"
#include "lumora/dataset_catalogue.hpp"
#include "service/service_module.hpp"

namespace lumora::service {

namespace {

[[noreturn]] void unsupported_benchmark(py::handle value) {
    std::string supported;
    for (const auto& [code, qualified] : catalogue::kBenchmarkIndexCodes)
        supported += (supported.empty() ? "" : ", ") + std::string(code);
    throw py::value_error("不支持的基准: " + bridge::repr_of(value) + ",可选 " + supported +
                          "(或其交易所代码如 000300.XSHG、000300.SH)、这些代码的列表、\"all\" 或 None");
}

// One benchmark code as its short form: "000300", "000300.XSHG" and "000300.SH" (any letter
// case) all give "000300", "all" stays; anything else is refused listing the supported codes.
py::str short_benchmark(py::handle value) {
    if (!bridge::is_str(value)) unsupported_benchmark(value);
    const std::string text = py::str(value);
    if (text == "all") return py::str(text);
    for (const auto& [code, qualified] : catalogue::kBenchmarkIndexCodes)
        if (catalogue::names_index(text, qualified)) return py::str(std::string(code));
    unsupported_benchmark(value);
}

// The longest file name the folder takes (255 bytes where the system does not say).
std::size_t longest_file_name(py::handle dir) {
    long long limit = 0;
    try {
        limit = py::module_::import("os").attr("pathconf")(dir, "PC_NAME_MAX").cast<long long>();
    } catch (py::error_already_set&) {  // no pathconf on this system, or no answer for the folder
    }
    return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

}  // namespace

py::object checked_benchmark(py::handle benchmark) {
    if (benchmark.is_none()) return py::none();
    if (bridge::is_str(benchmark)) return short_benchmark(benchmark);
    if (!PyList_Check(benchmark.ptr()) && !PyTuple_Check(benchmark.ptr())) unsupported_benchmark(benchmark);
    if (py::len(benchmark) == 0) unsupported_benchmark(benchmark);
    py::list out;
    for (py::handle item : benchmark) out.append(short_benchmark(item));
    return out;
}

py::dict loaded_data(py::handle data) {
    py::object mapping = py::hasattr(data, "data") ? py::getattr(data, "data") : py::object(py::none());
    if (!PyDict_Check(mapping.ptr()))
        throw py::type_error("data must be the BacktestData that load_backtest_data() returns, got " +
                             bridge::type_name(data));
    return py::reinterpret_borrow<py::dict>(mapping);
}

void require_user_table(py::handle table, const char* argument) {
    if (!py::isinstance(table, bridge::pandas().attr("DataFrame")))
        throw py::type_error(std::string(argument) +
                             " must be a pandas DataFrame (rows: dates, columns: stock codes), "
                             "got " +
                             bridge::type_name(table));
}

RequestCosts checked_request_costs(py::handle rolling_window, py::handle total_money, py::handle fee,
                                   py::handle rule_fee, py::handle lot_size) {
    RequestCosts c;
    c.rolling_window = bridge::to_truncated_int(rolling_window, "rolling_window", 0);
    c.total_money = bridge::to_capital(total_money, "total_money");
    c.fee = bridge::to_rate(fee, "fee");
    c.rule_fee = bridge::to_rate(rule_fee, "rule_fee");
    c.lot_size = bridge::to_truncated_int(lot_size, "lot_size", 1);
    return c;
}

void check_chart_target(py::handle plot, py::handle output_dir, py::handle plot_filename) {
    if (plot.is_none()) return;
    if (!truthy(output_dir)) throw py::value_error("plot 非 None 时,output_dir 必须提供");
    if (py::len(plot_filename) == 0) throw py::value_error("plot 非 None 时,plot_filename 必须提供");
}

py::object chart_path(py::handle plot, py::handle output_dir, py::handle plot_filename, const char* longest_suffix) {
    if (plot.is_none()) return py::none();
    py::object fspath = py::module_::import("os").attr("fspath");
    if (!bridge::is_str(output_dir) && !py::hasattr(output_dir, "__fspath__"))
        throw py::type_error("output_dir must be a str or a path, got " + bridge::type_name(output_dir));
    const std::string name = py::str(plot_filename);
    if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos || name == "." || name == "..")
        throw py::value_error("plot_filename must be a file name without a directory, got " +
                              bridge::repr_of(plot_filename));
    py::object dir = service_attr("Path")(fspath(output_dir));
    // Made before any work, so a directory that cannot exist fails at once.
    dir.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
    // Every chart's name must fit, or the request would fail once its backtest has run.
    const std::size_t bytes = py::len(py::module_::import("os").attr("fsencode")(plot_filename));
    const std::size_t longest = longest_file_name(dir);
    if (bytes + std::strlen(longest_suffix) > longest) {
        const std::string shown =
            py::len(plot_filename) > 40
                ? py::str(plot_filename.attr("__getitem__")(py::slice(0, 30, 1))).cast<std::string>() + "..."
                : name;
        throw py::value_error("plot_filename is too long for its charts: '" + shown + longest_suffix + "' would be " +
                              std::to_string(bytes + std::strlen(longest_suffix)) +
                              " bytes long, and the folder takes file names of at most " + std::to_string(longest));
    }
    return py::str(dir.attr("__truediv__")(py::str(plot_filename) + py::str(".png")));
}

RequestWindow open_request_window(py::handle table, const char* argument, py::handle data, py::handle benchmark,
                                  py::handle plot, py::handle output_dir, py::handle plot_filename,
                                  py::handle start_date, py::handle end_date) {
    require_user_table(table, argument);
    RequestWindow w;
    w.loaded = loaded_data(data);
    w.benchmarks = checked_benchmark(benchmark);
    w.table = service_attr("clean_matrix")(table, py::arg("name") = argument);
    check_chart_target(plot, output_dir, plot_filename);
    py::object normalize = service_attr("normalize_yyyymmdd");
    w.start = normalize(start_date);
    w.end = normalize(end_date);
    w.matrices = slice_data(w.loaded, w.start, w.end);
    require_benchmarks(w.matrices, w.benchmarks);
    return w;
}

void put_trading_costs(py::dict& target, const RequestCosts& costs) {
    target["total_money"] = costs.total_money;
    target["fee"] = costs.fee;
    target["rule_fee"] = costs.rule_fee;
    target["lot_size"] = costs.lot_size;
}

void warn_empty_window(py::handle loaded, py::handle window, py::handle start, py::handle end) {
    py::object close = window.attr("get")("close_price");
    if (close.is_none() || py::len(close) > 0) return;
    py::object full = loaded.attr("get")("close_price");
    if (full.is_none()) return;
    py::object dates = full.attr("index");
    if (py::len(dates) == 0) {
        service_attr("logger").attr("warning")("回测区间 %s 至 %s 内没有交易日:数据为空", start, end);
        return;
    }
    service_attr("logger").attr("warning")("回测区间 %s 至 %s 内没有交易日,结果为空;数据覆盖 %s 至 %s", start, end,
                                           dates[py::int_(0)], dates[py::int_(-1)]);
}

}  // namespace lumora::service
