// The host's names (outside/host.hpp) over the Python host: its clock,
// logger, warning filters, open-mode rule, Blosc settings, run flag, process
// pool, day-bar updater, download and tick layout. Date conversions are done
// here natively: calling the host's Python functions once per row would
// cost more than the whole update.
#include <pybind11/stl.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "py_outside.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/outside/host.hpp"

namespace py = pybind11;
using py_outside::adapters;

namespace tessal {

Timestamp datetime_now() {
  py::gil_scoped_acquire gil;
  const auto t = adapters().attr("now")().cast<std::vector<std::int64_t>>();
  return util::make_timestamp(static_cast<std::int32_t>(t[0] * 10000 + t[1] * 100 + t[2]), static_cast<int>(t[3]),
                              static_cast<int>(t[4]), static_cast<int>(t[5]), t[6]);
}
std::int64_t convert_dt_to_int(Timestamp t) noexcept { return util::to_yyyymmddhhmmss(t); }
std::int32_t date_to_number(Timestamp t) noexcept { return util::timestamp_date(t); }
std::int32_t time_to_number(Timestamp t) noexcept { return util::to_hhmmssmmm(t); }

// ---- Python's warning filters ----
namespace warnings {
namespace {
// The saved filters of each IgnoreWarnings scope, innermost last.
std::vector<py::object*>& saved_scopes() {
  static std::vector<py::object*> s;
  return s;
}
}  // namespace
void warn(const std::string& message) {
  py::gil_scoped_acquire gil;
  py::module_::import("warnings").attr("warn")(message);
}
bool ignored() { return !saved_scopes().empty(); }
void set_sink(std::function<void(const std::string&)>) {}
IgnoreWarnings::IgnoreWarnings() : saved_(false) {
  py::gil_scoped_acquire gil;
  saved_scopes().push_back(new py::object(adapters().attr("IgnoreWarnings")()));
}
IgnoreWarnings::~IgnoreWarnings() {
  py::gil_scoped_acquire gil;
  py::object* scope = saved_scopes().back();
  saved_scopes().pop_back();
  try {
    scope->attr("restore")();
  } catch (py::error_already_set&) {
    // A destructor must not throw; the filters stay as the scope set them.
  }
  delete scope;
}
}  // namespace warnings

namespace system_log {
void error(const std::string& message) {
  py::gil_scoped_acquire gil;
  adapters().attr("log_error")(message);
}
void set_sink(std::function<void(const std::string&)>) {}
}  // namespace system_log

h5::Mode get_h5_mode(const std::string& path) {
  std::string mode;
  {
    py::gil_scoped_acquire gil;
    mode = adapters().attr("h5_mode")(path).cast<std::string>();
  }
  if (mode == "r") return h5::Mode::read;
  if (mode == "r+") return h5::Mode::read_write;
  if (mode == "w" || mode == "w-" || mode == "x") return h5::Mode::create;
  if (mode == "a") return h5::Mode::append;
  throw std::invalid_argument(fmt::format("get_h5_mode gave '{}' for '{}', which is not an HDF5 open mode", mode, path));
}

h5::FilterSpec blosc_opts(int complevel, std::string_view complib) {
  py::gil_scoped_acquire gil;
  const py::object kwargs = py::module_::import("tessal_plus.utils").attr("blosc_opts")(complevel, std::string(complib));
  adapters().attr("compression_kwargs") = kwargs;  // the package shows the host's own object
  const auto spec = adapters().attr("blosc_filter")(kwargs).cast<std::pair<int, std::vector<unsigned>>>();
  return h5::FilterSpec{static_cast<H5Z_filter_t>(spec.first), spec.second};
}

// ---- the run's flag: a process-shared value of Python's multiprocessing ----
namespace {
class PythonFlag : public SharedFlag {
 public:
  explicit PythonFlag(py::object value) : value_(std::move(value)) {}
  ~PythonFlag() override {
    py::gil_scoped_acquire gil;
    value_ = py::object();
  }
  bool value() const override {
    py::gil_scoped_acquire gil;
    return py::bool_(value_.attr("value")).cast<bool>();
  }
  void clear() override {
    py::gil_scoped_acquire gil;
    value_.attr("value") = false;
  }
  const py::object& object() const { return value_; }

 private:
  py::object value_;
};

const py::object& python_object(SharedFlag* flag) {
  const auto* p = dynamic_cast<const PythonFlag*>(flag);
  if (!p) throw std::logic_error("the run's flag was not made by the Python host");
  return p->object();
}
}  // namespace

SharedFlagOwner::SharedFlagOwner(bool initial) {
  py::gil_scoped_acquire gil;
  flag_ = std::make_unique<PythonFlag>(adapters().attr("make_flag")(initial));
}
SharedFlagOwner::~SharedFlagOwner() = default;

namespace data::bundle {

SharedFlag* sval() {
  // Looked up at every call: process_init installs it in each worker. The
  // last one is never freed: at exit the interpreter is gone, and freeing a
  // Python object then would wait for a GIL nobody can give.
  thread_local PythonFlag* current = nullptr;
  py::gil_scoped_acquire gil;
  py::object v = adapters().attr("current_sval")();
  if (v.is_none()) throw std::logic_error("tessal.data.bundle.sval is not installed: the writer runs outside an update pool");
  delete current;
  current = new PythonFlag(std::move(v));
  return current;
}

void process_init(SharedFlag* flag) {
  py::gil_scoped_acquire gil;
  adapters().attr("process_init")(python_object(flag));
}

// The host's pool, used as the module always has: the host's process_init
// with the run's flag as initializer, tasks sent as functions of the package
// that call the writers, which pickle by name and run in the host's workers.
struct ProgressedProcessPoolExecutor::Impl {
  py::object pool;
  py::object entered;
  bool done = false;
  std::vector<std::pair<std::string, py::object>> futures;  // id, future
};

ProgressedProcessPoolExecutor::ProgressedProcessPoolExecutor(int max_workers, Initializer, SharedFlag* initarg) {
  py::gil_scoped_acquire gil;
  const auto pair = adapters().attr("open_pool")(max_workers, python_object(initarg)).cast<py::tuple>();
  impl_ = std::make_unique<Impl>(Impl{pair[0], pair[1], false, {}});
}

ProgressedProcessPoolExecutor::~ProgressedProcessPoolExecutor() {
  try {
    shutdown();
  } catch (...) {
    // A destructor must not throw.
  }
  py::gil_scoped_acquire gil;
  impl_.reset();
}

void ProgressedProcessPoolExecutor::submit(TaskFunction fn, const std::string& order_book_id, const std::string& path,
                                           bool rebuild) {
  const char* name = fn == &tessal_plus::bundle::minbar_task ? "_minbar_task"
                     : fn == &tessal_plus::bundle::tick_task ? "_tick_task"
                                                             : nullptr;
  if (!name) throw std::logic_error("the Python host's pool runs only the package's writers");
  py::gil_scoped_acquire gil;
  const py::object writer = py::module_::import("tessal_plus.bundle").attr(name);
  impl_->futures.emplace_back(order_book_id, impl_->entered.attr("submit")(writer, order_book_id, path, py::arg("rebuild") = rebuild));
}

std::vector<TaskOutcome> ProgressedProcessPoolExecutor::shutdown() {
  if (impl_->done) return {};
  impl_->done = true;
  py::gil_scoped_acquire gil;
  impl_->pool.attr("__exit__")(py::none(), py::none(), py::none());
  // Each task's future: the outcome the task returned, or how it ended
  // without one (a worker killed, a pool that broke or never started).
  std::vector<TaskOutcome> outcomes;
  const py::object to_outcome = adapters().attr("task_outcome");
  for (auto& [id, future] : impl_->futures) {
    const auto t = to_outcome(future).cast<std::tuple<int, std::string, std::string>>();
    outcomes.push_back(TaskOutcome{id, static_cast<TaskStatus>(std::get<0>(t)), std::get<1>(t), std::get<2>(t)});
    future = py::object();
  }
  return outcomes;
}

bool update_daybar(const std::string& bundle_path, bool create, bool enable_compression, int concurrency, bool enable_bjse,
                   BjseKeyword form) {
  py::gil_scoped_acquire gil;
  const py::object r = adapters().attr("update_daybar")(bundle_path, create, enable_compression, concurrency, enable_bjse,
                                                       form == BjseKeyword::quillon_kwargs);
  return py::bool_(r).cast<bool>();
}

}  // namespace data::bundle

namespace cmds::bundle {
// The host's download fetches the address itself into the open file.
void download(std::FILE* out, std::int64_t total_length, const std::string& url, const BodyReader&) {
  std::fflush(out);
  py::gil_scoped_acquire gil;
  adapters().attr("download")(fileno(out), total_length, url);
  std::fseek(out, 0, SEEK_END);
}
}  // namespace cmds::bundle

// ---- the tick layout ----
namespace {
struct Layout {
  std::vector<std::string> columns;
  std::vector<TickField> fields;
  h5::Type type;
};

FieldKind kind_of(const std::string& column, char kind, std::size_t size) {
  if ((kind == 'i' || kind == 'u') && size == 4) return FieldKind::i32;
  if ((kind == 'i' || kind == 'u') && size == 8) return FieldKind::i64;
  if (kind == 'f' && size == 8) return FieldKind::f64;
  throw std::invalid_argument(fmt::format("tick field for column '{}' is {}{}; 4- or 8-byte integers and 8-byte reals are supported",
                                          column, kind, size));
}

hid_t member_type(char kind, std::size_t size) {
  if (kind == 'f') return size == 8 ? H5T_IEEE_F64LE : H5T_IEEE_F32LE;
  if (kind == 'u') return size == 8 ? H5T_STD_U64LE : size == 4 ? H5T_STD_U32LE : size == 2 ? H5T_STD_U16LE : H5T_STD_U8LE;
  return size == 8 ? H5T_STD_I64LE : size == 4 ? H5T_STD_I32LE : size == 2 ? H5T_STD_I16LE : H5T_STD_I8LE;
}

const Layout& layout() {
  static const Layout l = [] {
    py::gil_scoped_acquire gil;
    const auto t = adapters().attr("tick_layout")().cast<py::tuple>();
    Layout out;
    out.type = h5::Type::compound(t[1].cast<std::size_t>());
    for (const auto& f : t[2].cast<py::list>()) {
      const auto d = f.cast<py::tuple>();
      out.type.insert(d[0].cast<std::string>().c_str(), d[3].cast<std::size_t>(),
                      member_type(d[1].cast<std::string>()[0], d[2].cast<std::size_t>()));
    }
    for (const auto& p : t[0].cast<py::list>()) {
      const auto d = p.cast<py::tuple>();
      const auto column = d[0].cast<std::string>();
      out.columns.push_back(column);
      out.fields.push_back(TickField{column, kind_of(column, d[1].cast<std::string>()[0], d[2].cast<std::size_t>()),
                                     d[3].cast<double>(), d[4].cast<std::size_t>()});
    }
    return out;
  }();
  return l;
}
}  // namespace

const std::vector<std::string>& H5TicksLoader::COLUMNS() { return layout().columns; }
const std::vector<TickField>& H5TicksLoader::FIELDS() { return layout().fields; }
const h5::Type& H5TicksLoader::DTYPES() { return layout().type; }

}  // namespace tessal
