#pragma once
// The store checks: read-only checks of the minute-bar and tick stores
// against the trading calendar, the suspension days and the service, and
// the common report with its yes/no clean-up.
#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "util/error.hpp"

namespace tessal_plus::bundle {

// Prints the outcome of a check, lists broken and locked files, asks
// "是否删除异常数据(yes/no):" on standard input and deletes the broken files
// on yes. Throws std::runtime_error at end of input, std::system_error when
// a deletion fails.
void deal_with_check_result(const std::vector<std::string>& error_file_path_list,
                            const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency);

// What the last check of this process found and did, for reports (the
// command line's --json): the files examined, the broken ones, the ones held
// by another process or not permitted (with the kind), the answer at the
// prompt and how many files were deleted. Reset when a check starts.
struct CheckRecord {
  std::string frequency;            // "分钟" or "tick"
  std::vector<std::string> files;   // every file examined, in order
  std::vector<std::string> broken;
  std::vector<std::string> held;
  std::map<std::string, util::ErrorKind> held_kind;  // locked or permission
  std::optional<std::string> answer;  // nothing when nobody was asked
  std::size_t deleted = 0;
};
const CheckRecord& last_check();

// Checks every <bundle>/h5/*/*.h5 file; reports and cleans up at the end.
// With `concurrency` above 1 the files are checked in that many forked
// processes; what is printed does not change.
void check_min_bar_data(const std::string& data_bundle_path, int concurrency = 1);
// Checks every <bundle>/ticks/*.h5 file; reports and cleans up at the end.
// Every day's dataset is opened and its type and storage checked; `deep`
// also reads every tick (slow on large stores: it decompresses them all).
void check_tick_data(const std::string& data_bundle_path, bool deep = false, int concurrency = 1);

// How the checking processes are forked: ::fork() unless a program that
// embeds the module must take part (the Python interpreter: a child forked
// behind its back while another of its threads holds the GIL waits for that
// thread for ever). `fork` returns what fork() returns, in both processes.
void set_check_fork(std::function<pid_t()> fork);

}  // namespace tessal_plus::bundle
