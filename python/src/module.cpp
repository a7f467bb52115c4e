// tessal_plus.bundle._core: the module's operations for the Python package.
// Arguments arrive already checked by the package's Python functions; the
// work runs with the GIL released, and failures come back as the Python
// exceptions a caller expects (OSError with its errno, the client's
// PermissionDenied, SystemExit(0) for a refusal, EOFError, ValueError).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <unistd.h>

#include <cerrno>

#include "py_outside.hpp"
#include "tessal_plus/bundle/checks.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/constants.hpp"
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
      default: raise_os_error(e.os_errno(), e.what());
    }
  } catch (const std::system_error& e) {
    raise_os_error(e.code().value(), e.what());
  }
}

std::optional<std::string> opt(const py::object& o) { return o.is_none() ? std::nullopt : std::optional<std::string>(o.cast<std::string>()); }

// Pid of the process whose client hook last ran: the host's workers are
// forks of the caller, and each runs the hook before its first task.
pid_t g_hooked = 0;
void worker_started_once() {
  if (g_hooked == ::getpid()) return;
  g_hooked = ::getpid();
  quillonc::worker_started();
}

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

}  // namespace

PYBIND11_MODULE(_core, m) {
  py::register_exception_translator(translate);

  // Called once by the package after the host's and the client's modules
  // were imported: installs the client adapter, reads prompts from
  // sys.stdin and writes console text to sys.stdout, leaves signals to the
  // interpreter's handlers in the sample download, forks checking processes
  // as Python forks, and computes COMPRESSION_KWARGS with the host's
  // blosc_opts.
  m.def("_load", [] {
    quillonc::install(py_outside::make_python_client());
    tb::set_answer_reader([]() -> std::optional<std::string> {
      py::gil_scoped_acquire gil;
      const py::object line = py_outside::adapters().attr("read_answer")();
      return opt(line);
    });
    tb::set_console_writer(write_to_sys_stdout);
    tb::set_interrupt_check(check_signals);
    tb::set_check_fork(fork_as_python_does);
    tb::COMPRESSION_KWARGS();
    // The host's tick layout is refused here, once, if it cannot be stored.
    tessal::H5TicksLoader::FIELDS();
    tessal::probe_host_conversions();
  });
  m.def("_worker_started", &worker_started_once);

  using R = py::call_guard<py::gil_scoped_release>;
  m.def("_switch_of_bjse", &tb::_switch_of_bjse, R());
  m.def("_init_quillon", &tb::_init_quillon, R());
  m.def("_merge_tags", &tb::_merge_tags, R());
  m.def("deal_with_check_result", &tb::deal_with_check_result, R());
  m.def("check_min_bar_data", &tb::check_min_bar_data, R());
  m.def("check_tick_data", &tb::check_tick_data, R());
  m.def("_get_end_date", &tb::_get_end_date, R());
  m.def("remove_h5", &tb::remove_h5, R());
  m.def("_append_h5", [](const std::string& id, const std::string& path, const py::object& file_name, std::int32_t start,
                         bool rebuild) {
    const auto name = opt(file_name);
    py::gil_scoped_release release;
    worker_started_once();
    tb::_append_h5(id, path, name, start, rebuild);
  });
  m.def("_append_h5_tick", [](const std::string& id, const std::string& path, const py::object& file_name, std::int32_t start,
                              bool rebuild) {
    const auto name = opt(file_name);
    py::gil_scoped_release release;
    worker_started_once();
    tb::_append_h5_tick(id, path, name, start, rebuild);
  });
  // The pool's tasks: the outcome as (status, kind, message), status one
  // of the TASK_* numbers.
  auto task = [](tessal::TaskOutcome (*fn)(const std::string&, const std::string&, bool)) {
    return [fn](const std::string& id, const std::string& path, bool rebuild) {
      tessal::TaskOutcome o;
      {
        py::gil_scoped_release release;
        worker_started_once();
        o = fn(id, path, rebuild);
      }
      return py::make_tuple(static_cast<int>(o.status), o.kind, o.message);
    };
  };
  m.def("_minbar_task", task(&tb::minbar_task));
  m.def("_tick_task", task(&tb::tick_task));
  for (const auto s : {tessal::TaskStatus::written, tessal::TaskStatus::up_to_date, tessal::TaskStatus::failed,
                       tessal::TaskStatus::died, tessal::TaskStatus::not_run}) {
    std::string name = "TASK_" + std::string(tessal::status_name(s));
    for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    m.attr(name.c_str()) = static_cast<int>(s);
  }
  m.def("update_minbar", &tb::update_minbar, R());
  m.def("update_tick", &tb::update_tick, R());
  m.def("update_bundle_from_quillonc", &tb::update_bundle_from_quillonc, R());
  m.def("update_bundle_from_exist_file", &tb::update_bundle_from_exist_file, R());
  m.def("download_simple_bundle", [](const std::string& path, bool sample, const py::object& file_path) {
    const auto local = opt(file_path);
    py::gil_scoped_release release;
    tb::download_simple_bundle(path, sample, local);
  });
}
