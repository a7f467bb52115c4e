#pragma once
// The bundle's two stores, minute bars and ticks, as one table: the update
// drivers, the pool's task runner, the checks, the status, the health page,
// the command line and the binding read what differs between them here
// instead of each deciding minute-or-tick on its own.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tessal_plus/bundle/pool_task.hpp"

namespace tessal_plus::bundle {

struct Run;
struct FileStatus;

// A store's writer: brings one instrument's file in `path` up to date
// (_append_h5, _append_h5_tick).
using StoreWriter = TaskOutcome (*)(const Run& run, const std::string& order_book_id, const std::string& path,
                                    const std::optional<std::string>& file_name, std::int32_t min_start_date, bool rebuild);

struct StoreKind {
  Store store;
  std::string_view name;           // "minute", "tick": the store in reports, JSON and the page
  std::string_view folder;         // its folder in the bundle
  std::string_view label;          // the check's word for it in its console lines
  std::string_view title_prefix;   // before a store folder's name in the status and the page
  std::string_view page_heading;   // the page's heading of a store folder ({}: its name)
  std::string_view check_command;  // the command line's check of it
  std::string_view announcement;   // the update driver's first line: {count}, {ids}
  bool makes_folder;               // the driver creates the folder (minute bars go into class folders the writer makes)
  std::int64_t stamps_per_day;     // a time stamp divided by this is its day (YYYYMMDDHHMMSS, ...HHMMSSmmm)
  StoreWriter writer;
  FileStatus (*file_status)(const std::string& path, bool with_days);  // what the status reads of a file
};

const std::array<StoreKind, 2>& STORES();
const StoreKind& store_kind(Store s);
// The store of that name (StoreKind::name); nothing for any other name.
const StoreKind* store_named(std::string_view name);
// The store `command` checks; nothing for any other command.
const StoreKind* store_checked_by(std::string_view command);

}  // namespace tessal_plus::bundle
