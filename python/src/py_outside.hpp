#pragma once
// The outside world of the module as the Python package sees it: the
// service client `quillonc` and the host's objects, reached through the
// package's `_adapters` module. Every call into Python takes the GIL for
// its duration; the module's own work runs with the GIL released.
#include <pybind11/pybind11.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>
#include <string>

#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"

namespace py_outside {

namespace py = pybind11;

// A path, or a line that names one, as Python text: decoded as os.fsdecode
// decodes, so a name that is not UTF-8 reaches Python as the same bytes.
py::str fs_text(const std::string& s);
// tessal_plus.utils.blosc_opts's keywords, and the filter they name (a
// ValueError from the host or an unknown filter raised as it is).
py::object host_blosc_kwargs(int complevel, std::string_view complib);
h5::FilterSpec blosc_filter_of(const py::object& kwargs);
// A pool's task as the Python object a host's pool carries
// (_adapters.PoolTask), and back: the one place either is made.
py::object to_python(const tessal_plus::bundle::PoolTask& task);
tessal_plus::bundle::PoolTask pool_task_from(const py::handle& task);

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
std::shared_ptr<quillonc::Client> make_embedded_client(const std::string& module, const std::string& adapters_module,
                                                       std::function<bool()> host_ignores_warnings);

// The host framework as the package finds it in the host's modules (through
// `_adapters`): its clock, logger, warning filters, open-mode rule, Blosc
// settings, run flag, process pool, day-bar updater, instrument list,
// download and tick layout. Made per operation, with the GIL held, and
// destroyed with it held: it owns Python objects.
class __attribute__((visibility("hidden"))) PythonHost : public tessal::Host {
 public:
  // `host_conversions`: whether the host's own date and time numbers must be
  // called per value (see probe_host_conversions).
  // `executor`: a concurrent.futures executor the caller handed in, used in
  // place of the host's pool (None: the host's pool).
  explicit PythonHost(bool host_conversions, py::object executor = py::none())
      : host_conversions_(host_conversions), executor_(std::move(executor)) {}
  ~PythonHost() override;
  PythonHost(const PythonHost&) = delete;
  PythonHost& operator=(const PythonHost&) = delete;

  tessal::Timestamp datetime_now() override;
  std::int64_t convert_dt_to_int(tessal::Timestamp t) override;
  std::int32_t date_to_number(tessal::Timestamp t) override;
  std::int32_t time_to_number(tessal::Timestamp t) override;
  void log_error(const std::string& message) override;
  void warn(const std::string& message) override;
  void begin_ignoring_warnings() override;
  void end_ignoring_warnings() noexcept override;
  h5::Mode get_h5_mode(const std::string& path) override;
  h5::FilterSpec blosc_opts(int complevel, std::string_view complib) override;
  std::unique_ptr<tessal::SharedFlag> make_flag(bool initial) override;
  void process_init(tessal::SharedFlag& flag) override;
  tessal::SharedFlag& sval() override;
  std::unique_ptr<tessal::Pool> open_pool(int max_workers, tessal::SharedFlag& flag, tessal_plus::bundle::TaskRunner run_task) override;
  bool update_daybar(const std::string& bundle_path, bool create, bool enable_compression, int concurrency, bool enable_bjse,
                     tessal::BjseKeyword form) override;
  std::optional<std::vector<tessal::InstrumentRecord>> read_instrument_list(const std::string& path) override;
  void download(std::FILE* out, std::int64_t total_length, const std::string& url, const tessal::BodyReader& body) override;
  const tessal_plus::bundle::RecordLayout& tick_layout() override;

 private:
  bool host_conversions_;
  py::object executor_;
  std::vector<py::object> warning_scopes_;  // the saved filters of each scope, innermost last
  std::unique_ptr<tessal::SharedFlag> sval_;
  std::optional<tessal_plus::bundle::RecordLayout> layout_;
};

// Compares the host's date and time numbers with the module's own on a
// spread of instants (GIL held); true when they differ anywhere, and the
// host's must be called per value.
bool probe_host_conversions();

}  // namespace py_outside

