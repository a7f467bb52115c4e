#pragma once
// The store writers: the update horizon, file removal, and the incremental
// update of one instrument's minute-bar file and tick file.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/run.hpp"

namespace tessal_plus::bundle {

// The last day an update may fetch (YYYYMMDD): today after 17:30 local time
// (host clock), otherwise yesterday.
std::int32_t _get_end_date(tessal::Host& host);

// Deletes `h5_file`; an absent file counts as deleted. Any other failure
// (permissions, a folder at that path) throws std::system_error.
void remove_h5(const std::string& h5_file);

// Removes what stopped or killed writers left behind in `path` and its
// folders: files being filled under their hidden temporary names, unless a
// writer still at work holds them (another run's).
void remove_unfinished_files(const std::string& path);

// Brings the minute-bar file of one instrument up to date:
// <path>/<equities|future|option>/<file_name or id.h5>, datasets `data` and
// `index`. Throws std::invalid_argument ("标的 <id> 不存在") for an unknown
// id, and lets service errors before the file is opened propagate. Failures
// while the file is open are logged through the host's log and clear the run's
// shared flag instead of throwing. Returns what became of the file
// (written, up to date, or failed with the logged line).
TaskOutcome _append_h5(const Run& run, const std::string& order_book_id, const std::string& path,
                               const std::optional<std::string>& file_name = std::nullopt,
                               std::int32_t min_start_date = MIN_START_DATE, bool rebuild = false);

// The minute bars of one trading day of `order_book_id` as the writer
// stores them: records of `layout` (rows x itemsize bytes), in ascending
// time, from one request to the service; nothing when it has none.
std::optional<std::vector<char>> fetch_day_records(const Run& run, const std::string& order_book_id, const RecordLayout& layout,
                                                   std::int32_t day);

// The ticks of one trading day as the tick writer stores them (records of
// the host's tick layout), from one request to the service; nothing when it
// has none for that day.
std::optional<std::vector<char>> fetch_tick_day_records(const Run& run, const std::string& order_book_id, std::int32_t day);

// 更新tick级h5文件: brings the tick file <path>/<file_name or id.h5> up to
// date, one Blosc-compressed dataset per trading day (YYYYMMDD), empty
// markers for suspension days of stocks. Failures while the file is open are
// logged and clear the shared flag. Returns what became of the file.
TaskOutcome _append_h5_tick(const Run& run, const std::string& order_book_id, const std::string& path,
                                    const std::optional<std::string>& file_name = std::nullopt,
                                    std::int32_t min_start_date = MIN_START_DATE, bool rebuild = false);

}  // namespace tessal_plus::bundle
