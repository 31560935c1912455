#include <pybind11/pybind11.h>

PYBIND11_MODULE(_core, m) {
    m.doc() = "lumora backtest core module";
}
