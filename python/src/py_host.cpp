// The Python host (PythonHost, py_outside.hpp): its clock, logger, warning
// filters, open-mode rule, Blosc settings, run flag, process pool, day-bar
// updater, download and tick layout. Date conversions are done natively
// unless the host's own differ: calling the host's Python functions once
// per row would cost more than the whole update.
#include <pybind11/stl.h>
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "py_outside.hpp"
#include "tessal_plus/bundle/stores.hpp"

namespace py = pybind11;
using py_outside::adapters;

namespace {
// Runs a call of the host's Python code (GIL held). A Ctrl-C lands in
// whichever Python code runs next, the host's as well as the client's: a
// KeyboardInterrupt raised here ends a writer as it does in the client, as
// an interruption, never as a failed file.
template <class F>
auto interruptible(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) py_outside::throw_raised(e);
    throw;
  }
}
}  // namespace

namespace py_outside {

py::str fs_text(const std::string& s) {
  PyObject* text = PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (!text) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}
using tessal_plus::bundle::FieldKind;
using tessal::SharedFlag;
using tessal_plus::bundle::TaskOutcome;
using tessal_plus::bundle::TaskStatus;
using tessal::Timestamp;

namespace {

py::object as_python(Timestamp t) {
  const std::int32_t d = util::timestamp_date(t);
  const std::int64_t us = util::timestamp_time_of_day(t), sec = us / util::kMicrosPerSecond;
  return adapters().attr("to_datetime")(d / 10000, d / 100 % 100, d % 100, sec / 3600, sec / 60 % 60, sec % 60,
                                         us % util::kMicrosPerSecond);
}

template <class T>
T host_number(const char* module, const char* name, Timestamp t) {
  py::gil_scoped_acquire gil;
  return py::module_::import(module).attr(name)(as_python(t)).cast<T>();
}
constexpr const char* kDataStore = "tessal_mod_palomar_data.data_sources.data_store";
constexpr const char* kDatetimeFunc = "tessal.utils.datetime_func";

// The run's flag: a process-shared value of Python's multiprocessing.
class PythonFlag : public SharedFlag {
 public:
  explicit PythonFlag(py::object value) : value_(std::move(value)) {}
  ~PythonFlag() override {
    py::gil_scoped_acquire gil;
    value_ = py::object();
  }
  bool value() const override {
    py::gil_scoped_acquire gil;
    return interruptible([&] { return py::bool_(value_.attr("value")); }).cast<bool>();
  }
  void clear() override {
    py::gil_scoped_acquire gil;
    interruptible([&] { value_.attr("value") = false; });
  }
  const py::object& object() const { return value_; }

 private:
  py::object value_;
};

const py::object& python_object(SharedFlag& flag) {
  const auto* p = dynamic_cast<const PythonFlag*>(&flag);
  if (!p) throw std::logic_error("the run's flag was not made by the Python host");
  return p->object();
}

FieldKind kind_of(const std::string& column, char kind, std::size_t size) {
  if (kind == 'f' && size == 8) return FieldKind::f64;
  if (kind == 'f' && size == 4) return FieldKind::f32;
  static constexpr FieldKind signed_kinds[] = {FieldKind::i8, FieldKind::i16, FieldKind::i32, FieldKind::i64};
  static constexpr FieldKind unsigned_kinds[] = {FieldKind::u8, FieldKind::u16, FieldKind::u32, FieldKind::u64};
  for (std::size_t i = 0, bytes = 1; i < 4; ++i, bytes *= 2)
    if (size == bytes && (kind == 'i' || kind == 'u')) return (kind == 'i' ? signed_kinds : unsigned_kinds)[i];
  throw std::invalid_argument(fmt::format("tick field for column '{}' is {}{}: not a number numpy and HDF5 share", column, kind, size));
}

// Ctrl-C held back while the host's pool may fork its workers (in submit).
// Python runs a signal's handler in the first Python code after the
// signal, which may be its own after-fork hooks, and those discard what the
// handler raises: the KeyboardInterrupt would be lost. Held back, it
// arrives when submit returns. A worker gets the signal mask it would have
// had as soon as it is forked (pending signals are not inherited).
sigset_t g_mask_before_hold;
volatile std::sig_atomic_t g_holding = 0;
extern "C" void release_in_child() {
  if (g_holding) ::pthread_sigmask(SIG_SETMASK, &g_mask_before_hold, nullptr);
  g_holding = 0;
}

class SigintHeldForFork {
 public:
  SigintHeldForFork() {
    static const bool registered = ::pthread_atfork(nullptr, nullptr, &release_in_child) == 0;
    (void)registered;
    sigset_t sigint;
    sigemptyset(&sigint);
    sigaddset(&sigint, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &sigint, &g_mask_before_hold);
    g_holding = 1;
  }
  ~SigintHeldForFork() {
    g_holding = 0;
    ::pthread_sigmask(SIG_SETMASK, &g_mask_before_hold, nullptr);
  }
  SigintHeldForFork(const SigintHeldForFork&) = delete;
  SigintHeldForFork& operator=(const SigintHeldForFork&) = delete;
};

// The host's pool, used as the module always has: the host's process_init
// with the run's flag as initializer, tasks sent as functions of the package
// that call the one task runner, which pickle by name and run in the host's
// workers.
class PythonPool : public tessal::Pool {
 public:
  PythonPool(int max_workers, const py::object& flag, const py::object& executor) {
    py::gil_scoped_acquire gil;
    const auto pair = adapters().attr("open_pool")(max_workers, flag, executor).cast<py::tuple>();
    pool = pair[0];
    entered = pair[1];
  }
  ~PythonPool() override {
    // Without a shutdown() the driver is leaving by an exception: its tasks
    // are not waited for.
    py::gil_scoped_acquire gil;
    if (!done) stop();
    futures.clear();
    pool = py::object();
    entered = py::object();
  }
  void submit(const tessal_plus::bundle::PoolTask& task) override;
  std::vector<tessal_plus::bundle::TaskOutcome> shutdown() override;

 private:
  py::object pool;
  py::object entered;
  bool done = false;
  std::vector<std::pair<std::string, py::object>> futures;  // id, future

  // Waits for every task, as leaving the pool would, but in waits a Ctrl-C
  // can cut short without harm: on Python 3.11, a join of the pool's thread
  // interrupted by Ctrl-C takes that thread for ended while it runs on, and
  // the interpreter's exit then stops the queue it still sends the
  // workers' stop signal through (they and the exit wait for ever). One
  // future at a time: concurrent.futures.wait never returns for a future
  // the pool cancelled. GIL held.
  void wait_for_tasks() const {
    const py::object cancelled = py::module_::import("concurrent.futures").attr("CancelledError");
    for (const auto& [id, future] : futures) {
      try {
        future.attr("exception")();
      } catch (py::error_already_set& e) {
        if (!e.matches(cancelled)) throw;
      }
    }
  }

  // Leaves the pool when the wait for its tasks did not end normally (Ctrl-C,
  // or an exception before it): tasks not started are cancelled, the
  // running ones are waited for (a Ctrl-C to the process group interrupts
  // them too), then the workers, which leave once the pool's thread tells
  // them. Left running, the workers would wait for more work and the
  // interpreter, which joins them at exit, for them. A second interruption
  // meanwhile terminates them. GIL held.
  void stop() noexcept {
    done = true;
    py::list processes;
    try {
      if (!py::hasattr(pool, "shutdown")) {
        // An executor the caller handed in stays theirs; only its tasks are cancelled.
        for (auto& [id, future] : futures) future.attr("cancel")();
        return;
      }
      const py::object workers = py::getattr(pool, "_processes", py::none());
      if (workers && !workers.is_none()) processes = py::list(workers.attr("values")());
      // The pool cancels its own futures: for one cancelled behind its back
      // its thread fails when a worker dies (it sets an exception on it).
      pool.attr("shutdown")(py::arg("wait") = false, py::arg("cancel_futures") = true);
      wait_for_tasks();
      py::list sentinels;
      for (const auto& process : processes) sentinels.append(process.attr("sentinel"));
      const py::object wait = py::module_::import("multiprocessing.connection").attr("wait");
      while (py::len(sentinels) > 0)
        for (const auto& ended : wait(sentinels)) sentinels.attr("remove")(ended);
    } catch (py::error_already_set&) {
      try {
        for (const auto& process : processes) process.attr("terminate")();
      } catch (py::error_already_set&) {
      }
    }
  }

  // The interruption a task ended with (KeyboardInterrupt in a worker that
  // got the Ctrl-C), raised here: it is the caller's to handle, never a task
  // that failed. GIL held, after the pool is done.
  void pass_interruptions() const {
    for (const auto& [id, future] : futures) {
      if (py::bool_(future.attr("cancelled")())) continue;
      const py::object e = future.attr("exception")();
      if (e.is_none() || PyObject_IsInstance(e.ptr(), PyExc_Exception)) continue;
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.ptr())), e.ptr());
      py::error_already_set raised;
      py_outside::throw_raised(raised);
    }
  }
};

void PythonPool::submit(const tessal_plus::bundle::PoolTask& task) {
  py::gil_scoped_acquire gil;
  const py::object python_task = to_python(task);
  py::object future;
  {
    const SigintHeldForFork held;
    future = entered.attr("submit")(python_task);
  }
  futures.emplace_back(task.order_book_id, std::move(future));
}

std::vector<TaskOutcome> PythonPool::shutdown() {
  if (done) return {};
  py::gil_scoped_acquire gil;
  try {
    wait_for_tasks();
    pool.attr("__exit__")(py::none(), py::none(), py::none());
  } catch (py::error_already_set& e) {
    stop();
    py_outside::throw_raised(e);  // KeyboardInterrupt as an interruption of the run
  }
  done = true;
  pass_interruptions();
  // Each task's future: the outcome the task returned, or how it ended
  // without one (a worker killed, a pool that broke or never started).
  std::vector<TaskOutcome> outcomes;
  const py::object to_outcome = adapters().attr("task_outcome");
  for (auto& [id, future] : futures) {
    const auto t = to_outcome(future).cast<std::tuple<int, std::string, std::string>>();
    outcomes.push_back(TaskOutcome{id, static_cast<TaskStatus>(std::get<0>(t)), std::get<1>(t), std::get<2>(t)});
    future = py::object();
  }
  return outcomes;
}

}  // namespace

py::object to_python(const tessal_plus::bundle::PoolTask& task) {
  return adapters().attr("PoolTask")(std::string(tessal_plus::bundle::store_kind(task.store).name), task.order_book_id,
                                     py::bytes(task.path), task.rebuild);
}

tessal_plus::bundle::PoolTask pool_task_from(const py::handle& task) {
  const auto store = py::cast<std::string>(task.attr("store"));
  const auto* kind = tessal_plus::bundle::store_named(store);
  if (!kind) throw std::invalid_argument("a pool task of an unknown store '" + store + "'");
  return {kind->store, py::cast<std::string>(task.attr("order_book_id")), py::cast<std::string>(task.attr("path")),
          py::cast<bool>(task.attr("rebuild"))};
}

bool probe_host_conversions() {
  const Timestamp instants[] = {util::make_timestamp(20050104, 9, 30, 0, 500123), util::make_timestamp(20240229, 0, 0, 0, 0),
                                util::make_timestamp(20241231, 23, 59, 59, 999999), util::make_timestamp(20991231, 21, 1, 2, 3000)};
  for (const Timestamp t : instants)
    if (host_number<std::int32_t>(kDataStore, "date_to_number", t) != util::timestamp_date(t) ||
        host_number<std::int32_t>(kDataStore, "time_to_number", t) != util::to_hhmmssmmm(t) ||
        host_number<std::int64_t>(kDatetimeFunc, "convert_dt_to_int", t) != util::to_yyyymmddhhmmss(t))
      return true;
  return false;
}

PythonHost::~PythonHost() {
  py::gil_scoped_acquire gil;
  warning_scopes_.clear();
  sval_.reset();
  executor_ = py::object();
}

Timestamp PythonHost::datetime_now() {
  py::gil_scoped_acquire gil;
  const auto t = interruptible([] { return adapters().attr("now")(); }).cast<std::vector<std::int64_t>>();
  return util::make_timestamp(static_cast<std::int32_t>(t[0] * 10000 + t[1] * 100 + t[2]), static_cast<int>(t[3]),
                              static_cast<int>(t[4]), static_cast<int>(t[5]), t[6]);
}

std::int64_t PythonHost::convert_dt_to_int(Timestamp t) {
  return host_conversions_ ? host_number<std::int64_t>(kDatetimeFunc, "convert_dt_to_int", t) : util::to_yyyymmddhhmmss(t);
}
std::int32_t PythonHost::date_to_number(Timestamp t) {
  return host_conversions_ ? host_number<std::int32_t>(kDataStore, "date_to_number", t) : util::timestamp_date(t);
}
std::int32_t PythonHost::time_to_number(Timestamp t) {
  return host_conversions_ ? host_number<std::int32_t>(kDataStore, "time_to_number", t) : util::to_hhmmssmmm(t);
}

void PythonHost::log_error(const std::string& message) {
  py::gil_scoped_acquire gil;
  interruptible([&] { return adapters().attr("log_error")(fs_text(message)); });
}

void PythonHost::warn(const std::string& message) {
  py::gil_scoped_acquire gil;
  py::module_::import("warnings").attr("warn")(message);
}

void PythonHost::begin_ignoring_warnings() {
  py::gil_scoped_acquire gil;
  warning_scopes_.push_back(interruptible([] { return adapters().attr("IgnoreWarnings")(); }));
}

void PythonHost::end_ignoring_warnings() noexcept {
  py::gil_scoped_acquire gil;
  if (warning_scopes_.empty()) return;
  try {
    warning_scopes_.back().attr("restore")();
  } catch (py::error_already_set&) {
    // Called from a destructor: the filters stay as the scope set them.
  }
  warning_scopes_.pop_back();
}

h5::Mode PythonHost::get_h5_mode(const std::string& path) {
  std::string mode;
  {
    py::gil_scoped_acquire gil;
    mode = interruptible([&] { return adapters().attr("h5_mode")(fs_text(path)); }).cast<std::string>();
  }
  if (mode == "r") return h5::Mode::read;
  if (mode == "r+") return h5::Mode::read_write;
  if (mode == "w" || mode == "w-" || mode == "x") return h5::Mode::create;
  if (mode == "a") return h5::Mode::append;
  throw std::invalid_argument(fmt::format("get_h5_mode gave '{}' for '{}', which is not an HDF5 open mode", mode, path));
}

py::object host_blosc_kwargs(int complevel, std::string_view complib) {
  return py::module_::import("tessal_plus.utils").attr("blosc_opts")(complevel, std::string(complib));
}

h5::FilterSpec blosc_filter_of(const py::object& kwargs) {
  const auto spec = adapters().attr("blosc_filter")(kwargs).cast<std::pair<int, std::vector<unsigned>>>();
  return h5::FilterSpec{static_cast<H5Z_filter_t>(spec.first), spec.second};
}

h5::FilterSpec PythonHost::blosc_opts(int complevel, std::string_view complib) {
  py::gil_scoped_acquire gil;
  return blosc_filter_of(host_blosc_kwargs(complevel, complib));
}

std::unique_ptr<SharedFlag> PythonHost::make_flag(bool initial) {
  py::gil_scoped_acquire gil;
  return std::make_unique<PythonFlag>(adapters().attr("make_flag")(initial));
}

void PythonHost::process_init(SharedFlag& flag) {
  py::gil_scoped_acquire gil;
  adapters().attr("process_init")(python_object(flag));
}

SharedFlag& PythonHost::sval() {
  // The flag process_init installed in this process (the host's pool runs
  // it in each worker), looked up once per operation.
  if (!sval_) {
    py::gil_scoped_acquire gil;
    py::object v = interruptible([] { return adapters().attr("current_sval")(); });
    if (v.is_none()) throw std::logic_error("tessal.data.bundle.sval is not installed: the writer runs outside an update pool");
    sval_ = std::make_unique<PythonFlag>(std::move(v));
  }
  return *sval_;
}

std::unique_ptr<tessal::Pool> PythonHost::open_pool(int max_workers, SharedFlag& flag, tessal_plus::bundle::TaskRunner) {
  return std::make_unique<PythonPool>(max_workers, python_object(flag), executor_);
}

bool PythonHost::update_daybar(const std::string& bundle_path, bool create, bool enable_compression, int concurrency,
                               bool enable_bjse, tessal::BjseKeyword form) {
  py::gil_scoped_acquire gil;
  const py::object r = adapters().attr("update_daybar")(fs_text(bundle_path), create, enable_compression, concurrency,
                                                       enable_bjse, form == tessal::BjseKeyword::quillon_kwargs);
  return py::bool_(r).cast<bool>();
}

std::optional<std::vector<tessal::InstrumentRecord>> PythonHost::read_instrument_list(const std::string& path) {
  py::gil_scoped_acquire gil;
  const py::object records = adapters().attr("instrument_list")(fs_text(path));
  if (records.is_none()) return std::nullopt;
  return records.cast<std::vector<tessal::InstrumentRecord>>();
}

// The host's download fetches the address itself into the open file.
void PythonHost::download(std::FILE* out, std::int64_t total_length, const std::string& url, const tessal::BodyReader&) {
  std::fflush(out);
  py::gil_scoped_acquire gil;
  adapters().attr("download")(fileno(out), total_length, url);
  std::fseek(out, 0, SEEK_END);
}

const tessal_plus::bundle::RecordLayout& PythonHost::tick_layout() {
  if (layout_) return *layout_;
  py::gil_scoped_acquire gil;
  const auto t = adapters().attr("tick_layout")().cast<py::tuple>();
  // The record type is the loader's whole dtype (t[2]); the fields the
  // module fills are its FIELDS (t[0]).
  const auto itemsize = t[1].cast<std::size_t>();
  tessal_plus::bundle::RecordLayout out{{}, itemsize, h5::Type::compound(itemsize)};
  for (const auto& f : t[2].cast<py::list>()) {
    const auto d = f.cast<py::tuple>();
    const auto name = d[0].cast<std::string>();
    out.type.insert(name.c_str(), d[3].cast<std::size_t>(),
                    tessal_plus::bundle::field_member_type(kind_of(name, d[1].cast<std::string>()[0], d[2].cast<std::size_t>())));
  }
  for (const auto& p : t[0].cast<py::list>()) {
    const auto d = p.cast<py::tuple>();
    const auto column = d[0].cast<std::string>();
    out.fields.push_back(tessal_plus::bundle::RecordField{column, kind_of(column, d[1].cast<std::string>()[0], d[2].cast<std::size_t>()),
                                           d[3].cast<double>(), d[4].cast<std::size_t>()});
  }
  layout_ = std::move(out);
  return *layout_;
}

}  // namespace py_outside
