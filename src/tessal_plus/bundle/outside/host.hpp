#pragma once
// What the bundle module requires of its host framework `tessal` (and of
// `tessal_mod_palomar_data` and `tessal_plus.utils`): instrument types,
// the clock and date conversions, the logger, the process pool with the
// shared success flag, the day-bar updater and the instrument list it
// writes, the download transfer, the tick record layout, the HDF5 open-mode
// rule and the Blosc settings.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "h5/h5.hpp"
#include "util/datetime.hpp"

namespace tessal {

using util::Timestamp;

// tessal.const.INSTRUMENT_TYPE: values equal to the service's `type` texts.
namespace INSTRUMENT_TYPE {
inline constexpr std::string_view CS = "CS";
inline constexpr std::string_view FUTURE = "Future";
inline constexpr std::string_view ETF = "ETF";
inline constexpr std::string_view LOF = "LOF";
inline constexpr std::string_view INDX = "INDX";
inline constexpr std::string_view OPTION = "Option";
inline constexpr std::string_view CONVERTIBLE = "Convertible";
inline constexpr std::string_view REITs = "REITs";
}  // namespace INSTRUMENT_TYPE

// The run's success flag: a boolean shared by every process of one update
// run, true when created, only ever cleared by the writers. The host makes
// it (memory shared between processes natively, a process-shared value of
// its own in Python), so that its pool can hand it to process_init.
class SharedFlag {
 public:
  virtual ~SharedFlag() = default;
  virtual bool value() const = 0;
  virtual void clear() = 0;
};

// What became of one task of an update run, as the pool reports it to the
// driver: machine-readable results (--json) come from these, never from
// the log's text.
enum class TaskStatus {
  written,     // the file was created or changed
  up_to_date,  // nothing to write (or nothing to fetch)
  failed,      // the writer failed; the failure was logged and the flag cleared
  died,        // the worker running it ended (killed, out of memory) or never started
  not_run,     // the run was stopped before the task was handed out
};
constexpr std::string_view status_name(TaskStatus s) noexcept {
  switch (s) {
    case TaskStatus::written: return "written";
    case TaskStatus::up_to_date: return "up_to_date";
    case TaskStatus::failed: return "failed";
    case TaskStatus::died: return "died";
    case TaskStatus::not_run: return "not_run";
  }
  return "?";
}

struct TaskOutcome {
  std::string order_book_id;
  TaskStatus status = TaskStatus::not_run;
  std::string kind;     // of a failure: "locked", "damaged", ... (util::kind_name); empty otherwise
  std::string message;  // of a failure: the line that was logged
};

// The tick record layout of H5TicksLoader (tessal_mod_palomar_data), given
// at run time: the module writes and reads exactly the layout described
// here, whatever its fields, scales and size. Every numeric kind a
// little-endian layout can hold:
enum class FieldKind { i32, i64, f64, i8, i16, u8, u16, u32, u64, f32 };
// The HDF5 type of a field of that kind (little-endian).
inline hid_t field_member_type(FieldKind k) noexcept {
  switch (k) {
    case FieldKind::i8: return H5T_STD_I8LE;
    case FieldKind::i16: return H5T_STD_I16LE;
    case FieldKind::i32: return H5T_STD_I32LE;
    case FieldKind::i64: return H5T_STD_I64LE;
    case FieldKind::u8: return H5T_STD_U8LE;
    case FieldKind::u16: return H5T_STD_U16LE;
    case FieldKind::u32: return H5T_STD_U32LE;
    case FieldKind::u64: return H5T_STD_U64LE;
    case FieldKind::f32: return H5T_IEEE_F32LE;
    case FieldKind::f64: return H5T_IEEE_F64LE;
  }
  return H5T_IEEE_F64LE;
}
// A field size in bytes.
constexpr std::size_t field_size(FieldKind k) noexcept {
  switch (k) {
    case FieldKind::i8:
    case FieldKind::u8: return 1;
    case FieldKind::i16:
    case FieldKind::u16: return 2;
    case FieldKind::i32:
    case FieldKind::u32:
    case FieldKind::f32: return 4;
    case FieldKind::i64:
    case FieldKind::u64:
    case FieldKind::f64: return 8;
  }
  return 8;
}

// One field of a packed little-endian record. The module's minute-bar
// layouts and the host's tick layout are described alike, and written by
// one converter: the service's column of the field's name times `scale`,
// integer fields rounded half away from zero.
struct RecordField {
  std::string name;
  FieldKind kind = FieldKind::f64;
  double scale = 1;         // tick prices: x10000 (the loader's FIELDS' third element)
  std::size_t offset = 0;   // position of the field in the packed record
};
// A record layout: its fields, its size and its HDF5 compound type with
// the same member names (a host's type may hold members beyond the fields).
struct RecordLayout {
  std::vector<RecordField> fields;
  std::size_t itemsize = 0;
  h5::Type type;
  // The type made from `fields`; throws std::invalid_argument for a field
  // that does not lie within `itemsize` bytes.
  static RecordLayout of(std::vector<RecordField> fields, std::size_t itemsize);
  std::vector<std::string> names() const;
};

// One task of an update's pool: the writer of one instrument's file of one
// store. Plain data, so that a host's pool can send it to another process.
enum class Store { minute, tick };
constexpr std::string_view store_name(Store s) noexcept { return s == Store::tick ? "tick" : "minute"; }
struct PoolTask {
  Store store = Store::minute;
  std::string order_book_id;
  std::string path;
  bool rebuild = false;
};
// What runs a task inside a worker (the module's one task runner).
using TaskRunner = std::function<TaskOutcome(const PoolTask&)>;

// A pool of worker processes running one update's tasks. Tasks are handed
// out as workers free up; a progress bar advances by one per finished task.
// A task that throws is logged with its order book id and clears the flag;
// a worker that dies is replaced and its task counts as died (and clears the
// flag), so the run can never report success for work that did not happen.
class Pool {
 public:
  virtual ~Pool() = default;
  virtual void submit(const PoolTask& task) = 0;
  // Runs every submitted task and waits for all of them; their outcomes,
  // in the order of submission (empty when called again).
  virtual std::vector<TaskOutcome> shutdown() = 0;
};

// tessal.data.bundle.update_bundle's BJSE setting: the full update passes it
// inside `quillon_kwargs`, the smart update as a keyword of its own.
enum class BjseKeyword { quillon_kwargs, enable_bjse };

// The instrument list `instruments.pk` that update_daybar writes, read with
// the host's own reader (Python's pickle in a Python host): each record's
// fields as texts, dates YYYY-MM-DD, None an empty text.
using InstrumentRecord = std::vector<std::pair<std::string, std::string>>;

// tessal.cmds.bundle.download's source: pulls the next piece of the
// response (0 at its end).
using BodyReader = std::function<std::size_t(char* buf, std::size_t cap)>;

// Everything the module asks of its host framework. The command line's
// native stand-in, the Python package's adapter over the host's modules and
// the tests' doubles implement it; an operation is handed the host it runs
// in (inside its Run) and never looks one up.
class Host {
 public:
  virtual ~Host() = default;

  // tessal.utils.datetime_func.datetime: the current local date and time.
  virtual Timestamp datetime_now() = 0;
  // convert_dt_to_int (YYYYMMDDHHMMSS), date_to_number (YYYYMMDD) and
  // time_to_number (HHMMSSmmm). A host may compute them its own way and
  // throw what its functions raise; by default they are computed here.
  virtual std::int64_t convert_dt_to_int(Timestamp t) { return util::to_yyyymmddhhmmss(t); }
  virtual std::int32_t date_to_number(Timestamp t) { return util::timestamp_date(t); }
  virtual std::int32_t time_to_number(Timestamp t) { return util::to_hhmmssmmm(t); }

  // tessal.utils.logger.system_log.error: one line per message.
  virtual void log_error(const std::string& message) = 0;
  // The warning channel: services report warnings through it; between
  // begin_ignoring_warnings() and its end_ignoring_warnings() every warning
  // is silenced (scopes nest; use IgnoreWarnings).
  virtual void warn(const std::string& message) = 0;
  virtual void begin_ignoring_warnings() = 0;
  virtual void end_ignoring_warnings() noexcept = 0;

  // tessal_plus.utils.scripts.get_h5_mode: how an existing store file is opened.
  virtual h5::Mode get_h5_mode(const std::string& path) = 0;
  // tessal_plus.utils.blosc_opts: dataset-creation settings of the Blosc
  // filter. Throws std::invalid_argument for an unknown codec or level.
  virtual h5::FilterSpec blosc_opts(int complevel, std::string_view complib) = 0;

  // The run's success flag (see SharedFlag), made by the host so that its
  // pool can hand it to its workers; `process_init` installs it in a worker
  // (tessal.data.bundle.process_init) and `sval` is the one installed in
  // this process (tessal.data.bundle.sval; std::logic_error when none is).
  virtual std::unique_ptr<SharedFlag> make_flag(bool initial) = 0;
  virtual void process_init(SharedFlag& flag) = 0;
  virtual SharedFlag& sval() = 0;

  // tessal.data.bundle.ProgressedProcessPoolExecutor over `max_workers`
  // processes, each initialised by process_init(flag); `run_task` is what a
  // worker of a pool that runs the module's code in place calls per task (a
  // host that sends tasks by name to processes of its own calls the same
  // runner there).
  virtual std::unique_ptr<Pool> open_pool(int max_workers, SharedFlag& flag, TaskRunner run_task) = 0;

  // tessal.data.bundle.update_bundle: refreshes the base files of a bundle
  // (trading_dates.npy, suspended_days.h5, instruments.pk) from the
  // service. Whether everything was written.
  virtual bool update_daybar(const std::string& bundle_path, bool create, bool enable_compression, int concurrency,
                             bool enable_bjse, BjseKeyword form) = 0;
  // instruments.pk read by the host's reader: nothing when the file holds
  // no list; the reader's errors are thrown.
  virtual std::optional<std::vector<InstrumentRecord>> read_instrument_list(const std::string& path) = 0;

  // tessal.cmds.bundle.download: copies the response body into `out`, with
  // a byte progress bar over `total_length`.
  virtual void download(std::FILE* out, std::int64_t total_length, const std::string& url, const BodyReader& body) = 0;

  // H5TicksLoader's record layout (tessal_mod_palomar_data).
  virtual const RecordLayout& tick_layout() = 0;
};

// Silences the host's warnings for its lifetime.
class IgnoreWarnings {
 public:
  explicit IgnoreWarnings(Host& host) : host_(host) { host_.begin_ignoring_warnings(); }
  ~IgnoreWarnings() { host_.end_ignoring_warnings(); }
  IgnoreWarnings(const IgnoreWarnings&) = delete;
  IgnoreWarnings& operator=(const IgnoreWarnings&) = delete;

 private:
  Host& host_;
};

}  // namespace tessal
