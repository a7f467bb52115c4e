#pragma once
// The outside world of the module as the Python package sees it: the
// service client `quillonc` and the host's objects, reached through the
// package's `_adapters` module. Every call into Python takes the GIL for
// its duration; the module's own work runs with the GIL released.
#include <pybind11/pybind11.h>

#include <memory>

#include "tessal_plus/bundle/outside/market_data.hpp"

namespace py_outside {

namespace py = pybind11;

// The package's `_adapters` module.
py::module_ adapters();
// The client's PermissionDenied class (quillonc.share.errors).
py::object permission_denied_class();

// A quillonc::Client over the Python module `quillonc`.
std::shared_ptr<quillonc::Client> make_python_client();

}  // namespace py_outside
