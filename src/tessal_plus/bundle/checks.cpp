#include "tessal_plus/bundle/checks.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <random>
#include <map>
#include <optional>
#include <cstdio>
#include <filesystem>
#include <set>
#include <system_error>

#include <fmt/format.h>

#include "h5/column.hpp"
#include "h5/journal.hpp"
#include "util/npy.hpp"
#include "util/progress.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/errors.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"
#include "tessal_plus/bundle/universe.hpp"
#include "tessal_plus/bundle/writers.hpp"

namespace tessal_plus::bundle {
namespace fs = std::filesystem;

namespace {

// Decodes one UTF-8 sequence at s[i]; returns -1 for an invalid byte.
long decode_utf8(const std::string& s, std::size_t& i) {
  const auto b = static_cast<unsigned char>(s[i]);
  int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
  if (len == 0 || i + static_cast<std::size_t>(len) > s.size()) {
    ++i;
    return -1;
  }
  long cp = len == 1 ? b : b & (0x7f >> len);
  for (int k = 1; k < len; ++k) {
    const auto c = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((c >> 6) != 2) {
      ++i;
      return -1;
    }
    cp = (cp << 6) | (c & 0x3f);
  }
  i += static_cast<std::size_t>(len);
  return cp;
}

bool printable(long cp) {
  if (cp < 0x20 || (cp >= 0x7f && cp <= 0xa0) || cp == 0xad) return false;
  if ((cp >= 0x200b && cp <= 0x200f) || (cp >= 0x2028 && cp <= 0x202e) || (cp >= 0x2060 && cp <= 0x2064) || cp == 0xfeff)
    return false;
  return !(cp >= 0xd800 && cp <= 0xdfff);
}

// A text quoted the way Python's repr() quotes a str: single quotes unless
// the text holds a single quote and no double quote; backslashes, quotes and
// non-printable characters escaped; undecodable bytes as \udcXX.
std::string python_repr(const std::string& s) {
  const bool has_single = s.find('\'') != std::string::npos, has_double = s.find('"') != std::string::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  std::string out(1, quote);
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t at = i;
    const long cp = decode_utf8(s, i);
    if (cp < 0) out += fmt::format("\\udc{:02x}", static_cast<unsigned char>(s[at]));
    else if (cp == quote || cp == '\\') out += '\\', out += static_cast<char>(cp);
    else if (cp == '\n') out += "\\n";
    else if (cp == '\r') out += "\\r";
    else if (cp == '\t') out += "\\t";
    else if (!printable(cp)) out += cp <= 0xff ? fmt::format("\\x{:02x}", cp) : cp <= 0xffff ? fmt::format("\\u{:04x}", cp) : fmt::format("\\U{:08x}", cp);
    else out.append(s, at, i - at);
  }
  return out + quote;
}

std::string symbol_list(const std::vector<std::string>& paths) {
  std::string out = "[";
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::string name = fs::path(paths[i]).filename().string();
    const auto cut = name.find(".h5");
    out += (i ? ", " : "") + python_repr(cut == std::string::npos ? name : name.substr(0, cut));
  }
  return out + "]";
}

// Where a failure while examining one file puts it: held by another process
// or not permitted (reported only), any other operating-system or content
// failure (broken), or not a failure of the file at all (the service, say),
// which ends the check.
enum class Outcome { blocked, broken, propagate };

Outcome classify(const std::exception& e) {
  const auto kind = kind_of(e);
  if (!kind) return Outcome::propagate;
  switch (*kind) {
    case util::ErrorKind::locked:
    case util::ErrorKind::permission: return Outcome::blocked;
    case util::ErrorKind::not_found:
    case util::ErrorKind::os:
    case util::ErrorKind::damaged: return Outcome::broken;
    default: return Outcome::propagate;
  }
}

template <class T>
std::vector<T> calendar_slice(const std::vector<T>& cal, const T& start, const T& end) {
  const auto si = static_cast<std::size_t>(std::lower_bound(cal.begin(), cal.end(), start) - cal.begin());
  const auto ei = static_cast<std::size_t>(std::lower_bound(cal.begin(), cal.end(), end) - cal.begin());
  if (ei < si || si >= cal.size()) return {};
  return std::vector<T>(cal.begin() + static_cast<std::ptrdiff_t>(si), cal.begin() + static_cast<std::ptrdiff_t>(std::min(ei + 1, cal.size())));
}

// One file's check: true when the file is broken; what the content rules
// found in a file that is not broken goes into `found` (only when asked).
using FileCheck = std::function<bool(const std::string& path, std::vector<Finding>& found)>;

// One file's verdict as the report needs it.
enum Verdict : char { kUnjudged = 0, kRunning = 'R', kGood = 'g', kBroken = 'b', kLocked = 'l', kDenied = 'p' };

// Judges one file; throws what is not a failure of the file.
Verdict judge(const std::string& path, const FileCheck& check, std::vector<Finding>& found) {
  try {
    if (check(path, found)) {
      found.clear();
      return kBroken;
    }
    return kGood;
  } catch (const std::exception& e) {
    found.clear();
    switch (classify(e)) {
      case Outcome::blocked: return kind_of(e) == util::ErrorKind::locked ? kLocked : kDenied;
      case Outcome::broken: return kBroken;
      case Outcome::propagate: throw;
    }
  }
  return kBroken;
}

// The content rules, numbered for the checking processes' shared memory.
constexpr std::string_view kRules[] = {"non_finite",   "non_positive_price", "ohlc_order",     "negative_volume",
                                       "price_jump",   "gap_in_day",         "partial_day",    "crossed_book",
                                       "outside_limits", "volume_decreasing", "time_order"};
constexpr std::size_t kRuleCount = std::size(kRules);

// One file's findings in shared memory: each rule at most once.
struct FindingSlot {
  std::uint8_t count = 0;
  struct Item {
    std::uint8_t rule;
    std::int64_t first;
    std::uint64_t count;
  } items[kRuleCount];

  void store(const std::vector<Finding>& found) {
    count = 0;
    for (const auto& f : found) {
      const auto at = std::find(std::begin(kRules), std::end(kRules), f.rule);
      if (at != std::end(kRules) && count < kRuleCount)
        items[count++] = Item{static_cast<std::uint8_t>(at - std::begin(kRules)), f.first, f.count};
    }
  }
  std::vector<Finding> load() const {
    std::vector<Finding> out;
    for (std::uint8_t k = 0; k < count && k < kRuleCount; ++k)
      out.push_back(Finding{std::string(kRules[items[k].rule]), items[k].first, items[k].count});
    return out;
  }
};

// Memory shared with the checking processes: the next file to take, how
// many are done, each file's verdict and findings, and the first error that
// must end the check. Mapped before the fork, so every process writes the
// same pages.
struct SharedVerdicts {
  std::atomic<std::size_t> next{0}, done{0};
  std::atomic<bool> failed{false};
  char message[2048] = {};
  FindingSlot* slots = nullptr;  // one per file, past the verdicts
  char verdict[1];               // one per file, allocated past the end

  static SharedVerdicts* map(std::size_t n, std::size_t& bytes) {
    const std::size_t slots_at = (sizeof(SharedVerdicts) + n + alignof(FindingSlot) - 1) / alignof(FindingSlot) * alignof(FindingSlot);
    bytes = slots_at + n * sizeof(FindingSlot);
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) util::throw_os_error(errno, "cannot map", "the check's shared verdicts");
    auto* v = new (p) SharedVerdicts{};
    v->slots = new (static_cast<char*>(p) + slots_at) FindingSlot[n];
    return v;
  }
};

// A checking process: takes files one by one until none is left.
[[noreturn]] void check_worker(const Run& run, SharedVerdicts* v, const std::vector<std::string>& files,
                               const FileCheck& check) {
  run.worker_started();
  for (std::size_t i; !v->failed && (i = v->next.fetch_add(1)) < files.size();) {
    v->verdict[i] = kRunning;
    try {
      std::vector<Finding> found;
      const Verdict verdict = judge(files[i], check, found);
      v->slots[i].store(found);
      v->verdict[i] = verdict;
    } catch (const std::exception& e) {
      if (!v->failed.exchange(true)) std::snprintf(v->message, sizeof v->message, "%s", e.what());
      v->verdict[i] = kUnjudged;
    }
    v->done.fetch_add(1);
  }
  ::_exit(0);
}

// The verdicts of `files` from `concurrency` processes. A process that dies
// on a file (a reader crashing on hostile bytes) leaves it broken; files it
// never started are judged here.
std::vector<char> judge_in_parallel(const Run& run, const std::vector<std::string>& files, const FileCheck& check,
                                    int concurrency, util::ProgressBar& bar, std::vector<std::vector<Finding>>& found) {
  std::size_t bytes = 0;
  SharedVerdicts* v = SharedVerdicts::map(files.size(), bytes);
  struct Unmap {
    void* p;
    std::size_t n;
    ~Unmap() { ::munmap(p, n); }
  } unmap{v, bytes};
  std::vector<pid_t> workers;
  std::fflush(stdout);
  std::fflush(stderr);
  for (int k = 0; k < concurrency && static_cast<std::size_t>(k) < files.size(); ++k) {
    const pid_t pid = run.fork ? run.fork() : ::fork();
    if (pid == 0) check_worker(run, v, files, check);
    if (pid > 0) workers.push_back(pid);
  }
  std::size_t shown = 0;
  while (!workers.empty()) {
    for (auto it = workers.begin(); it != workers.end();) {
      it = ::waitpid(*it, nullptr, WNOHANG) == *it ? workers.erase(it) : it + 1;
    }
    for (const std::size_t d = v->done; shown < d; ++shown) bar.advance();
    if (!workers.empty()) ::usleep(10000);
  }
  if (v->failed) util::fail(util::ErrorKind::service, "", v->message);
  std::vector<char> out(v->verdict, v->verdict + files.size());
  found.assign(files.size(), {});
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (out[i] == kRunning) out[i] = kBroken;
    if (out[i] == kGood) found[i] = v->slots[i].load();
    if (out[i] == kUnjudged) {
      out[i] = judge(files[i], check, found[i]);
      bar.advance();
    }
  }
  return out;
}

// Refills one store file from the service into `stage` (a folder of its
// own beside the store) and returns the new file's path; throws when the
// service refuses or fails.
using Refill = std::function<std::string(const Run& run, const std::string& path, const std::string& stage)>;

bool print_check_summary(const Console& console, const std::vector<std::string>& error_file_path_list,
                         const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency);

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

// A hidden folder inside a store for one refill: on the store's file system
// (so the refilled file is renamed into place, never copied), skipped by
// every store listing, and removed with whatever it holds on every way out.
class Stage {
 public:
  explicit Stage(const std::string& store_root)
      : path_(join(store_root, fmt::format(".heal-{}-{:08x}", ::getpid(), static_cast<std::uint32_t>(std::random_device{}())))) {
    fs::create_directory(path_);
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

// Heals one file: refilled in a stage, checked there, and put in place of
// the old file only when it is whole; the old file is never touched before.
HealOutcome heal_file(const Run& run, const std::string& path, const std::string& store_root, const FileCheck& check,
                      const Refill& refill) {
  HealOutcome out{path, "failed", "", {}};
  try {
    // Healing renames a new file over the name: through a link it would
    // replace the link and leave its target as it was.
    if (fs::is_symlink(path)) {
      out.message = "it is a symbolic link; heal the file it points to";
      return out;
    }
    const Stage stage(store_root);
    const std::string staged = refill(run, path, stage.path());
    if (judge(staged, check, out.findings) != kGood) {
      out.message = "the service's data makes a broken file too";
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
  } catch (const util::Error& e) {
    pass_interruptions(e);
    out.message = e.what();
  } catch (const std::exception& e) {
    out.message = e.what();
  }
  return out;
}

std::string finding_text(const Finding& f) { return fmt::format("{} x{} (first {})", f.rule, f.count, f.first); }

// What the content rules found, one line per file; never deleted.
void print_findings(const Console& console, const std::map<std::string, std::vector<Finding>>& findings) {
  if (findings.empty()) return;
  console.line(fmt::format("\ncontent findings in {} files (reported, never deleted):", findings.size()));
  for (const auto& [path, found] : findings) {
    std::string line = "  " + id_of_file(path) + ":";
    for (const auto& f : found) line += " " + finding_text(f);
    console.line(line);
  }
}

// Stages a killed heal left behind (its process is gone); a running one's stay.
void remove_dead_stages(const std::string& store_root) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(store_root, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(".heal-", 0) != 0 || !e.is_directory(ec)) continue;
    const long pid = std::strtol(name.c_str() + 6, nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) fs::remove_all(e.path(), ec);
  }
}

// --heal: every broken file and every file with a finding refilled, each
// with one outcome; nothing deleted, nobody asked.
std::vector<HealOutcome> heal_all(const Run& run, const std::vector<std::string>& files, const std::string& store_root,
                                  const FileCheck& check, const Refill& refill) {
  std::vector<HealOutcome> outcomes;
  if (files.empty()) return outcomes;
  remove_dead_stages(store_root);
  run.console.line(fmt::format("\nhealing {} files from the service:", files.size()));
  // The writers clear a run's flag on failure: they get one of their own,
  // in a run of their own (the host's installed flag is not touched).
  const auto flag = run.host.make_flag(true);
  Run healing = run;
  healing.flag = flag.get();
  for (const auto& path : files) {
    outcomes.push_back(heal_file(healing, path, store_root, check, refill));
    const auto& o = outcomes.back();
    std::string line = fmt::format("  {}: {}", id_of_file(path), o.outcome);
    if (!o.message.empty()) line += " (" + o.message + "; the file is as it was)";
    for (const auto& f : o.findings) line += " " + finding_text(f);
    run.console.line(line);
  }
  return outcomes;
}

// Judges every file with the shared error sorting, in `concurrency`
// processes, then reports in the order the files were listed, so the report
// reads the same whatever the concurrency. With --heal, broken files and
// files with findings are refilled instead of being offered for deletion.
CheckRecord run_check(const Run& run, const std::vector<std::string>& files, const char* frequency, const FileCheck& check,
                      int concurrency, const std::function<void()>& before_report, const CheckOptions& options,
                      const std::string& store_root, const Refill& refill) {
  std::vector<std::string> error_file_path_list, blocking_or_permission_error;
  std::map<std::string, util::ErrorKind> held_kind;
  std::map<std::string, std::vector<Finding>> findings;
  {
    util::ProgressBar bar(static_cast<std::int64_t>(files.size()));
    std::vector<char> verdicts;
    std::vector<std::vector<Finding>> found(files.size());
    if (concurrency > 1 && files.size() > 1) {
      verdicts = judge_in_parallel(run, files, check, concurrency, bar, found);
    } else {
      for (std::size_t i = 0; i < files.size(); ++i) {
        verdicts.push_back(judge(files[i], check, found[i]));
        bar.advance();
      }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (verdicts[i] == kBroken) error_file_path_list.push_back(files[i]);
      if (verdicts[i] == kLocked || verdicts[i] == kDenied) {
        blocking_or_permission_error.push_back(files[i]);
        held_kind[files[i]] = verdicts[i] == kLocked ? util::ErrorKind::locked : util::ErrorKind::permission;
      }
      if (!found[i].empty()) findings[files[i]] = std::move(found[i]);
    }
  }
  if (before_report) before_report();
  print_findings(run.console, findings);
  CheckRecord record;
  if (options.heal) {
    print_check_summary(run.console, error_file_path_list, blocking_or_permission_error, frequency);
    record = CheckRecord{frequency, {}, error_file_path_list, blocking_or_permission_error, {}, std::nullopt, 0};
    std::vector<std::string> to_heal = error_file_path_list;
    for (const auto& [path, found] : findings) to_heal.push_back(path);
    record.heals = heal_all(run, to_heal, store_root, check, refill);
  } else {
    record = deal_with_check_result(run, error_file_path_list, blocking_or_permission_error, frequency);
  }
  record.files = files;
  record.held_kind = std::move(held_kind);
  record.findings = std::move(findings);
  return record;
}

// A flag every checking process can set and the parent read.
class SharedFlagPage {
 public:
  SharedFlagPage() {
    void* p = ::mmap(nullptr, sizeof(std::atomic<bool>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) util::throw_os_error(errno, "cannot map", "a shared flag");
    flag_ = new (p) std::atomic<bool>(false);
  }
  ~SharedFlagPage() { ::munmap(flag_, sizeof(std::atomic<bool>)); }
  SharedFlagPage(const SharedFlagPage&) = delete;
  SharedFlagPage& operator=(const SharedFlagPage&) = delete;
  std::atomic<bool>& get() { return *flag_; }

 private:
  std::atomic<bool>* flag_;
};

const char* const kNoCalendar = "当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!";

// The per-file steps of the minute-bar check; true when the file is broken.
// Whether the calendar ended before a day the store holds: such days are
// not judged, and the user is told once.
struct CalendarNote {
  const std::vector<std::int64_t>& trading_dates;
  std::atomic<bool>& stale;  // shared with the checking processes
};

// The trading day a bar's time stamp belongs to under `rule`; nothing when
// the calendar ends too early to tell. A night bar (18:00 or later) belongs
// to the trading day after its calendar date.
std::optional<std::int64_t> trading_day_of(std::int64_t bar, DayRule rule, CalendarNote& cal) {
  const std::int64_t date = util::floor_div(bar, 1000000);
  if (rule != DayRule::night_session || bar - date * 1000000 < 180000) return date;
  const auto& dates = cal.trading_dates;
  const auto pos = static_cast<std::size_t>(std::lower_bound(dates.begin(), dates.end(), date) - dates.begin());
  if (pos + 1 >= dates.size()) {
    cal.stale = true;
    return std::nullopt;
  }
  return dates[pos + 1];
}

// The per-file steps of the minute-bar check; true when the file is broken.
// Every row of `datetime` is read, so a damaged chunk anywhere in `data` is
// found (as an error of kind damaged).
bool minute_file_is_broken(quillonc::Client& q, const std::string& path, CalendarNote& cal, const CheckOptions& options,
                           std::vector<Finding>& found, std::vector<char>& bars) {
  h5::File f = h5::File::open(path, h5::Mode::read);
  const auto names = f.root_names();
  const bool has_index = std::count(names.begin(), names.end(), "index") > 0;
  const bool has_data = std::count(names.begin(), names.end(), "data") > 0;
  if (!has_index) return has_data;
  // Never read outside `data`: a file whose datasets lack what the day
  // rules read, or whose index points past `data`, is broken.
  if (!has_data) return true;
  const h5::Dataset index = f.open_dataset("index");
  const h5::Dataset data = f.open_dataset("data");
  if (!index.type().has_member("date") || !index.type().has_member("line_no") || !data.type().has_member("datetime")) return true;

  const hsize_t n_index = index.checked_size(sizeof(IndexRecord)), n_data = data.checked_size(data.type().size());
  if (n_index == 0) return true;
  std::vector<IndexRecord> records(n_index);
  index.read(records.data(), INDEX_DTYPE().type.get());
  for (hsize_t i = 0; i < n_index; ++i) {
    // The index is the check's whole basis: its rows must rise strictly.
    if (records[i].line_no >= n_data || (i > 0 && records[i].line_no <= records[i - 1].line_no)) return true;
  }
  const auto* cls = instrument_class_of_folder(fs::path(path).parent_path().filename().string());
  const DayRule rule = cls ? cls->day_rule : DayRule::opens_0931;
  // The content rules read every record of the class's layout from the same
  // inflated chunks the day rules take the time stamps from. (A file of
  // another layout is judged by its time stamps alone.)
  // With the content rules, every record is read, chunk by chunk, and the
  // rules run on each chunk while it is in the cache; the day rules take
  // the first bar of each day from the same chunks. (A file of another
  // layout is judged by its time stamps alone.)
  std::vector<std::int64_t> first_bars(n_index);
  const bool content = options.quality && cls && H5Tequal(data.type().get(), cls->layout().type.get()) > 0;
  std::optional<MinuteScan> scan;
  if (content) {
    const RecordLayout& layout = cls->layout();
    const std::size_t at = layout.fields[0].offset;
    std::size_t next_day = 0;
    h5::visit_records(data, layout.itemsize, bars, [&](const char* rows, hsize_t first, hsize_t count) {
      if (first == 0) scan.emplace(layout, records, n_data, rule, cls->folder, options.thresholds), next_day = 0;
      scan->add(rows, first, count);
      for (; next_day < n_index && records[next_day].line_no < first + count; ++next_day)
        std::memcpy(&first_bars[next_day], rows + (records[next_day].line_no - first) * layout.itemsize + at, sizeof(std::int64_t));
    });
  } else {
    const std::vector<std::int64_t> datetimes = h5::read_int64_member(data, "datetime", data.type().size());
    for (hsize_t i = 0; i < n_index; ++i) first_bars[i] = datetimes[records[i].line_no];
  }
  const auto good = [&] {
    if (scan) found = scan->finish();
    return false;
  };
  std::vector<std::int32_t> dates(n_index);
  for (hsize_t i = 0; i < n_index; ++i) {
    dates[i] = records[i].date;
    const std::int64_t first_bar = first_bars[i];
    if (rule == DayRule::night_session) {
      const auto day = trading_day_of(first_bar, rule, cal);
      if (day && *day != dates[i]) return true;
    } else if (first_bar != static_cast<std::int64_t>(dates[i]) * 1000000 + 93100) {
      return true;
    }
  }

  const std::set<std::int64_t> present(dates.begin(), dates.end());
  const auto expected = calendar_slice<std::int64_t>(cal.trading_dates, dates.front(), dates.back());
  std::vector<std::int64_t> missing;
  for (auto d : expected)
    if (!present.count(d)) missing.push_back(d);
  if (missing.empty()) return good();
  const std::string order_book_id = id_of_file(path);
  for (auto d : missing)
    if (q.has_price(order_book_id, static_cast<std::int32_t>(d), quillonc::Frequency::minute)) return true;
  return good();
}

// Every day of a tick file is a dataset named after a day that can have been
// stored, of the host's tick record type, whose records are stored (an
// update stopped by a full disk can leave a day without its chunks). With
// `deep`, every record is read as well, which decompresses the whole file.
// With `found`, the content rules read every record as well.
bool tick_days_are_sound(const tessal::RecordLayout& layout, const h5::File& f, const std::vector<std::string>& names,
                         std::int32_t latest, bool deep, std::vector<Finding>* found) {
  const h5::Type& tick_type = layout.type;
  std::vector<char> buf;
  for (const auto& name : names) {
    const auto day = tick_day(name, latest);
    if (!day) return false;
    const h5::Dataset ds = f.open_dataset(name);
    if (H5Tequal(ds.type().get(), tick_type.get()) <= 0) return false;
    const hsize_t rows = ds.checked_size(tick_type.size());
    if (rows > 0 && ds.storage_size() == 0) return false;
    if (found) {
      h5::read_records(ds, tick_type.size(), buf);
      merge_findings(*found, tick_findings(*day, buf.data(), rows, layout.fields, tick_type.size()));
    } else if (deep) {
      buf.resize(rows * tick_type.size());
      ds.read(buf.data(), tick_type.get());
    }
  }
  return true;
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
    const tessal::TaskOutcome o = writer(run, id_of_file(path), stage, name, MIN_START_DATE, false);
    if (o.status == tessal::TaskStatus::failed) util::fail(util::ErrorKind::service, path, o.message);
    return staged_file(stage, name, path);
  };
}

std::vector<std::int64_t> load_calendar(const std::string& path) {
  auto dates = util::npy::read_int_1d(path);
  if (dates.empty()) util::fail(util::ErrorKind::damaged, path, fmt::format("'{}' holds no trading dates", path));
  // Out of order, the calendar would make healthy files look broken.
  if (std::adjacent_find(dates.begin(), dates.end(), std::greater_equal<>()) != dates.end())
    util::fail(util::ErrorKind::damaged, path, fmt::format("'{}' is not in ascending order; refresh it by updating the base data", path));
  return dates;
}


void tell_if_stale(const Console& console, const CalendarNote& cal, const std::string& path) {
  if (cal.stale)
    console.line(fmt::format("注意：交易日历 {} 只到 {}，早于数据中的日期；日历之后的日期未作检查，请先更新基础数据。", path,
                           cal.trading_dates.back()));
}

}  // namespace

namespace {
// The suspension days of one stock as the host's tools may have written
// them: integers, reals holding whole days, or fixed-length byte strings of
// digits (all YYYYMMDD). Anything else is refused as damaged.
std::vector<std::int64_t> suspension_days(const h5::Dataset& ds, const std::string& id, const std::string& path) {
  const h5::Type type = ds.type();
  const H5T_class_t cls = H5Tget_class(type.get());
  const auto refuse = [&] {
    util::fail(util::ErrorKind::damaged, path, fmt::format("suspension days of '{}' in '{}' are not days (YYYYMMDD)", id, path));
  };
  std::vector<std::int64_t> out;
  if (cls == H5T_INTEGER) {
    out.resize(ds.checked_size(sizeof(std::int64_t)));
    ds.read(out.data(), H5T_NATIVE_INT64);
  } else if (cls == H5T_FLOAT) {
    std::vector<double> values(ds.checked_size(sizeof(double)));
    ds.read(values.data(), H5T_NATIVE_DOUBLE);
    for (const double v : values) {
      if (!(v >= 0 && v < 1e9) || v != std::floor(v)) refuse();
      out.push_back(static_cast<std::int64_t>(v));
    }
  } else if (cls == H5T_STRING && H5Tis_variable_str(type.get()) <= 0) {
    const std::size_t width = type.size();
    std::string bytes(ds.checked_size(width) * width, '\0');
    ds.read(bytes.data(), type.get());
    for (std::size_t at = 0; at < bytes.size(); at += width) {
      std::string text = bytes.substr(at, width);
      text.erase(text.find_last_not_of(std::string("\0 ", 2)) + 1);
      if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) refuse();
      out.push_back(std::stoll(text));
    }
  } else {
    refuse();
  }
  return out;
}

// The outcome of a check and its broken and held files; false when there is
// nothing to report.
bool print_check_summary(const Console& console, const std::vector<std::string>& error_file_path_list,
                         const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency) {
  const std::size_t len_err = error_file_path_list.size();
  const std::size_t len_blocking_or_permission_error = blocking_or_permision_error.size();
  if (len_err == 0 && len_blocking_or_permission_error == 0) {
    console.line("\n检测完成：" + frequency + "数据质量良好！");
    return false;
  }
  console.line(fmt::format("\n检测完成：共有{}个标的{}数据存在异常，{}个文件被其他进程占用或没有权限。", len_err, frequency,
                           len_blocking_or_permission_error));
  if (len_err > 0) console.line("数据异常标的如下:\n" + symbol_list(error_file_path_list) + "\n");
  if (len_blocking_or_permission_error > 0)
    console.line("被其他进程占用或没有权限的文件如下:\n" + symbol_list(blocking_or_permision_error) + "\n");
  return true;
}

}  // namespace

std::map<std::string, std::vector<std::int64_t>> suspensions_of(const std::string& path, const std::vector<std::string>& ids) {
  std::map<std::string, std::vector<std::int64_t>> out;
  const h5::File s = h5::File::open(path, h5::Mode::read);
  for (const auto& id : ids) {
    // An id that is no dataset name (empty, or a path) has no entry.
    if (id.empty() || id.find('/') != std::string::npos || out.count(id) || !s.contains(id)) continue;
    out[id] = suspension_days(s.open_dataset(id), id, path);
  }
  return out;
}

CheckRecord deal_with_check_result(const Run& run, const std::vector<std::string>& error_file_path_list,
                                   const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency) {
  CheckRecord record{frequency, {}, error_file_path_list, blocking_or_permision_error, {}, std::nullopt, 0};
  const std::size_t len_err = error_file_path_list.size();
  if (!print_check_summary(run.console, error_file_path_list, blocking_or_permision_error, frequency)) return record;
  run.console.prompt("是否删除异常数据(yes/no):");
  std::string is_ok = run.console.read_answer();
  record.answer = is_ok;
  std::transform(is_ok.begin(), is_ok.end(), is_ok.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (is_ok == "yes" || is_ok == "y") {
    run.console.line("\n准备删除异常数据！");
    {
      util::ProgressBar bar(static_cast<std::int64_t>(len_err));
      for (const auto& p : error_file_path_list) {
        // With its journal, and never under a process that holds it.
        h5::remove_file(p, false);
        ++record.deleted;
        bar.advance();
      }
    }
    run.console.line(fmt::format("\n删除完成！共删除{}个标的。", len_err));
  } else if (is_ok == "no" || is_ok == "n") {
    run.console.line("\n异常数据未删除！");
  } else {
    run.console.line("\n输入异常！异常数据未删除!");
  }
  return record;
}

CheckRecord check_min_bar_data(const Run& run, const std::string& data_bundle_path, int concurrency, const CheckOptions& options) {
  const CheckRecord nothing{"分钟"};
  const std::string base_path = join(data_bundle_path, layout::BUNDLE);
  const std::string calendar_path = join(base_path, layout::TRADING_DATES);
  if (!fs::exists(calendar_path)) {
    run.console.line(kNoCalendar);
    return nothing;
  }
  _init_quillon(run);
  std::vector<std::string> files;
  for (const auto& group : list_folders(join(base_path, layout::MINBAR_ROOT))) {
    const auto found = list_store_files(group);
    files.insert(files.end(), found.begin(), found.end());
  }
  if (files.empty()) {
    run.console.line("当前目录下不存在分钟数据!");
    return nothing;
  }
  run.console.line(fmt::format("共有{}个分钟数据文件!", files.size()));
  const auto trading_dates = load_calendar(calendar_path);
  SharedFlagPage stale;
  CalendarNote cal{trading_dates, stale.get()};
  // One record buffer per checking process, serving file after file.
  const FileCheck check = [&, bars = std::vector<char>()](const std::string& path, std::vector<Finding>& found) mutable {
    return minute_file_is_broken(run.client, path, cal, options, found, bars);
  };
  return run_check(run, files, "分钟", check, concurrency, [&] { tell_if_stale(run.console, cal, calendar_path); }, options,
                   join(base_path, layout::MINBAR_ROOT), refill_with(_append_h5));
}

CheckRecord check_tick_data(const Run& run, const std::string& data_bundle_path, bool deep, int concurrency,
                            const CheckOptions& options) {
  const CheckRecord nothing{"tick"};
  const std::string base_path = join(data_bundle_path, layout::BUNDLE);
  const std::string calendar_path = join(base_path, layout::TRADING_DATES);
  const std::string suspended_path = join(base_path, layout::SUSPENDED_DAYS);
  if (!fs::exists(calendar_path)) {
    run.console.line(kNoCalendar);
    return nothing;
  }
  if (!fs::exists(suspended_path)) {
    run.console.line("当前目录下不存在 suspended_days.h5 文件，请先下载 base 数据!");
    return nothing;
  }
  _init_quillon(run);
  const auto files = list_store_files(join(base_path, layout::TICKS));
  if (files.empty()) {
    run.console.line("当前目录下不存在tick数据!");
    return nothing;
  }
  run.console.line(fmt::format("共有{}个tick数据文件!", files.size()));
  std::vector<std::string> trading_dates;
  for (auto d : load_calendar(calendar_path)) trading_dates.push_back(std::to_string(d));

  std::map<std::string, std::set<std::string>> suspendeds;
  {
    std::vector<std::string> ids;
    for (const auto& p : files) ids.push_back(id_of_file(p));
    for (const auto& [id, days] : suspensions_of(suspended_path, ids))
      for (const auto day : days) suspendeds[id].insert(std::to_string(day));
  }

  auto& q = run.client;
  const tessal::RecordLayout& tick_layout = run.host.tick_layout();
  const std::int32_t latest = latest_storable_day(util::timestamp_date(run.host.datetime_now()));
  const FileCheck check = [&](const std::string& path, std::vector<Finding>& found) {
    h5::File f = h5::File::open(path, h5::Mode::read);
    auto names = f.root_names();
    if (names.empty()) return false;
    if (!tick_days_are_sound(tick_layout, f, names, latest, deep, options.quality ? &found : nullptr)) return true;
    std::sort(names.begin(), names.end());
    for (auto& n : names) n = n.substr(0, 8);
    const auto expected = calendar_slice<std::string>(trading_dates, names.front(), names.back());
    if (expected == names) return false;
    const std::string id = id_of_file(path);
    const std::set<std::string> present(names.begin(), names.end());
    std::vector<std::string> missing;
    for (const auto& d : expected)
      if (!present.count(d)) missing.push_back(d);
    const auto& suspended = suspendeds[id];
    if (std::all_of(missing.begin(), missing.end(), [&](const std::string& d) { return suspended.count(d) > 0; })) return false;
    for (const auto& d : missing)
      if (q.has_price(id, std::stoi(d), quillonc::Frequency::tick)) return true;
    return false;
  };
  return run_check(run, files, "tick", check, concurrency, {}, options, join(base_path, layout::TICKS),
                   refill_with(_append_h5_tick));
}

}  // namespace tessal_plus::bundle
