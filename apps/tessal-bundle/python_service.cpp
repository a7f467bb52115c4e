#include "python_service.hpp"

#include <pybind11/embed.h>

#include <fmt/format.h>

#include "py_outside.hpp"
#include "python_adapters_source.hpp"  // kAdaptersSource: the package's _adapters.py
#include "util/error.hpp"

namespace py = pybind11;

namespace cli {

std::shared_ptr<quillonc::Client> start_python_service(const std::string& module, std::function<bool()> host_ignores_warnings) {
  // The interpreter lives as long as the process and is never finalised:
  // forked workers and exit paths must not run a second finalisation.
  py::initialize_interpreter();
  std::shared_ptr<quillonc::Client> client;
  try {
    py::module_ mod = py::module_::create_extension_module("tessal_bundle_adapters", nullptr, new PyModuleDef{PyModuleDef_HEAD_INIT});
    py::exec(kAdaptersSource, mod.attr("__dict__"));
    py::module_::import("sys").attr("modules")["tessal_bundle_adapters"] = mod;
    py::module_::import(module.c_str());
    client = py_outside::make_embedded_client(module, "tessal_bundle_adapters", std::move(host_ignores_warnings));
    py_outside::permission_denied_class();
  } catch (py::error_already_set& e) {
    util::fail(util::ErrorKind::invalid_input, "", fmt::format("cannot use the Python service client '{}': {}", module, e.what()));
  }
  // The module's work runs without the GIL; the adapters take it per call.
  PyEval_SaveThread();
  return client;
}

}  // namespace cli
