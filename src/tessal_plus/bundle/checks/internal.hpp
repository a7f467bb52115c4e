#pragma once
// What the check units share: one file's outcome, the one rule that turns
// a file's check into a verdict, the pool glue that runs checks in worker
// processes, the common outer flow (judge, report, clean up or heal) and
// the report's printing.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tessal_plus/bundle/checks.hpp"
#include "util/error.hpp"

namespace tessal_plus::bundle::checking {

enum class Verdict : std::uint8_t {
  good,
  broken,
  locked,     // held by another process
  denied,     // not permitted
  unchecked,  // its checking process was killed from outside: nothing is known of the file
  failed,     // not a failure of the file (the service, say): ends the check
};

// What one file's check found.
struct FileOutcome {
  Verdict verdict = Verdict::unchecked;
  std::vector<Finding> findings;  // of a file that is not broken
  bool calendar_ended = false;    // the calendar ends before a day the file holds
  util::ErrorKind error_kind = util::ErrorKind::service;  // of a failed check
  std::string message;  // why a file is broken by a crash or unchecked; a failed check's error
  std::vector<std::int32_t> verified_days;  // --verify: the days compared with the service's
};

// One file's steps: true when the file is broken. Findings and the
// calendar note go into `out`; a failure of the file is thrown.
using FileCheck = std::function<bool(const std::string& path, FileOutcome& out)>;

// Judges one file in this process: the error sorting of both stores (held,
// not permitted, broken). Throws what is not a failure of the file.
FileOutcome judge(const std::string& path, const FileCheck& check);

// A reader that crashes on hostile bytes, as opposed to one killed from
// outside (the OOM killer, a stray kill, a Ctrl-C).
bool crashed(int wait_status) noexcept;

// Every file judged, in this process when `concurrency` is 1, else in that
// many worker processes of the module's process pool, with a progress bar.
// A file whose checking process dies is judged again, once, in a fresh
// process: broken only when both readers crashed on it, else unchecked.
// Throws the first error that is not a failure of a file, and an
// interruption (util::Error interrupted, or what run.interrupt_check throws).
std::vector<FileOutcome> judge_files(const Run& run, const std::vector<std::string>& files, const FileCheck& check,
                                     int concurrency);

// The days of a file of `n_days` (ascending) that a check verifies against
// the service, as positions: the newest, and up to n-1 others drawn by
// `seed` and the file's name.
std::vector<std::size_t> days_to_verify(std::size_t n_days, int n, std::uint64_t seed, const std::string& file_name);
// With --verify: the console line that says how many days and the seed.
void announce_verification(const Run& run, const CheckOptions& options);
// A record's time stamp in a layout: its `datetime` (minute bars), or its
// `date` and `time` as YYYYMMDDHHMMSSmmm (ticks). usable() is false for a
// layout with neither.
class RecordTime {
 public:
  explicit RecordTime(const RecordLayout& layout);
  bool usable() const noexcept { return datetime_ || (date_ && time_); }
  std::int64_t operator()(const char* row) const;
  const std::string& name() const;

 private:
  const RecordField *datetime_, *date_, *time_;
};
// Compares one stored day's records (`stored_rows` rows of `layout`, whose
// RecordTime is usable) with the service's (nothing: it has none), matched
// by time stamp, and adds what differs to `out` (one finding per rule: the
// earliest time and field, the count over every day compared; a day the
// service lacks is told at `day_start`, the day's first time stamp).
void compare_day(const RecordLayout& layout, std::int64_t day_start, const char* stored, std::size_t stored_rows,
                 const std::optional<std::vector<char>>& fetched, std::vector<Finding>& out);
// One stored day as a store reads it for verification: its trading day and
// how many records `read` put in the buffer.
struct StoredDay {
  std::int32_t day = 0;
  std::size_t rows = 0;
};
// Verifies a file of `n_days` stored days (ascending) of `layout` records on
// the days the options draw: `read(i, buffer)` reads the i-th day, `fetch`
// asks the service for a day (the writer's conversion; nothing when it has
// none). The days compared go into `out.verified_days`, what differs into
// `out.findings`; the service refusing or failing (the network too) is the
// file's note in `out.message`, never the end of the check, and so is a
// layout without a time stamp.
void verify_file_days(const std::string& path, std::size_t n_days, const RecordLayout& layout, std::int64_t stamps_per_day,
                      const CheckOptions& options, const std::function<StoredDay(std::size_t, std::vector<char>&)>& read,
                      const std::function<std::optional<std::vector<char>>(std::int32_t)>& fetch, FileOutcome& out);

// Refills one store file from the service into `stage` (a folder of its
// own) and returns the new file's path; throws when the service refuses or
// fails.
using Refill = std::function<std::string(const Run& run, const std::string& path, const std::string& stage)>;

// What a store's check hands the common flow.
struct StoreCheck {
  std::string frequency;   // "分钟" or "tick"
  std::string store_root;  // the store's folder, where a heal stages its refills
  FileCheck check;
  Refill refill;
  // Said before the report, when a file held a day the calendar does not reach.
  std::function<void()> calendar_ended{};
};

// Judges every file, then reports in the order the files were listed (the
// report reads the same whatever the concurrency) and cleans up after the
// prompt, or with --heal refills broken files and files with findings.
CheckRecord run_check(const Run& run, const std::vector<std::string>& files, const StoreCheck& store, int concurrency,
                      const CheckOptions& options);

// --heal: each file refilled into a stage, checked there and put in place
// only when whole; one outcome per file, nothing deleted, nobody asked.
std::vector<HealOutcome> heal_all(const Run& run, const std::vector<std::string>& files, const StoreCheck& store);
// The writers of the two stores as refills.
Refill minute_refill();
Refill tick_refill();

// ---- the report (report.cpp) ----
// The outcome of a check and its broken and held files; false when there
// is nothing to report.
bool print_check_summary(const Console& console, const std::vector<std::string>& error_file_path_list,
                         const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency);
// The closing line of a check that found no broken or held file: "good"
// only when no file has content findings and every file was judged, else
// how many have findings (kept, or about to be healed) and how many were
// not checked.
void print_closing_line(const Console& console, const std::string& frequency, std::size_t with_findings, std::size_t unchecked,
                        bool healing);
// The content findings, one line per file.
void print_findings(const Console& console, const std::map<std::string, std::vector<Finding>>& findings);
// Files broken by a crashing reader (with why) and files nobody could judge.
void print_unjudged(const Console& console, const std::map<std::string, std::string>& crashed,
                    const std::vector<std::string>& unchecked);
std::string finding_text(const Finding& f);

// ---- shared by the two stores ----
extern const char* const kNoCalendar;
// The ascending trading calendar at `path`; refused as damaged when empty
// or out of order.
std::vector<std::int64_t> load_calendar(const std::string& path);

// The calendar's slice from the leftmost insertion point of `start` through
// that of `end`, inclusive.
template <class T>
std::vector<T> calendar_slice(const std::vector<T>& cal, const T& start, const T& end) {
  const auto si = static_cast<std::size_t>(std::lower_bound(cal.begin(), cal.end(), start) - cal.begin());
  const auto ei = static_cast<std::size_t>(std::lower_bound(cal.begin(), cal.end(), end) - cal.begin());
  if (ei < si || si >= cal.size()) return {};
  return std::vector<T>(cal.begin() + static_cast<std::ptrdiff_t>(si),
                        cal.begin() + static_cast<std::ptrdiff_t>(std::min(ei + 1, cal.size())));
}

}  // namespace tessal_plus::bundle::checking
