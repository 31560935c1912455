#include "lumora/dataset_catalogue.hpp"

#include <algorithm>
#include <array>
#include <cctype>

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

namespace {

constexpr std::array<std::string_view, 4> kShanghaiMarks = {"XSHG", "SH", "SS", "SHSE"};
constexpr std::array<std::string_view, 3> kShenzhenMarks = {"XSHE", "SZ", "SZSE"};
constexpr std::array<std::string_view, 3> kCompilerMarks = {"INDX", "CSI", "CNI"};

bool one_of(std::string_view mark, const auto& marks) {
    return std::find(marks.begin(), marks.end(), mark) != marks.end();
}

}  // namespace

bool names_index(std::string_view given, std::string_view qualified) {
    const std::size_t dot = qualified.find('.');
    const std::string_view code = qualified.substr(0, dot);
    const std::string_view exchange = dot == std::string_view::npos ? std::string_view{} : qualified.substr(dot + 1);
    std::string text(given);
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string_view wanted = text;
    if (wanted == code) return true;
    if (wanted.size() <= code.size() + 1 || wanted.substr(0, code.size()) != code || wanted[code.size()] != '.')
        return false;
    const std::string_view mark = wanted.substr(code.size() + 1);
    if (one_of(mark, kCompilerMarks)) return true;
    if (one_of(exchange, kShanghaiMarks)) return one_of(mark, kShanghaiMarks);
    if (one_of(exchange, kShenzhenMarks)) return one_of(mark, kShenzhenMarks);
    return mark == exchange;
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
