#pragma once
// What the bundle module requires of its host framework `tessal` (and of
// `tessal_mod_palomar_data` and `tessal_plus.utils`): instrument types,
// the clock and date conversions, the logger, the process pool with the
// shared success flag, the day-bar updater and the instrument list it
// writes, the download transfer, the tick record layout, the HDF5 open-mode
// rule and the Blosc settings. The module's own types it names (a pool's
// task, a record layout) live with the module.
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
#include "tessal_plus/bundle/outside/market_data.hpp"
#include "tessal_plus/bundle/pool_task.hpp"
#include "tessal_plus/bundle/record_layout.hpp"
#include "util/datetime.hpp"

namespace tessal {

using util::Timestamp;

// tessal.const.INSTRUMENT_TYPE: its values are the service's `type` texts.
namespace INSTRUMENT_TYPE = quillonc::instrument_type;

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

// A pool of worker processes running one update's tasks. Tasks are handed
// out as workers free up; a progress bar advances by one per finished task.
// A task that throws is logged with its order book id and clears the flag;
// a worker that dies is replaced and its task counts as died (and clears the
// flag), so the run can never report success for work that did not happen.
class Pool {
 public:
  virtual ~Pool() = default;
  virtual void submit(const tessal_plus::bundle::PoolTask& task) = 0;
  // Runs every submitted task and waits for all of them; their outcomes,
  // in the order of submission (empty when called again).
  virtual std::vector<tessal_plus::bundle::TaskOutcome> shutdown() = 0;
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
  virtual std::unique_ptr<Pool> open_pool(int max_workers, SharedFlag& flag, tessal_plus::bundle::TaskRunner run_task) = 0;

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
  virtual const tessal_plus::bundle::RecordLayout& tick_layout() = 0;
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
