#include "chartkit/format.hpp"

#include <charconv>
#include <cmath>
#include <vector>

#include "common/frame_bridge.hpp"

namespace lumora::chartkit {

namespace {

// Digits beyond this add nothing a double can hold; the cap keeps the buffer bounded.
constexpr int kMaxDigits = 340;

double as_float(py::handle value) { return py::float_(py::reinterpret_borrow<py::object>(value)); }

}  // namespace

bool is_missing_value(py::handle value) {
    if (value.is_none()) return true;
    if (PyFloat_CheckExact(value.ptr())) return std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
    if (PyLong_CheckExact(value.ptr()) || PyUnicode_Check(value.ptr())) return false;
    py::object missing = bridge::pandas().attr("isna")(value);
    // A container gives one flag per element: it is not one missing value.
    if (py::isinstance<py::bool_>(missing)) return missing.cast<bool>();
    if (py::hasattr(missing, "ndim") && missing.attr("ndim").cast<int>() == 0) return py::bool_(missing);
    return false;
}

int format_digits(py::handle digits) {
    const std::int64_t n = bridge::to_truncated_int(digits, "digits");
    if (n < 0) throw py::value_error("digits must not be negative");
    return static_cast<int>(std::min<std::int64_t>(n, kMaxDigits));
}

std::string format_fixed(double value, int digits) {
    if (std::isnan(value)) return kMissingText;
    // Fixed notation as printf's "%.*f" writes it: sign, up to 309 integer digits, point, digits.
    std::vector<char> buffer(static_cast<std::size_t>(digits) + 320);
    const std::to_chars_result written =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, digits);
    return std::string(buffer.data(), written.ptr);
}

std::string format_pct_value(double ratio, int digits) {
    if (std::isnan(ratio)) return kMissingText;
    return format_fixed(ratio * 100.0, digits) + "%";
}

std::string format_num(py::handle value, int digits) {
    if (is_missing_value(value)) return kMissingText;
    return format_fixed(as_float(value), digits);
}

std::string format_pct(py::handle value, int digits) {
    if (is_missing_value(value)) return kMissingText;
    return format_pct_value(as_float(value), digits);
}

std::string format_pct_points(py::handle value, int digits) {
    if (is_missing_value(value)) return kMissingText;
    return format_fixed(as_float(value), digits) + "%";
}

std::string format_annual_excess(py::handle annual_excess) {
    if (annual_excess.is_none() || py::len(annual_excess) == 0) return kMissingText;
    std::string text;
    for (py::handle pair : annual_excess.attr("items")()) {
        py::tuple year_value = py::reinterpret_borrow<py::tuple>(pair);
        if (is_missing_value(year_value[1])) continue;
        if (!text.empty()) text += " | ";
        text += std::string(py::str(year_value[0])) + ": " + format_pct(year_value[1], 2);
    }
    return text.empty() ? kMissingText : text;
}

}  // namespace lumora::chartkit
