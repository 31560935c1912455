#pragma once
// One of lumora's own Python modules as an extension module reaches it. Each extension
// module names the ones it uses in one place (its module.cpp); the rest of its files
// ask there instead of importing by name.

#include <pybind11/pybind11.h>

namespace lumora::bridge {

namespace py = pybind11;

class PythonModule {
public:
    constexpr explicit PythonModule(const char* name) : name_(name) {}

    // Imported at the first use and kept for the life of the process, as sys.modules keeps
    // it. The GIL orders the first uses; two threads importing at once find the same module.
    py::handle get() const {
        if (module_ == nullptr) module_ = py::module_::import(name_).release().ptr();
        return module_;
    }

    // Read at each use, so an attribute a test replaces is the one used.
    py::object attr(const char* name) const { return get().attr(name); }

private:
    const char* name_;
    mutable PyObject* module_ = nullptr;
};

}  // namespace lumora::bridge
