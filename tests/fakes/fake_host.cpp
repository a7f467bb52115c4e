// A second host for the module, as small as the module allows: tasks run in
// this process, the clock is TESSAL_NOW, and the tick layout is a short one
// of its own (five fields, other scales, a one-byte integer), so tests can show that the module
// works from whatever host it is linked with and writes exactly the layout
// the host describes.
#include <cstdlib>
#include <stdexcept>

#include <fmt/format.h>

#include "tessal_plus/bundle/outside/host.hpp"
#include "tests/fakes/fake_host.hpp"
#include "util/pickle.hpp"

namespace fake_host {
std::vector<std::string> log_lines;
int initializer_calls = 0;
int daybar_calls = 0;
}  // namespace fake_host

namespace tessal {

Timestamp datetime_now() {
  const char* pinned = std::getenv("TESSAL_NOW");
  if (!pinned || !*pinned) throw std::logic_error("the fake host's clock needs TESSAL_NOW");
  return util::parse_timestamp(pinned);
}
std::int64_t convert_dt_to_int(Timestamp t) { return util::to_yyyymmddhhmmss(t); }
std::int32_t date_to_number(Timestamp t) { return util::timestamp_date(t); }
std::int32_t time_to_number(Timestamp t) { return util::to_hhmmssmmm(t); }

namespace warnings {
namespace {
bool g_ignore = false;
}
void warn(const std::string&) {}
bool ignored() { return g_ignore; }
void set_sink(std::function<void(const std::string&)>) {}
IgnoreWarnings::IgnoreWarnings() : saved_(g_ignore) { g_ignore = true; }
IgnoreWarnings::~IgnoreWarnings() { g_ignore = saved_; }
}  // namespace warnings

namespace system_log {
void error(const std::string& message) { fake_host::log_lines.push_back(message); }
void set_sink(std::function<void(const std::string&)>) {}
}  // namespace system_log

h5::Mode get_h5_mode(const std::string&) { return h5::Mode::append; }

h5::FilterSpec blosc_opts(int complevel, std::string_view) {
  return h5::FilterSpec{h5::kBloscFilter, {0, 0, 0, 0, static_cast<unsigned>(complevel), 1, 1}};
}

namespace {
class PlainFlag : public SharedFlag {
 public:
  explicit PlainFlag(bool v) : v_(v) {}
  bool value() const override { return v_; }
  void clear() override { v_ = false; }

 private:
  bool v_;
};
}  // namespace
SharedFlagOwner::SharedFlagOwner(bool initial) : flag_(std::make_unique<PlainFlag>(initial)) {}
SharedFlagOwner::~SharedFlagOwner() = default;

namespace data::bundle {
namespace {
SharedFlag* g_sval = nullptr;
}
SharedFlag* sval() {
  if (!g_sval) throw std::logic_error("no flag installed");
  return g_sval;
}
void process_init(SharedFlag* flag) { g_sval = flag; }

// Runs the tasks one after the other in this process, the initialiser once.
struct ProgressedProcessPoolExecutor::Impl {
  Initializer initializer;
  SharedFlag* initarg;
  std::vector<std::tuple<TaskFunction, std::string, std::string, bool>> tasks;
  bool done = false;
};
ProgressedProcessPoolExecutor::ProgressedProcessPoolExecutor(int, Initializer initializer, SharedFlag* initarg)
    : impl_(std::make_unique<Impl>(Impl{std::move(initializer), initarg, {}, false})) {}
ProgressedProcessPoolExecutor::~ProgressedProcessPoolExecutor() { shutdown(); }
void ProgressedProcessPoolExecutor::submit(TaskFunction fn, const std::string& id, const std::string& path, bool rebuild) {
  impl_->tasks.emplace_back(fn, id, path, rebuild);
}
std::vector<TaskOutcome> ProgressedProcessPoolExecutor::shutdown() {
  if (impl_->done) return {};
  impl_->done = true;
  ++fake_host::initializer_calls;
  impl_->initializer(impl_->initarg);
  std::vector<TaskOutcome> outcomes;
  for (const auto& [fn, id, path, rebuild] : impl_->tasks) outcomes.push_back(fn(id, path, rebuild));
  return outcomes;
}

bool update_daybar(const std::string&, bool, bool, int, bool, BjseKeyword) {
  ++fake_host::daybar_calls;
  return true;
}
std::optional<std::vector<InstrumentRecord>> read_instrument_list(const std::string& path) {
  return util::pickle::read_records(path);
}
}  // namespace data::bundle

namespace cmds::bundle {
void download(std::FILE* out, std::int64_t, const std::string&, const BodyReader& body) {
  char buf[4096];
  while (const std::size_t n = body(buf, sizeof buf)) std::fwrite(buf, 1, n, out);
}
}  // namespace cmds::bundle

const std::vector<TickField>& H5TicksLoader::FIELDS() {
  static const std::vector<TickField> fields = {
      {"date", FieldKind::i32, 1, 0},       {"time", FieldKind::i32, 1, 4}, {"last", FieldKind::f64, 2, 8},
      {"volume", FieldKind::i64, 100, 16}, {"high", FieldKind::u8, 1, 24}};
  return fields;
}
const std::vector<std::string>& H5TicksLoader::COLUMNS() {
  static const std::vector<std::string> columns = {"date", "time", "last", "volume", "high"};
  return columns;
}
const h5::Type& H5TicksLoader::DTYPES() {
  static const h5::Type type = [] {
    h5::Type t = h5::Type::compound(25);
    for (const auto& f : H5TicksLoader::FIELDS()) t.insert(f.name.c_str(), f.offset, field_member_type(f.kind));
    return t;
  }();
  return type;
}

}  // namespace tessal
