#include "weightbook/charts.hpp"

namespace lumora::weightbook {

void register_charts(pybind11::module_& m) {
    m.attr("_MATPLOTLIB_PLOT_LOCK") = pybind11::module_::import("threading").attr("RLock")();
}

}  // namespace lumora::weightbook
