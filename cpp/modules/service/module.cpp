#include <pybind11/pybind11.h>

PYBIND11_MODULE(_service, m) {
    m.doc() = "lumora backtest service module";
}
