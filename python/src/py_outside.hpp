#pragma once
// The outside world of the module as the Python package sees it: the
// service client `quillonc` and the host's objects, reached through the
// package's `_adapters` module. Every call into Python takes the GIL for
// its duration; the module's own work runs with the GIL released.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "tessal_plus/bundle/outside/market_data.hpp"

namespace py_outside {

namespace py = pybind11;

// The package's `_adapters` module.
py::module_ adapters();
// The client's PermissionDenied class (quillonc.share.errors).
py::object permission_denied_class();

// A quillonc::Client over the Python module `quillonc`.
std::shared_ptr<quillonc::Client> make_python_client();
// The same over `module` (whose errors live in `module`.share.errors) for a
// program that embeds the interpreter and forks its own workers; the
// adapters come from `adapters_module`.
std::shared_ptr<quillonc::Client> make_embedded_client(const std::string& module, const std::string& adapters_module);

}  // namespace py_outside
