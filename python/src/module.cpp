// tessal_plus.bundle._core: the module's operations for the Python package.
// Arguments arrive already checked by the package's Python functions; the
// work runs with the GIL released, and failures come back as the Python
// exceptions a caller expects (OSError with its errno, the client's
// PermissionDenied, SystemExit(0) for a refusal, EOFError, ValueError).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <unistd.h>

#include "py_outside.hpp"
#include "tessal_plus/bundle/checks.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/universe.hpp"
#include "tessal_plus/bundle/writers.hpp"

namespace py = pybind11;
namespace tb = tessal_plus::bundle;

namespace {

void raise_os_error(const util::Error& e) {
  if (e.os_errno() != 0) {
    const py::object err = py::reinterpret_steal<py::object>(
        PyObject_CallFunction(PyExc_OSError, "is", e.os_errno(), e.what()));
    PyErr_SetObject(PyExc_OSError, err.ptr());
  } else {
    PyErr_SetString(PyExc_OSError, e.what());
  }
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
      case util::ErrorKind::denied: PyErr_SetString(py_outside::permission_denied_class().ptr(), e.what()); break;
      case util::ErrorKind::end_of_input: PyErr_SetString(PyExc_EOFError, e.what()); break;
      case util::ErrorKind::invalid_input: PyErr_SetString(PyExc_ValueError, e.what()); break;
      case util::ErrorKind::service:
      case util::ErrorKind::archive: PyErr_SetString(PyExc_RuntimeError, e.what()); break;
      default: raise_os_error(e);
    }
  } catch (const std::system_error& e) {
    const py::object err =
        py::reinterpret_steal<py::object>(PyObject_CallFunction(PyExc_OSError, "is", e.code().value(), e.what()));
    PyErr_SetObject(PyExc_OSError, err.ptr());
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

}  // namespace

PYBIND11_MODULE(_core, m) {
  py::register_exception_translator(translate);

  // Called once by the package after the host's and the client's modules
  // were imported: installs the client adapter, reads prompts from
  // sys.stdin, and computes COMPRESSION_KWARGS with the host's blosc_opts.
  m.def("_load", [] {
    quillonc::install(py_outside::make_python_client());
    tb::set_answer_reader([]() -> std::optional<std::string> {
      py::gil_scoped_acquire gil;
      const py::object line = py_outside::adapters().attr("read_answer")();
      return opt(line);
    });
    tb::COMPRESSION_KWARGS();
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
