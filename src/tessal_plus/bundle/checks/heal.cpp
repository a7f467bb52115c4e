// Healing: a broken file, or one with content findings, refilled from the
// service in a stage beside the store, checked there with the same rules,
// and renamed over the old file only when whole.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <chrono>
#include <exception>
#include <set>

#include <fmt/format.h>

#include "h5/h5.hpp"
#include "h5/journal.hpp"
#include "tessal_plus/bundle/checks/internal.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/errors.hpp"
#include "tessal_plus/bundle/writers.hpp"
#include "util/files.hpp"

namespace tessal_plus::bundle::checking {
namespace fs = std::filesystem;
namespace {

// The trading days a store file holds: its index's dates (minute bars) or
// its datasets named after days (ticks); nothing when they cannot be read.
std::optional<std::set<std::int32_t>> held_days(const std::string& path) {
  try {
    const h5::File f = h5::File::open(path, h5::Mode::read);
    std::set<std::int32_t> days;
    if (f.contains("index")) {
      const h5::Dataset index = f.open_dataset("index");
      std::vector<IndexRecord> records(index.checked_size(sizeof(IndexRecord)));
      if (!records.empty()) index.read(records.data(), INDEX_DTYPE().type.get());
      for (const auto& r : records) days.insert(r.date);
    } else {
      for (const auto& name : f.root_names())
        if (const auto day = tick_day(name, MAX_END_DATE)) days.insert(*day);
    }
    return days;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The name of this machine, as the stages it makes record it.
std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "?";
  return name;
}

constexpr const char* kStagePrefix = ".heal-";
constexpr const char* kStageOwner = "owner";

// A hidden folder for one refill, beside the stores in the bundle folder
// (never inside a store, where a host walking the store for "*.h5" would
// meet a half-written duplicate), on the stores' file system so that the
// refilled file is renamed into place, never copied. It records its owner
// (host name and process id) for the clean-up of stages a killed heal
// left, and is removed with whatever it holds on every way out.
class Stage {
 public:
  // The path a stage in `bundle_root` gets: a name of its own.
  static std::string path_in(const std::string& bundle_root) {
    return join(bundle_root, std::string(kStagePrefix) + util::unique_suffix());
  }
  explicit Stage(std::string path) : path_(std::move(path)) {
    // A folder of that name already there is another's: never used or removed.
    if (!fs::create_directory(path_)) util::throw_os_error(EEXIST, "cannot make the stage", path_);
    try {
      util::write_atomically(join(path_, kStageOwner), fmt::format("{}\n{}\n", host_name(), ::getpid()));
    } catch (...) {
      // A full disk fails here: the stage goes at once, not a day later.
      std::error_code ec;
      fs::remove_all(path_, ec);
      throw;
    }
  }
  ~Stage() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The run's host, but for remembering the failure a writer logs: a writer
// logs from inside its handler, so the exception itself (with its errno) is
// at hand there, where the logged line only has its text.
class FailureKeepingHost final : public tessal::Host {
 public:
  explicit FailureKeepingHost(tessal::Host& inner) : inner_(inner) {}
  // The exception being handled when the writer last logged; null if none.
  const std::exception_ptr& failure() const { return failure_; }

  tessal::Timestamp datetime_now() override { return inner_.datetime_now(); }
  std::int64_t convert_dt_to_int(tessal::Timestamp t) override { return inner_.convert_dt_to_int(t); }
  std::int32_t date_to_number(tessal::Timestamp t) override { return inner_.date_to_number(t); }
  std::int32_t time_to_number(tessal::Timestamp t) override { return inner_.time_to_number(t); }
  void log_error(const std::string& message) override {
    if (auto now = std::current_exception()) failure_ = std::move(now);
    inner_.log_error(message);
  }
  void warn(const std::string& message) override { inner_.warn(message); }
  void begin_ignoring_warnings() override { inner_.begin_ignoring_warnings(); }
  void end_ignoring_warnings() noexcept override { inner_.end_ignoring_warnings(); }
  h5::Mode get_h5_mode(const std::string& path) override { return inner_.get_h5_mode(path); }
  h5::FilterSpec blosc_opts(int complevel, std::string_view complib) override { return inner_.blosc_opts(complevel, complib); }
  std::unique_ptr<tessal::SharedFlag> make_flag(bool initial) override { return inner_.make_flag(initial); }
  void process_init(tessal::SharedFlag& flag) override { inner_.process_init(flag); }
  tessal::SharedFlag& sval() override { return inner_.sval(); }
  std::unique_ptr<tessal::Pool> open_pool(int max_workers, tessal::SharedFlag& flag, TaskRunner run_task) override {
    return inner_.open_pool(max_workers, flag, std::move(run_task));
  }
  bool update_daybar(const std::string& bundle_path, bool create, bool enable_compression, int concurrency, bool enable_bjse,
                     tessal::BjseKeyword form) override {
    return inner_.update_daybar(bundle_path, create, enable_compression, concurrency, enable_bjse, form);
  }
  std::optional<std::vector<tessal::InstrumentRecord>> read_instrument_list(const std::string& path) override {
    return inner_.read_instrument_list(path);
  }
  void download(std::FILE* out, std::int64_t total_length, const std::string& url, const tessal::BodyReader& body) override {
    inner_.download(out, total_length, url, body);
  }
  const RecordLayout& tick_layout() override { return inner_.tick_layout(); }

 private:
  tessal::Host& inner_;
  std::exception_ptr failure_;
};

// Why refilling `path` failed, naming the store file and never the stage
// (gone by the time anyone reads this): the system's own words for an
// errno ("No space left on device"), else the error's text with the stage's
// paths put back onto the store's.
std::string refill_failure(const std::string& path, const std::exception& e, const std::string& stage, const std::string& store_root) {
  if (const int os_errno = os_errno_of(e)) return fmt::format("cannot refill '{}': {}", path, std::strerror(os_errno));
  std::string what = e.what();
  if (!stage.empty())
    for (auto at = what.find(stage); at != std::string::npos; at = what.find(stage, at + store_root.size()))
      what.replace(at, stage.size(), store_root);
  return fmt::format("cannot refill '{}': {}", path, what);
}

// The folder that holds the stores (and their heal stages).
std::string bundle_root_of(const StoreCheck& store) { return fs::path(store.store_root).parent_path().string(); }

// Heals one file: refilled in a stage, checked there, and put in place of
// the old file only when it is whole; the old file is never touched before.
HealOutcome heal_file(const Run& run, const std::string& path, const StoreCheck& store) {
  HealOutcome out{path, "failed", "", {}};
  const std::string stage_path = Stage::path_in(bundle_root_of(store));
  try {
    // Healing renames a new file over the name: through a link it would
    // replace the link and leave its target as it was.
    if (fs::is_symlink(path)) {
      out.message = "it is a symbolic link; heal the file it points to";
      return out;
    }
    // Nor is a FIFO, a device, a socket or a folder at a store's name
    // replaced: it is someone's on purpose.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      out.message = fmt::format("it is not a store file ({})", util::file_type_text(st.st_mode));
      return out;
    }
    const Stage stage(stage_path);
    const std::string staged = store.refill(run, path, stage.path());
    FileOutcome judged = judge(staged, store.check);
    if (judged.verdict != Verdict::good) {
      out.message = "the service's data makes a broken file too";
      return out;
    }
    out.findings = std::move(judged.findings);
    // A refill that still differs from the service where it was verified
    // is not a heal: the service answers differently from one request to
    // the next, or the conversion does.
    if (std::any_of(out.findings.begin(), out.findings.end(), [](const Finding& f) { return is_verification(f.rule); })) {
      out.message = "the refilled file still differs from the service where it was verified";
      out.findings.clear();
      return out;
    }
    // A refill never takes days away: a service that keeps less history
    // than the file holds (or has lost some days) leaves the file as it is.
    if (const auto before = held_days(path)) {
      const auto after = held_days(staged).value_or(std::set<std::int32_t>{});
      std::size_t lost = 0;
      for (const auto d : *before) lost += after.count(d) == 0;
      if (lost > 0) {
        out.message = fmt::format("the service's data lacks {} of the {} days the file holds", lost, before->size());
        out.findings.clear();
        return out;
      }
    }
    const h5::journal::Outcome put = h5::journal::install_file(staged, path);
    if (!put.ok) {
      out.message = put.os_errno ? fmt::format("{} [{}]", put.message, std::strerror(put.os_errno)) : put.message;
      return out;
    }
    out.outcome = out.findings.empty() ? "healed" : "source";
  } catch (const std::exception& e) {
    pass_interruptions(e);
    out.message = refill_failure(path, e, stage_path, store.store_root);
  }
  return out;
}

// Stages a killed heal left behind. On a file system several machines
// share, a stage is removed only when its owner is known dead: its process
// is gone on this machine, or the stage is more than a day old. Stages of
// earlier versions (`legacy`, inside the store folders) record no owner:
// their process id is taken to be of this machine.
void remove_dead_stages(const std::string& folder, bool legacy) {
  std::error_code ec;
  const std::string me = host_name();
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(kStagePrefix, 0) != 0 || e.is_symlink(ec) || !e.is_directory(ec)) continue;
    // Without its owner file, a stage is of an earlier version (legacy) or
    // one a heal, maybe on another machine, has only just made: its age
    // decides then.
    std::string host = legacy ? me : std::string();
    long pid = std::strtol(name.c_str() + std::strlen(kStagePrefix), nullptr, 10);
    const std::string owner = join(e.path().string(), kStageOwner);
    try {
      const std::string text = util::read_small_file(owner, 4096);
      const auto nl = text.find('\n');
      host = text.substr(0, nl);
      if (nl != std::string::npos) pid = std::strtol(text.c_str() + nl + 1, nullptr, 10);
    } catch (const util::Error&) {
    }
    const bool dead_here = host == me && pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
    const auto age = fs::file_time_type::clock::now() - fs::last_write_time(e.path(), ec);
    if (dead_here || (!ec && age > std::chrono::hours(24))) fs::remove_all(e.path(), ec);
  }
}

// The refilled file of `path` (a store file of `id`) somewhere in `stage`;
// a refill that left no file, or one without a day, has nothing to heal
// with, and the old file is kept.
std::string staged_file(const std::string& stage, const std::string& name, const std::string& path) {
  std::vector<std::string> candidates{join(stage, name)};
  for (const auto& folder : list_folders(stage)) candidates.push_back(join(folder, name));
  for (const auto& c : candidates) {
    if (!fs::exists(c)) continue;
    if (!h5::File::open(c, h5::Mode::read).root_names().empty()) return c;
  }
  util::fail(util::ErrorKind::service, path, fmt::format("the service has no data for {}", id_of_file(path)));
}

// The writer of a store, run into `stage` as a fresh update would run it.
template <class Writer>
Refill refill_with(Writer writer) {
  return [writer](const Run& run, const std::string& path, const std::string& stage) {
    const std::string name = fs::path(path).filename().string();
    FailureKeepingHost host(run.host);
    const TaskOutcome o = writer(Run(run, host), id_of_file(path), stage, name, MIN_START_DATE, false);
    if (o.status == TaskStatus::failed) {
      // The writer's own error, errno and all, rather than its logged line.
      if (host.failure()) std::rethrow_exception(host.failure());
      util::fail(util::ErrorKind::service, path, o.message);
    }
    return staged_file(stage, name, path);
  };
}

}  // namespace

std::vector<HealOutcome> heal_all(const Run& run, const std::vector<std::string>& files, const StoreCheck& store) {
  std::vector<HealOutcome> outcomes;
  if (files.empty()) return outcomes;
  remove_dead_stages(bundle_root_of(store), false);
  remove_dead_stages(store.store_root, true);  // where earlier versions staged
  run.console.line(fmt::format("\nhealing {} files from the service:", files.size()));
  // The writers clear a run's flag on failure: they get one of their own,
  // in a run of their own (the host's installed flag is not touched).
  const auto flag = run.host.make_flag(true);
  Run healing = run;
  healing.flag = flag.get();
  for (const auto& path : files) {
    outcomes.push_back(heal_file(healing, path, store));
    const auto& o = outcomes.back();
    std::string line = fmt::format("  {}: {}", id_of_file(path), o.outcome);
    if (!o.message.empty()) line += " (" + o.message + "; the file is as it was)";
    for (const auto& f : o.findings) line += " " + finding_text(f);
    run.console.line(line);
  }
  return outcomes;
}

Refill minute_refill() { return refill_with(_append_h5); }
Refill tick_refill() { return refill_with(_append_h5_tick); }

}  // namespace tessal_plus::bundle::checking
