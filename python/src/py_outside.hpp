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

// A Python exception on its way through the C++ core: the core sees one of
// its own error types (below), with the exception's one-line text ("Type:
// message"); the binding layer raises the original exception again, class,
// message and traceback unchanged, when it reaches the caller.
class __attribute__((visibility("hidden"))) Raised {
 public:
  explicit Raised(py::error_already_set original) : original_(std::move(original)) {}
  virtual ~Raised() = default;
  // Sets the original exception as Python's current error (GIL held).
  void restore() const { py::error_already_set(original_).restore(); }
  // "Type: message" of the exception (GIL held).
  static std::string one_line(const py::error_already_set& e);

 private:
  py::error_already_set original_;
};

// Ctrl-C (KeyboardInterrupt), SystemExit and any other BaseException that
// is not an Exception: never a failure of a task or a file, it ends the
// call as it would a Python function.
class __attribute__((visibility("hidden"))) Interrupted : public util::Error, public Raised {
 public:
  Interrupted(const std::string& what, py::error_already_set original)
      : util::Error(util::ErrorKind::interrupted, "", what), Raised(std::move(original)) {}
};
template <class Base>
class __attribute__((visibility("hidden"))) Failed : public Base, public Raised {
 public:
  Failed(const std::string& what, py::error_already_set original) : Base(what), Raised(std::move(original)) {}
};

// Turns the Python error being handled into one of the above and throws it.
[[noreturn]] void throw_raised(py::error_already_set& e);

// A quillonc::Client over the Python module `quillonc`.
std::shared_ptr<quillonc::Client> make_python_client();
// The same over `module` (whose errors live in `module`.share.errors) for a
// program that embeds the interpreter and forks its own workers; the
// adapters come from `adapters_module`.
std::shared_ptr<quillonc::Client> make_embedded_client(const std::string& module, const std::string& adapters_module);

}  // namespace py_outside

namespace tessal {
// Compares the host's date and time numbers with the module's own once (the
// package calls it at load); true when the host's are used from then on.
bool probe_host_conversions();
}  // namespace tessal
