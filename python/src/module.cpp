// tessal_plus.bundle._core: the module's operations for the Python package.
// Arguments arrive already checked by the package's Python functions; the
// work runs with the GIL released, and failures come back as the Python
// exceptions a caller expects (OSError with its errno, the client's
// PermissionDenied, SystemExit(0) for a refusal, EOFError, ValueError).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <tuple>

#include <fmt/format.h>

#include "py_outside.hpp"
#include "tessal_plus/bundle/checks.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/health_page.hpp"
#include "util/files.hpp"
#include "tessal_plus/bundle/sample/sample.hpp"
#include "tessal_plus/bundle/universe.hpp"
#include "tessal_plus/bundle/writers.hpp"

namespace py = pybind11;
namespace tb = tessal_plus::bundle;

namespace {

// Raises `type` with the error's text decoded as os.fsdecode decodes: the
// paths it names need not be UTF-8.
void raise_text(PyObject* type, const char* what) {
  const py::object text = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefault(what));
  PyErr_SetObject(type, text.ptr());
}

void raise_os_error(int os_errno, const char* what) {
  if (os_errno == 0) return raise_text(PyExc_OSError, what);
  const py::object text = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefault(what));
  const py::object err = py::reinterpret_steal<py::object>(PyObject_CallFunction(PyExc_OSError, "iO", os_errno, text.ptr()));
  PyErr_SetObject(PyExc_OSError, err.ptr());
}

// A signal the module's process pool took while its workers ran (its
// handler stands in for the interpreter's for that time) is handed to the
// interpreter's own handler now, as if it had just arrived: Ctrl-C raises
// KeyboardInterrupt, or whatever the host's handler does.
void raise_interruption(int sig, const char* what) {
  if (sig > 0) ::raise(sig);
  if (PyErr_CheckSignals() != 0) return;
  if (sig == SIGINT) return PyErr_SetNone(PyExc_KeyboardInterrupt);
  raise_text(PyExc_RuntimeError, what);
}

void translate(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const py_outside::Raised& e) {
    // A Python exception that crossed the core goes on as it was raised.
    e.restore();
  } catch (const tb::ProgramExit& e) {
    PyErr_SetObject(PyExc_SystemExit, py::int_(e.status()).ptr());
  } catch (const util::Error& e) {
    switch (e.kind()) {
      case util::ErrorKind::denied: raise_text(py_outside::permission_denied_class().ptr(), e.what()); break;
      case util::ErrorKind::end_of_input: raise_text(PyExc_EOFError, e.what()); break;
      case util::ErrorKind::invalid_input: raise_text(PyExc_ValueError, e.what()); break;
      case util::ErrorKind::service:
      case util::ErrorKind::archive: raise_text(PyExc_RuntimeError, e.what()); break;
      case util::ErrorKind::interrupted: raise_interruption(e.os_errno(), e.what()); break;
      default: raise_os_error(e.os_errno(), e.what());
    }
  } catch (const std::system_error& e) {
    raise_os_error(e.code().value(), e.what());
  }
}

std::optional<std::string> opt(const py::object& o) { return o.is_none() ? std::nullopt : std::optional<std::string>(o.cast<std::string>()); }

// Console text through sys.stdout, as print() writes it: redirections,
// notebooks and test runners see it, in order with the host's own lines.
// Bytes that are not UTF-8 (a path) are shown escaped rather than failing.
void write_to_sys_stdout(const std::string& text) {
  py::gil_scoped_acquire gil;
  try {
    const py::object out = py::module_::import("sys").attr("stdout");
    if (out.is_none()) return;  // no console at all (pythonw, a daemon)
    const py::object decoded = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
    if (!decoded) throw py::error_already_set();
    out.attr("write")(decoded);
    out.attr("flush")();
  } catch (py::error_already_set& e) {
    py_outside::throw_raised(e);
  }
}

// The interpreter's pending signals, for the sample download: their Python
// handlers run here (Ctrl-C raises KeyboardInterrupt), and what they raise
// ends the download.
void check_signals() {
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() == 0) return;
  py::error_already_set e;
  py_outside::throw_raised(e);
}

// A fork the way os.fork() does it, so the child's interpreter is usable
// (its GIL and locks reset, the at-fork hooks run) whatever other threads
// held when it was forked.
pid_t fork_as_python_does() {
  py::gil_scoped_acquire gil;
  PyOS_BeforeFork();
  const pid_t pid = ::fork();
  const int fork_errno = errno;
  if (pid == 0)
    PyOS_AfterFork_Child();
  else
    PyOS_AfterFork_Parent();
  errno = fork_errno;
  return pid;
}

// Prompts read from sys.stdin.
std::optional<std::string> read_from_sys_stdin() {
  py::gil_scoped_acquire gil;
  return opt(py_outside::adapters().attr("read_answer")());
}

// One operation's outside world in the package: the host's modules, the
// client module, the console through Python's streams, checks forked as
// Python forks, and the interpreter's own signal handling in downloads.
// Made with the GIL held, for one call; nothing of it outlives the call.
struct Hosted {
  py_outside::PythonHost host;
  std::shared_ptr<quillonc::Client> client;
  tb::Run run;

  explicit Hosted(py::object executor = py::none())
      : host(py::module_::import("tessal_plus.bundle._core").attr("_host_conversions").cast<bool>(), std::move(executor)),
        client(py_outside::make_python_client()),
        run(host, *client, tb::Console(write_to_sys_stdout, read_from_sys_stdin)) {
    run.fork = fork_as_python_does;
    run.interrupt_check = check_signals;
  }
};

// An operation as a Python function: its Hosted world made with the GIL
// held, the work done with it released.
template <class R, class... A>
std::function<R(A...)> hosted(R (*body)(const tb::Run&, A...)) {
  return [body](A... args) -> R {
    Hosted h;
    py::gil_scoped_release release;
    return body(h.run, std::move(args)...);
  };
}
// The same for a driver, whose last argument is the executor to use in
// place of the host's pool (or None).
template <class R, class... A>
std::function<R(A..., py::object)> driver(R (*body)(const tb::Run&, A...)) {
  return [body](A... args, py::object executor) -> R {
    Hosted h(std::move(executor));
    py::gil_scoped_release release;
    return body(h.run, std::move(args)...);
  };
}

// A check's record as Python data: files examined, broken, held and
// unchecked paths,
// files deleted, findings per path [(rule, first, count)] and heal outcomes
// per path (outcome, message).
py::dict check_summary(const tb::CheckRecord& c) {
  const auto paths = [](const std::vector<std::string>& list) {
    py::list out;
    for (const auto& p : list) out.append(py_outside::fs_text(p));
    return out;
  };
  py::dict findings, heals;
  for (const auto& [path, found] : c.findings) {
    py::list items;
    for (const auto& f : found) {
      if (f.field.empty()) items.append(py::make_tuple(std::string(tb::rule_name(f.rule)), f.first, f.count));
      else items.append(py::make_tuple(std::string(tb::rule_name(f.rule)), f.first, f.count, f.field));
    }
    findings[py_outside::fs_text(path)] = items;
  }
  for (const auto& h : c.heals) heals[py_outside::fs_text(h.path)] = py::make_tuple(h.outcome, h.message);
  py::dict out;
  out["files"] = c.files.size();
  out["broken"] = paths(c.broken);
  out["held"] = paths(c.held);
  out["unchecked"] = paths(c.unchecked);
  out["deleted"] = c.deleted;
  out["findings"] = findings;
  out["heals"] = heals;
  py::dict not_verified;
  for (const auto& [path, why] : c.not_verified) not_verified[py_outside::fs_text(path)] = why;
  out["not_verified"] = not_verified;
  py::dict verified;
  for (const auto& [path, days] : c.verified_days) verified[py_outside::fs_text(path)] = days;
  out["verified_days"] = verified;
  out["verify_seed"] = c.verify > 0 ? py::object(py::int_(c.verify_seed)) : py::object(py::none());
  return out;
}

// A check's options as the package hands them over: one mapping by name
// (_check_options), read here and nowhere else; a name it does not know is
// refused rather than ignored.
struct CheckCall {
  int concurrency = 1;
  bool deep = false;
  tb::CheckOptions options;
};
CheckCall check_call(const py::dict& given, bool tick) {
  CheckCall c;
  for (const auto& [key, value] : given) {
    const auto name = py::cast<std::string>(key);
    if (name == "concurrency") c.concurrency = py::cast<int>(value);
    else if (name == "quality") c.options.quality = py::cast<bool>(value);
    else if (name == "heal") c.options.heal = py::cast<bool>(value);
    else if (name == "thresholds") c.options.thresholds = tb::parse_thresholds(py::cast<std::string>(value));
    else if (name == "deep" && tick) c.deep = py::cast<bool>(value);
    else if (name == "verify") c.options.verify = py::cast<int>(value);
    else if (name == "verify_seed") c.options.verify_seed = value.is_none() ? tb::fresh_verify_seed() : py::cast<std::uint64_t>(value);
    else throw std::invalid_argument("unknown check option '" + name + "'");
  }
  return c;
}

// A pool task's outcome as (status, kind, message).
std::tuple<int, std::string, std::string> task_result(const tb::Run& run, const tessal_plus::bundle::PoolTask& task) {
  const tessal_plus::bundle::TaskOutcome o = tb::run_task(run, task);
  return {static_cast<int>(o.status), o.kind, o.message};
}

using Paths = std::vector<std::string>;

// What the package calls once at its import.
void register_loading(py::module_& m) {
  // Each operation's host reads the result of the conversion probe here.
  m.attr("_host_conversions") = false;
  // Called once by the package after the host's and the client's modules
  // were imported: asks the host's blosc_opts once (a host without the Blosc
  // settings fails the import) and returns its keywords, the package's
  // COMPRESSION_KWARGS; refuses a tick layout that cannot be stored, and
  // probes the host's date and time numbers.
  m.def("_load", [] {
    py::object kwargs = py_outside::host_blosc_kwargs(9, "blosc:lz4");
    py_outside::blosc_filter_of(kwargs);
    py_outside::PythonHost(false).tick_layout();
    py::module_::import("tessal_plus.bundle._core").attr("_host_conversions") = py_outside::probe_host_conversions();
    return kwargs;
  });
}

// The tags and the service session. Every operation runs with a Hosted world
// made for the call, the work itself with the GIL released.
void register_universe(py::module_& m) {
  m.def("_switch_of_bjse", hosted(+[](const tb::Run& r, bool tag) { tb::_switch_of_bjse(r, tag); }));
  m.def("_init_quillon", hosted(+[](const tb::Run& r, bool bjse) { tb::_init_quillon(r, bjse); }));
  m.def("_merge_tags", hosted(+[](const tb::Run& r, Paths tags, bool with_derivatives, bool bjse) {
          return tb::_merge_tags(r, tags, with_derivatives, bjse);
        }));
}

// The checks and their clean-up prompt.
void register_checks(py::module_& m) {
  m.def("deal_with_check_result", hosted(+[](const tb::Run& r, Paths errors, Paths held, std::string frequency) {
          tb::deal_with_check_result(r, errors, held, frequency);
        }));
  // The checks return what they found and did (the command line's --json
  // says the same), so a host can tell a heal that failed.
  m.def("check_min_bar_data", [](const std::string& path, const py::dict& options) {
    const CheckCall c = check_call(options, false);
    Hosted h;
    tb::CheckRecord record;
    {
      py::gil_scoped_release release;
      record = tb::check_min_bar_data(h.run, path, c.concurrency, c.options);
    }
    return check_summary(record);
  });
  m.def("check_tick_data", [](const std::string& path, const py::dict& options) {
    const CheckCall c = check_call(options, true);
    Hosted h;
    tb::CheckRecord record;
    {
      py::gil_scoped_release release;
      record = tb::check_tick_data(h.run, path, c.deep, c.concurrency, c.options);
    }
    return check_summary(record);
  });
}

// The bundle's health page.
void register_status(py::module_& m) {
  // A bundle folder that is not there raises FileNotFoundError; the check
  // document's bytes are read first, so a FIFO or a device fails at once.
  m.def("write_health_page", hosted(+[](const tb::Run& r, std::string path, std::string html, std::string check_json) {
          const std::string document = check_json.empty() ? std::string() : tb::read_check_document(check_json);
          const tb::BundleStatus status = tb::bundle_status(r.host, path, true);
          tb::HealthInputs inputs;
          if (!check_json.empty()) {
            const auto ids = tb::file_ids(status);
            inputs.check = tb::read_check_marks_text(document, check_json, &ids);
          }
          tb::read_instrument_lives(status, inputs);
          tb::read_suspensions(status, inputs);
          util::write_atomically(html, tb::health_page(r.host, status, inputs));
        }));
}

// The writers, the pool's task and the update drivers.
void register_updates(py::module_& m) {
  m.def("_get_end_date", hosted(+[](const tb::Run& r) { return tb::_get_end_date(r.host); }));
  m.def("remove_h5", [](const std::string& path) {
    py::gil_scoped_release release;
    tb::remove_h5(path);
  });
  // The writers as the package's functions; with a file name, or None.
  const auto writer = [](auto fn) {
    return [fn](const std::string& id, const std::string& path, const py::object& file_name, std::int32_t start, bool rebuild) {
      const auto name = opt(file_name);
      Hosted h;
      py::gil_scoped_release release;
      h.run.worker_started();
      fn(h.run, id, path, name, start, rebuild);
    };
  };
  m.def("_append_h5", writer(&tb::_append_h5));
  m.def("_append_h5_tick", writer(&tb::_append_h5_tick));
  // A pool's task (_adapters.PoolTask) run by the one task runner; the
  // outcome as (status, kind, message), status one of the TASK_* numbers.
  m.def("_run_task", [](const py::object& task) {
    const tb::PoolTask t = py_outside::pool_task_from(task);
    Hosted h;
    py::gil_scoped_release release;
    return task_result(h.run, t);
  });
  for (const auto s : {tessal_plus::bundle::TaskStatus::written, tessal_plus::bundle::TaskStatus::up_to_date, tessal_plus::bundle::TaskStatus::failed,
                       tessal_plus::bundle::TaskStatus::died, tessal_plus::bundle::TaskStatus::not_run}) {
    std::string name = "TASK_" + std::string(tessal_plus::bundle::status_name(s));
    for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    m.attr(name.c_str()) = static_cast<int>(s);
  }
  m.def("update_minbar", driver(+[](const tb::Run& r, std::string path, Paths tags, bool with_derivatives, int concurrency,
                                   bool rebuild, bool bjse) {
          return tb::update_minbar(r, path, tags, with_derivatives, concurrency, rebuild, bjse).succeeded;
        }));
  m.def("update_tick", driver(+[](const tb::Run& r, std::string path, Paths tags, bool with_derivatives, int concurrency,
                                 bool rebuild, bool bjse) {
          return tb::update_tick(r, path, tags, with_derivatives, concurrency, rebuild, bjse).succeeded;
        }));
  m.def("update_bundle_from_quillonc", driver(+[](const tb::Run& r, int concurrency, std::string path, bool base, Paths minbar,
                                                 Paths tick, bool with_derivatives, bool rebuild, bool bjse) {
          return tb::update_bundle_from_quillonc(r, concurrency, path, base, minbar, tick, with_derivatives, rebuild, bjse).succeeded;
        }));
  m.def("update_bundle_from_exist_file", driver(+[](const tb::Run& r, int concurrency, std::string path) {
          return tb::update_bundle_from_exist_file(r, concurrency, path).succeeded;
        }));
}

// The record layouts, the tag table and the limits.
void register_constants(py::module_& m) {
  // The record layouts and the tag table as the core writes and reads them:
  // the package's constants are made from these, never declared twice.
  const auto fields = [](const tb::RecordLayout& layout) {
    py::list out;
    for (const auto& f : layout.fields) {
      const bool real = f.kind == tb::FieldKind::f32 || f.kind == tb::FieldKind::f64;
      const bool is_signed = f.kind == tb::FieldKind::i8 || f.kind == tb::FieldKind::i16 || f.kind == tb::FieldKind::i32 ||
                             f.kind == tb::FieldKind::i64;
      out.append(py::make_tuple(f.name, fmt::format("<{}{}", real ? 'f' : is_signed ? 'i' : 'u', tessal_plus::bundle::field_size(f.kind))));
    }
    return out;
  };
  m.attr("_EQUITIES_FIELDS") = fields(tb::EQUITIES_DTYPE());
  m.attr("_DERIVATIVES_FIELDS") = fields(tb::DERIVATIVES_DTYPE());
  m.attr("_INDEX_FIELDS") = fields(tb::INDEX_DTYPE());
  py::list tag_map;
  for (const auto& [tag, types] : tb::TAG_MAP()) {
    py::list t;
    for (const auto type : types) t.append(py::str(type.data(), type.size()));
    tag_map.append(py::make_tuple(py::str(tag.data(), tag.size()), py::tuple(t)));
  }
  m.attr("_TAG_MAP") = tag_map;
  py::list equities;
  for (const auto type : tb::EQUITIES_INS_TYPE()) equities.append(py::str(type.data(), type.size()));
  m.attr("_EQUITIES_INS_TYPE") = equities;
  m.attr("_MIN_START_DATE") = tb::MIN_START_DATE;
  m.attr("_MAX_END_DATE") = tb::MAX_END_DATE;
  m.attr("_REBUILD_COMFIRM_RETRY_TIMES") = tb::REBUILD_COMFIRM_RETRY_TIMES;
  m.attr("_TICK_DATE_CHUNK_SIZE") = tb::TICK_DATE_CHUNK_SIZE;
}

// The sample bundle.
void register_sample(py::module_& m) {
  m.def("download_simple_bundle", [](const std::string& path, bool sample, const py::object& file_path) {
    const auto local = opt(file_path);
    Hosted h;
    py::gil_scoped_release release;
    tb::download_simple_bundle(h.run, path, sample, local);
  });
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  py::register_exception_translator(translate);
  register_loading(m);
  register_universe(m);
  register_checks(m);
  register_status(m);
  register_updates(m);
  register_constants(m);
  register_sample(m);
}
