#pragma once
// What a bundle holds, read from the stores' metadata only, for a quick look
// from cron or a shell: per store the files, rows, bytes and days, the files
// that end before the trading calendar does, and the files that cannot be
// opened. Nothing is decompressed: a minute-bar file gives the first and
// last record of `index` and the size of `data`; a tick file gives its
// dataset names and each day's row count from its dataspace.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/stores.hpp"
#include "util/error.hpp"

namespace tessal_plus::bundle {

// An instrument's listed life from instruments.pk (YYYYMMDD; 0 when not
// set): days outside it are not expected of its files.
struct InstrumentLife {
  std::int32_t listed = 0, de_listed = 0;
};

struct FileStatus {
  std::string id;    // id_of_file(path)
  std::string path;
  std::optional<std::int32_t> first_day, last_day;  // nothing for a file without days
  std::uint64_t rows = 0;   // bars (minute files) or ticks (tick files)
  std::uint64_t bytes = 0;  // size of the file on disk
  // Stale: ends before the update horizon, or, for an instrument de-listed
  // or expired before the horizon, before its last trading day (the last
  // trading day on or before its de_listed_date, less the instrument's
  // suspension days). Ended: such an
  // instrument's file that reaches that day: complete, never updated again.
  bool stale = false;
  bool ended = false;
  // Every day the file holds, ascending: read only when asked for (the
  // health page's coverage map); the `date` column of `index` or the day
  // names, never the bars.
  std::vector<std::int32_t> days;
  // Set when the file could not be read: its kind (locked, permission,
  // damaged, ...) and the error's text.
  std::optional<util::ErrorKind> error;
  std::string message;
};

struct StoreStatus {
  std::string name;    // "equities", "future", "option" (minute bars) or "ticks"
  std::string folder;  // the store's folder
  Store store = Store::minute;
  std::size_t instruments = 0;  // distinct ids among the readable files
  std::uint64_t rows = 0, bytes = 0;  // bytes: every file, readable or not
  std::optional<std::int32_t> first_day, last_day;  // earliest first day, latest last day
  std::vector<FileStatus> files;  // sorted by file name
  std::vector<const FileStatus*> stale() const;
  std::vector<const FileStatus*> ended() const;
  std::vector<const FileStatus*> unreadable() const;
  // "minute bars equities", "ticks".
  std::string title() const { return std::string(store_kind(store).title_prefix) + name; }
};

struct BundleStatus {
  std::string bundle;  // <data_bundle_path>/bundle
  std::string calendar_path;
  // The calendar's last day; nothing when trading_dates.npy is absent or
  // cannot be read (calendar_error then says why), and staleness is not
  // judged.
  std::optional<std::int32_t> calendar_last;
  // The update horizon: the last trading day an update run now would fetch
  // (the calendar's last day on or before the writers' end date, by the
  // same clock); a file ending before it is stale. Nothing without a
  // calendar.
  std::optional<std::int32_t> horizon;
  std::string calendar_error;
  std::vector<std::int32_t> calendar;  // the trading days, ascending: kept only with the files' days
  std::vector<StoreStatus> stores;  // minute-bar type folders in name order, then ticks
  // The instruments' lives from instruments.pk (an id it lacks is judged as
  // listed today), and why the list was not used, when it was not.
  std::map<std::string, InstrumentLife> lives;
  std::string lives_note;
  std::size_t unreadable_files() const;
};

// Reads the status of every store of <data_bundle_path>/bundle. A store
// file that cannot be read is recorded with its error kind, never thrown;
// a store folder that cannot be listed throws util::Error, and so does a
// bundle folder that is not there (require_bundle_folder). `with_days`
// also keeps the calendar and every file's days.
BundleStatus bundle_status(tessal::Host& host, const std::string& data_bundle_path, bool with_days = false);

// One store file's status, staleness not judged. Never throws for the
// file's own failures.
FileStatus minute_file_status(const std::string& path, bool with_days = false);
FileStatus tick_file_status(const std::string& path, bool with_days = false);

// Judges whether `f` is stale or ended at `horizon`, by the ascending
// trading `calendar`, the instrument's `life` (nothing: judged as listed)
// and its ascending suspension days (nothing: none known).
void judge_staleness(FileStatus& f, std::int32_t horizon, const std::vector<std::int32_t>& calendar,
                     const InstrumentLife* life, const std::vector<std::int64_t>* suspended);

// A size for people: 812 B, 3.3 MiB, 1.25 GiB.
std::string byte_text(std::uint64_t bytes);

// The summary on the console; `by_instrument` adds one line per file.
void print_status(const Console& console, const BundleStatus& status, bool by_instrument);

}  // namespace tessal_plus::bundle
