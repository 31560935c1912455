#include <pybind11/pybind11.h>

PYBIND11_MODULE(_prepare, m) {
    m.doc() = "lumora backtest prepare module";
}
