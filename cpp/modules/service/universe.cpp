// The stock universe of a backtest: parsing the user's index codes and restricting price
// validity to the union of those indices' members.

#include <pybind11/numpy.h>

#include <string>
#include <vector>

#include "common/frame_bridge.hpp"
#include "lumora/dataset_catalogue.hpp"
#include "lumora/name_list.hpp"
#include "lumora/universe_mask.hpp"
#include "service/service_module.hpp"

namespace lumora::service {

namespace {

std::string text_of(py::handle item) {
    return PyUnicode_Check(item.ptr()) ? item.cast<std::string>() : py::str(item).cast<std::string>();
}

// Every membership table of the requested codes, aligned to the validity table. Raises
// before anything is changed when a code is unknown or its table is absent or empty.
// The key of `table` (index code -> membership factor) that `code` names: the code itself, or
// the index whose exchange-qualified code it spells another way ("000300.SH", "000300.XSHG").
py::object universe_key(const py::dict& table, py::handle code) {
    if (table.contains(code)) return py::reinterpret_borrow<py::object>(code);
    const std::string given = code.cast<std::string>();
    for (const auto& [key, component] : table) {
        const std::string name = py::str(component);
        const std::size_t underscore = name.rfind('_');
        if (catalogue::names_index(given, underscore == std::string::npos ? name : name.substr(underscore + 1)))
            return py::reinterpret_borrow<py::object>(key);
    }
    return py::none();
}

std::vector<bridge::AlignedTable> membership_tables(py::dict data, const py::list& codes, py::handle validity) {
    py::dict table = service_attr("_UNIVERSE_TO_COMPONENT");
    py::object component_dataset_key = service_attr("component_dataset_key");
    py::object rows = validity.attr("index");
    py::object cols = validity.attr("columns");
    std::vector<bridge::AlignedTable> out;
    for (py::handle code : codes) {
        const std::string text = code.cast<std::string>();
        py::object key = universe_key(table, code);
        if (key.is_none()) throw py::value_error("不支持的选股范围: " + text);
        py::object matrix = data.attr("get")(component_dataset_key(table[key]));
        if (matrix.is_none() || py::len(matrix) == 0)
            throw py::value_error("选股范围 " + text + " 无成分股数据,请重新准备数据");
        // No member on any day: the data source has no membership of this index, and
        // ranking with none would be no universe at all.
        if (!py::bool_(matrix.attr("notna")().attr("to_numpy")().attr("any")()))
            throw py::value_error("选股范围 " + text +
                                  " 无成分股数据,数据源未提供该指数的成分股;自备数据时由 index_members 文件的 "
                                  "date、index_code、code 列提供");
        out.push_back(bridge::aligned_table(matrix, rows, cols, "universe membership", bridge::Cells::Flags));
    }
    return out;
}

}  // namespace

py::list parse_universe(py::handle universe) {
    py::list out;
    if (universe.is_none()) return out;
    if (PyUnicode_Check(universe.ptr())) {
        std::string code = strip_unicode_space(universe.cast<std::string>());
        if (!code.empty()) out.append(py::str(code));
        return out;
    }
    if (!py::isinstance<py::iterable>(universe))
        throw py::type_error("universe must be an index code (str), a list of codes or None, got " +
                             bridge::type_name(universe));
    for (py::handle item : py::iter(universe)) {
        std::string code = strip_unicode_space(text_of(item));
        if (!code.empty()) out.append(py::str(code));
    }
    return out;
}

py::dict universe_table(py::handle component_names) {
    std::vector<std::string> names;
    for (py::handle name : component_names) names.push_back(name.cast<std::string>());
    py::dict out;
    for (const auto& [code, name] : catalogue::universe_table(names)) out[py::str(code)] = py::str(name);
    return out;
}

void apply_universe_filter(py::handle /*self*/, py::handle data, py::handle universe, py::handle start_date,
                           py::handle end_date) {
    require_plain_dict(data, "data");
    require_plain_str(start_date, "start_date");
    require_plain_str(end_date, "end_date");
    py::list codes = parse_universe(universe);
    if (codes.empty()) return;
    py::dict mapping = py::reinterpret_borrow<py::dict>(data);
    py::object validity = mapping[py::str("close_price_valid")];
    std::vector<bridge::AlignedTable> tables = membership_tables(mapping, codes, validity);

    bridge::TableArray values = bridge::table_values(validity, "close_price_valid", bridge::Cells::Flags);
    py::array_t<double, py::array::f_style> out({values.view.rows, values.view.cols});
    std::vector<AlignedMatrix> memberships;
    memberships.reserve(tables.size());
    for (const bridge::AlignedTable& t : tables) memberships.push_back(t.matrix);
    double* cells = out.mutable_data();
    {
        // No Python inside: reads numpy buffers held by `values` and `tables`, writes only the new array `out`.
        py::gil_scoped_release release;
        restrict_validity_to_universe(values.view, memberships, cells);
    }
    // Replaced last: on any failure above the caller's table stays in place.
    mapping["close_price_valid"] = bridge::frame(out, validity.attr("index"), validity.attr("columns"));
}

}  // namespace lumora::service
