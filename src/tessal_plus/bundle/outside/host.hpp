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

// tessal.utils.datetime_func.datetime: the current local date and time.
Timestamp datetime_now();
// tessal.utils.datetime_func.convert_dt_to_int: YYYYMMDDHHMMSS. A host may
// compute these its own way: they can throw what its functions raise.
std::int64_t convert_dt_to_int(Timestamp t);
// date_to_number, time_to_number of the data module: YYYYMMDD and HHMMSSmmm.
std::int32_t date_to_number(Timestamp t);
std::int32_t time_to_number(Timestamp t);

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

// The process-wide warning channel. Services report warnings through it;
// `IgnoreWarnings` silences every warning for its lifetime and restores the
// previous setting on every exit.
namespace warnings {
void warn(const std::string& message);
bool ignored();
class IgnoreWarnings {
 public:
  IgnoreWarnings();
  ~IgnoreWarnings();
  IgnoreWarnings(const IgnoreWarnings&) = delete;
  IgnoreWarnings& operator=(const IgnoreWarnings&) = delete;

 private:
  bool saved_;
};
// Where warnings go (standard error by default); tests capture them.
void set_sink(std::function<void(const std::string&)> sink);
}  // namespace warnings

// tessal.utils.logger.system_log: one line per message on standard error.
namespace system_log {
void error(const std::string& message);
void set_sink(std::function<void(const std::string&)> sink);  // empty: standard error
}  // namespace system_log

// tessal_plus.utils.scripts.get_h5_mode: read/write, created when absent.
h5::Mode get_h5_mode(const std::string& path);

// tessal_plus.utils.blosc_opts: dataset-creation settings of the Blosc filter.
// Throws std::invalid_argument for an unknown codec or a level outside 0..9.
h5::FilterSpec blosc_opts(int complevel, std::string_view complib);

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

class SharedFlagOwner {
 public:
  explicit SharedFlagOwner(bool initial);
  ~SharedFlagOwner();
  SharedFlagOwner(const SharedFlagOwner&) = delete;
  SharedFlagOwner& operator=(const SharedFlagOwner&) = delete;
  SharedFlag* get() const noexcept { return flag_.get(); }

 private:
  std::unique_ptr<SharedFlag> flag_;
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

namespace data::bundle {

// tessal.data.bundle.sval: the run's flag as installed in this process,
// looked up when a writer needs it. Throws std::logic_error when none is.
SharedFlag* sval();
// tessal.data.bundle.process_init: installs the flag in a worker process.
void process_init(SharedFlag* flag);

// A pool of `max_workers` worker processes, each initialised once by
// `initializer(initarg)`. submit() takes the task function and its
// arguments, as a process pool takes a function it can send by name; tasks
// are handed out as workers free up; a progress bar advances by one per
// finished task. Leaving the scope (or shutdown()) waits for every task. A
// task that throws is logged with its order book id and clears the flag; a
// worker that dies is replaced and its task counts as died (and clears the
// flag), so the run can never report success for work that did not happen.
// shutdown() returns every task's outcome, in the order of submission.
class ProgressedProcessPoolExecutor {
 public:
  using Initializer = std::function<void(SharedFlag*)>;
  using TaskFunction = TaskOutcome (*)(const std::string& order_book_id, const std::string& path, bool rebuild);
  ProgressedProcessPoolExecutor(int max_workers, Initializer initializer, SharedFlag* initarg);
  ~ProgressedProcessPoolExecutor();
  ProgressedProcessPoolExecutor(const ProgressedProcessPoolExecutor&) = delete;
  ProgressedProcessPoolExecutor& operator=(const ProgressedProcessPoolExecutor&) = delete;

  void submit(TaskFunction fn, const std::string& order_book_id, const std::string& path, bool rebuild);
  // Runs every submitted task and waits for all of them; their outcomes
  // (empty when called again).
  std::vector<TaskOutcome> shutdown();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// tessal.data.bundle.update_bundle: refreshes the base files of a bundle
// (trading_dates.npy, suspended_days.h5, instruments.pk) from the service.
// Returns whether everything was written. The full update passes the BJSE
// setting inside `quillon_kwargs`, the smart update as a keyword of its own.
enum class BjseKeyword { quillon_kwargs, enable_bjse };
bool update_daybar(const std::string& bundle_path, bool create, bool enable_compression, int concurrency, bool enable_bjse,
                   BjseKeyword form);

// The instrument list `instruments.pk` that update_daybar writes, read with
// the host's own reader (Python's pickle in a Python host): each record's
// fields as texts, dates YYYY-MM-DD, None an empty text. Nothing when the
// file holds no list; the reader's errors are thrown.
using InstrumentRecord = std::vector<std::pair<std::string, std::string>>;
std::optional<std::vector<InstrumentRecord>> read_instrument_list(const std::string& path);

}  // namespace data::bundle

namespace cmds::bundle {
// tessal.cmds.bundle.download: copies the response body of an open transfer
// into `out`, with a byte progress bar over `total_length` on standard
// error. `body` pulls the next piece of the response (0 at its end).
using BodyReader = std::function<std::size_t(char* buf, std::size_t cap)>;
void download(std::FILE* out, std::int64_t total_length, const std::string& url, const BodyReader& body);
}  // namespace cmds::bundle

// The tick record layout of H5TicksLoader (tessal_mod_palomar_data), given
// at run time: the module writes and reads exactly the layout described
// here, whatever its fields, scales and size.
// Every numeric kind a little-endian layout can hold.
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
struct TickField {
  std::string name;
  FieldKind kind;
  double scale;         // third element of the loader's FIELDS entry
  std::size_t offset;   // position of the field in the packed record
};
struct H5TicksLoader {
  static const std::vector<std::string>& COLUMNS();
  static const std::vector<TickField>& FIELDS();
  // The record type; its size is the record size.
  static const h5::Type& DTYPES();
};

}  // namespace tessal
