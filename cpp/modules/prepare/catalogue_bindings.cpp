#include "prepare/catalogue_bindings.hpp"

#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "lumora/dataset_catalogue.hpp"
#include "lumora/name_list.hpp"

namespace lumora::prepare {

namespace cat = lumora::catalogue;

namespace {

py::list to_list(const std::vector<std::string>& names) {
    py::list out;
    for (const std::string& name : names) out.append(py::str(name));
    return out;
}

std::string as_text(py::handle item) {
    return PyUnicode_Check(item.ptr()) ? item.cast<std::string>() : py::str(item).cast<std::string>();
}

}  // namespace

void add_catalogue_constants(py::module_& m) {
    py::module_ typing = py::module_::import("typing");
    py::module_ os = py::module_::import("os");
    m.attr("PathLike") = typing.attr("Union")[py::make_tuple(py::type::of(py::str()), os.attr("PathLike"))];
    m.attr("FLOAT_STORAGE_DTYPE") = py::str(std::string(cat::kFloatStorage));
    m.attr("BOOL_STORAGE_DTYPE") = py::str(std::string(cat::kBoolStorage));
    m.attr("TAIL_RELOAD_ROWS") = cat::kTailReloadRows;
    m.attr("PREPARED_DATA_VERSION") = cat::kPreparedDataVersion;
    m.attr("COMPONENT_FACTOR_NAMES") = text_list(cat::kComponentFactorNames);
    py::dict benchmarks;
    for (const auto& [name, code] : cat::kBenchmarkIndexCodes)
        benchmarks[py::str(std::string(name))] = py::str(std::string(code));
    m.attr("BENCHMARK_INDEX_CODES") = benchmarks;
    py::list required = text_list(cat::kRequiredFactorNames);
    py::list optional = text_list(cat::kOptionalFactorNames);
    m.attr("REQUIRED_FACTOR_NAMES") = required;
    m.attr("OPTIONAL_FACTOR_NAMES") = optional;
    py::list build_inputs = text_list(cat::kRequiredFactorNames);
    for (py::handle name : optional) build_inputs.append(name);
    m.attr("BUILD_INPUT_NAMES") = build_inputs;
    py::dict base;
    for (const auto& [key, dtype] : cat::kBaseMatrixDtype)
        base[py::str(std::string(key))] = py::str(std::string(dtype));
    m.attr("BASE_MATRIX_DTYPE") = base;
}

py::list parse_name_list(py::handle raw_values) {
    if (raw_values.is_none()) return py::list();
    std::vector<std::string> raw;
    if (PyUnicode_Check(raw_values.ptr())) {
        raw = split_name_text(raw_values.cast<std::string>());
    } else {
        for (py::handle item : py::iter(raw_values)) raw.push_back(as_text(item));
    }
    return to_list(clean_names(raw));
}

py::list get_component_factor_names() { return parse_name_list(text_list(cat::kComponentFactorNames)); }

py::dict build_matrix_dtype(py::handle component_names) {
    py::list names = component_names.is_none() ? get_component_factor_names() : parse_name_list(component_names);
    py::object component_dataset_key = store_attr("component_dataset_key");
    std::vector<std::string> keys;
    for (py::handle name : names) keys.push_back(component_dataset_key(name).cast<std::string>());
    py::dict out;
    for (const auto& [key, dtype] : cat::matrix_dtype_with_components(keys)) out[py::str(key)] = py::str(dtype);
    return out;
}

py::object series_to_yyyymmdd(py::handle values) {
    py::module_ pd = py::module_::import("pandas");
    py::object parsed = pd.attr("to_datetime")(values, py::arg("errors") = "coerce");
    if (!py::isinstance(parsed, pd.attr("Series"))) parsed = pd.attr("Series")(parsed);
    return parsed.attr("dt").attr("strftime")("%Y%m%d");
}

}  // namespace lumora::prepare
