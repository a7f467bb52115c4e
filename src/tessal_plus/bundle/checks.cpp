#include "tessal_plus/bundle/checks.hpp"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <cstdio>
#include <filesystem>
#include <set>
#include <system_error>

#include <fmt/format.h>

#include "h5/column.hpp"
#include "util/npy.hpp"
#include "util/progress.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/errors.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"
#include "tessal_plus/bundle/universe.hpp"

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

// Runs the per-file check of every path with the shared error sorting,
// then reports. `check` returns true when the file is broken.
// One file's verdict as the report needs it.
enum Verdict : char { kUnjudged = 0, kRunning = 'R', kGood = 'g', kBroken = 'b', kLocked = 'l', kDenied = 'p' };

// Judges one file; throws what is not a failure of the file.
Verdict judge(const std::string& path, const std::function<bool(const std::string&)>& check) {
  try {
    return check(path) ? kBroken : kGood;
  } catch (const std::exception& e) {
    switch (classify(e)) {
      case Outcome::blocked: return kind_of(e) == util::ErrorKind::locked ? kLocked : kDenied;
      case Outcome::broken: return kBroken;
      case Outcome::propagate: throw;
    }
  }
  return kBroken;
}

// Memory shared with the checking processes: the next file to take, how
// many are done, each file's verdict, and the first error that must end the
// check. Mapped before the fork, so every process writes the same pages.
struct SharedVerdicts {
  std::atomic<std::size_t> next{0}, done{0};
  std::atomic<bool> failed{false};
  char message[2048] = {};
  char verdict[1];  // one per file, allocated past the end

  static SharedVerdicts* map(std::size_t n, std::size_t& bytes) {
    bytes = sizeof(SharedVerdicts) + n;
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) util::throw_os_error(errno, "cannot map", "the check's shared verdicts");
    return new (p) SharedVerdicts{};
  }
};

// A checking process: takes files one by one until none is left.
[[noreturn]] void check_worker(const Run& run, SharedVerdicts* v, const std::vector<std::string>& files,
                               const std::function<bool(const std::string&)>& check) {
  run.worker_started();
  for (std::size_t i; !v->failed && (i = v->next.fetch_add(1)) < files.size();) {
    v->verdict[i] = kRunning;
    try {
      v->verdict[i] = judge(files[i], check);
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
std::vector<char> judge_in_parallel(const Run& run, const std::vector<std::string>& files, const std::function<bool(const std::string&)>& check,
                                    int concurrency, util::ProgressBar& bar) {
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
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (out[i] == kRunning) out[i] = kBroken;
    if (out[i] == kUnjudged) {
      out[i] = judge(files[i], check);
      bar.advance();
    }
  }
  return out;
}

// Judges every file with the shared error sorting, in `concurrency`
// processes, then reports in the order the files were listed, so the report
// reads the same whatever the concurrency. `check` returns true when the
// file is broken.
CheckRecord run_check(const Run& run, const std::vector<std::string>& files, const char* frequency,
                      const std::function<bool(const std::string&)>& check, int concurrency,
                      const std::function<void()>& before_report = {}) {
  std::vector<std::string> error_file_path_list, blocking_or_permission_error;
  std::map<std::string, util::ErrorKind> held_kind;
  {
    util::ProgressBar bar(static_cast<std::int64_t>(files.size()));
    std::vector<char> verdicts;
    if (concurrency > 1 && files.size() > 1) {
      verdicts = judge_in_parallel(run, files, check, concurrency, bar);
    } else {
      for (const auto& path : files) {
        verdicts.push_back(judge(path, check));
        bar.advance();
      }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (verdicts[i] == kBroken) error_file_path_list.push_back(files[i]);
      if (verdicts[i] == kLocked || verdicts[i] == kDenied) {
        blocking_or_permission_error.push_back(files[i]);
        held_kind[files[i]] = verdicts[i] == kLocked ? util::ErrorKind::locked : util::ErrorKind::permission;
      }
    }
  }
  if (before_report) before_report();
  CheckRecord record = deal_with_check_result(run, error_file_path_list, blocking_or_permission_error, frequency);
  record.files = files;
  record.held_kind = std::move(held_kind);
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
bool minute_file_is_broken(quillonc::Client& q, const std::string& path, CalendarNote& cal) {
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
  const std::vector<std::int64_t> datetimes = h5::read_int64_member(data, "datetime", data.type().size());

  const auto* cls = instrument_class_of_folder(fs::path(path).parent_path().filename().string());
  const DayRule rule = cls ? cls->day_rule : DayRule::opens_0931;
  std::vector<std::int32_t> dates(n_index);
  for (hsize_t i = 0; i < n_index; ++i) {
    dates[i] = records[i].date;
    const std::int64_t first_bar = datetimes[records[i].line_no];
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
  if (missing.empty()) return false;
  const std::string order_book_id = id_of_file(path);
  for (auto d : missing)
    if (q.has_price(order_book_id, static_cast<std::int32_t>(d), quillonc::Frequency::minute)) return true;
  return false;
}

// Every day of a tick file is a dataset named after a day that can have been
// stored, of the host's tick record type, whose records are stored (an
// update stopped by a full disk can leave a day without its chunks). With
// `deep`, every record is read as well, which decompresses the whole file.
bool tick_days_are_sound(const h5::Type& tick_type, const h5::File& f, const std::vector<std::string>& names, std::int32_t latest, bool deep) {
  std::vector<char> buf;
  for (const auto& name : names) {
    if (!tick_day(name, latest)) return false;
    const h5::Dataset ds = f.open_dataset(name);
    if (H5Tequal(ds.type().get(), tick_type.get()) <= 0) return false;
    const hsize_t rows = ds.checked_size(tick_type.size());
    if (rows > 0 && ds.storage_size() == 0) return false;
    if (deep) {
      buf.resize(rows * tick_type.size());
      ds.read(buf.data(), tick_type.get());
    }
  }
  return true;
}

std::vector<std::int64_t> load_calendar(const std::string& path) {
  auto dates = util::npy::read_int_1d(path);
  if (dates.empty()) util::fail(util::ErrorKind::damaged, path, fmt::format("'{}' holds no trading dates", path));
  // Out of order, the calendar would make healthy files look broken.
  if (std::adjacent_find(dates.begin(), dates.end(), std::greater_equal<>()) != dates.end())
    util::fail(util::ErrorKind::damaged, path, fmt::format("'{}' is not in ascending order; refresh it by updating the base data", path));
  return dates;
}

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

void tell_if_stale(const Console& console, const CalendarNote& cal, const std::string& path) {
  if (cal.stale)
    console.line(fmt::format("注意：交易日历 {} 只到 {}，早于数据中的日期；日历之后的日期未作检查，请先更新基础数据。", path,
                           cal.trading_dates.back()));
}

}  // namespace

CheckRecord deal_with_check_result(const Run& run, const std::vector<std::string>& error_file_path_list,
                                   const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency) {
  CheckRecord record{frequency, {}, error_file_path_list, blocking_or_permision_error, {}, std::nullopt, 0};
  const std::size_t len_err = error_file_path_list.size();
  const std::size_t len_blocking_or_permission_error = blocking_or_permision_error.size();
  if (len_err == 0 && len_blocking_or_permission_error == 0) {
    run.console.line("\n检测完成：" + frequency + "数据质量良好！");
    return record;
  }
  run.console.line(fmt::format("\n检测完成：共有{}个标的{}数据存在异常，{}个文件被其他进程占用或没有权限。", len_err, frequency,
                         len_blocking_or_permission_error));
  if (len_err > 0) run.console.line("数据异常标的如下:\n" + symbol_list(error_file_path_list) + "\n");
  if (len_blocking_or_permission_error > 0)
    run.console.line("被其他进程占用或没有权限的文件如下:\n" + symbol_list(blocking_or_permision_error) + "\n");
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

CheckRecord check_min_bar_data(const Run& run, const std::string& data_bundle_path, int concurrency) {
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
  return run_check(
      run, files, "分钟", [&](const std::string& path) { return minute_file_is_broken(run.client, path, cal); }, concurrency,
      [&] { tell_if_stale(run.console, cal, calendar_path); });
}

CheckRecord check_tick_data(const Run& run, const std::string& data_bundle_path, bool deep, int concurrency) {
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
    h5::File s = h5::File::open(suspended_path, h5::Mode::read);
    for (const auto& p : files) {
      const std::string id = id_of_file(p);
      std::set<std::string>& days = suspendeds[id];
      if (id.empty() || id.find('/') != std::string::npos || !s.contains(id)) continue;
      for (const auto day : suspension_days(s.open_dataset(id), id, suspended_path)) days.insert(std::to_string(day));
    }
  }

  auto& q = run.client;
  const h5::Type& tick_type = run.host.tick_layout().type;
  const std::int32_t latest = latest_storable_day(util::timestamp_date(run.host.datetime_now()));
  return run_check(run, files, "tick", [&](const std::string& path) {
    h5::File f = h5::File::open(path, h5::Mode::read);
    auto names = f.root_names();
    if (names.empty()) return false;
    if (!tick_days_are_sound(tick_type, f, names, latest, deep)) return true;
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
  }, concurrency);
}

}  // namespace tessal_plus::bundle
