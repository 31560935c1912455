#include <pybind11/pybind11.h>

PYBIND11_MODULE(_weightbook, m) {
    m.doc() = "lumora backtest weightbook module";
}
