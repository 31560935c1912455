#include "lumora/dataset_catalogue.hpp"

#include <algorithm>

namespace lumora::catalogue {

namespace {

template <class Table>
auto find_key(Table& table, std::string_view key) {
    return std::find_if(table.begin(), table.end(), [&](const auto& entry) { return entry.first == key; });
}

}  // namespace

DtypeTable matrix_dtype_with_components(const std::vector<std::string>& component_keys) {
    DtypeTable table;
    table.reserve(kBaseMatrixDtype.size() + component_keys.size());
    for (const auto& [key, dtype] : kBaseMatrixDtype) table.emplace_back(std::string(key), std::string(dtype));
    for (const std::string& key : component_keys) {
        auto it = find_key(table, key);
        if (it == table.end())
            table.emplace_back(key, std::string(kFloatStorage));
        else
            it->second = std::string(kFloatStorage);
    }
    return table;
}

std::string index_code_of_component(std::string_view component_name) {
    const std::size_t underscore = component_name.rfind('_');
    std::string_view tail =
        underscore == std::string_view::npos ? component_name : component_name.substr(underscore + 1);
    return std::string(tail.substr(0, tail.find('.')));
}

std::vector<std::pair<std::string, std::string>> universe_table(const std::vector<std::string>& component_names) {
    std::vector<std::pair<std::string, std::string>> table;
    for (const std::string& name : component_names) {
        std::string code = index_code_of_component(name);
        auto it = find_key(table, code);
        if (it == table.end())
            table.emplace_back(std::move(code), name);
        else
            it->second = name;
    }
    return table;
}

}  // namespace lumora::catalogue
