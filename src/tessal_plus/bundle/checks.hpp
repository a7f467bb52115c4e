#pragma once
// The store checks: read-only checks of the minute-bar and tick stores
// against the trading calendar, the suspension days and the service, and
// the common report with its yes/no clean-up.
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "h5/h5.hpp"
#include "tessal_plus/bundle/quality.hpp"
#include "tessal_plus/bundle/run.hpp"
#include "util/error.hpp"

namespace tessal_plus::bundle {

// What a check does beyond finding broken files.
struct CheckOptions {
  // Every value is read too, and what the content rules find is reported
  // per file (never deleted: the clean-up prompt stays for broken files).
  bool quality = false;
  QualityThresholds thresholds{};
  // Every broken file and every file with a finding is refilled from the
  // service instead of being offered for deletion; nobody is asked.
  bool heal = false;
  // Days per file fetched again from the service and compared with the
  // stored records value for value (0: none): the newest day, and the rest
  // drawn from the file's days by `verify_seed` (with the file's name), so
  // that a finding can be reproduced and repeated runs cover the history.
  int verify = 0;
  std::uint64_t verify_seed = 0;
};
// A seed for CheckOptions::verify_seed when the caller names none.
std::uint64_t fresh_verify_seed();

// What became of one file --heal refilled: "healed"; "source" (the
// service's own data holds the same finding: the refilled file is kept and
// its findings are the source's); "failed" (the service refused or failed,
// or its data makes a broken file: the old file is as it was).
struct HealOutcome {
  std::string path;
  std::string outcome;
  std::string message;            // why it failed; empty otherwise
  std::vector<Finding> findings;  // of the refilled file
};

// What a check found and did, for reports (the command line's --json): the
// files examined, the broken ones, the ones held by another process or not
// permitted (with the kind), the answer at the prompt, how many files were
// deleted, the content findings per file and what healing did.
struct CheckRecord {
  std::string frequency;            // "分钟" or "tick"
  std::vector<std::string> files;   // every file examined, in order
  std::vector<std::string> broken;
  std::vector<std::string> held;
  std::map<std::string, util::ErrorKind> held_kind;  // locked or permission
  std::optional<std::string> answer;  // nothing when nobody was asked
  std::size_t deleted = 0;
  std::map<std::string, std::vector<Finding>> findings{};  // files with findings only
  std::vector<HealOutcome> heals{};
  // Files whose checking process was killed from outside twice: never
  // judged, never deleted.
  std::vector<std::string> unchecked{};
  // Why a broken file is broken, when its reader crashed on it twice.
  std::map<std::string, std::string> broken_reason{};
  // Files whose days could not be verified (--verify): why (the service's refusal).
  std::map<std::string, std::string> not_verified{};
  // The days of each good file compared with the service's (--verify).
  std::map<std::string, std::vector<std::int32_t>> verified_days{};
  // The days verified per file and the seed that drew them (0 and 0 without --verify).
  int verify = 0;
  std::uint64_t verify_seed = 0;
};

// The suspension days (YYYYMMDD) of each of `ids` that suspended_days.h5 at
// `path` holds (ids it lacks have no entry), as the host's tools may have
// written them: integers, reals holding whole days, or fixed-length byte
// strings of digits. Anything else is refused as damaged.
std::map<std::string, std::vector<std::int64_t>> suspensions_of(const std::string& path, const std::vector<std::string>& ids);

// Prints the outcome of a check, lists broken and locked files, asks
// "是否删除异常数据(yes/no):" at the run's console and deletes the broken
// files on yes. Throws util::Error (end_of_input) at end of input,
// std::system_error when a deletion fails.
CheckRecord deal_with_check_result(const Run& run, const std::vector<std::string>& error_file_path_list,
                                   const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency);

// Checks every <bundle>/h5/*/*.h5 file; reports and cleans up at the end.
// With `concurrency` above 1 the files are checked in that many processes
// of the module's process pool (forked by Run::fork); what is printed does
// not change. A file whose checking process is killed is judged again in a
// fresh one, and listed as unchecked (never broken) when that one dies too;
// only a reader that crashes on the file twice makes it broken.
CheckRecord check_min_bar_data(const Run& run, const std::string& data_bundle_path, int concurrency = 1,
                               const CheckOptions& options = {});
// Checks every <bundle>/ticks/*.h5 file; reports and cleans up at the end.
// Every day's dataset is opened and its type and storage checked; `deep`
// also reads every tick (slow on large stores: it decompresses them all).
// `options.quality` reads every tick as `deep` does.
CheckRecord check_tick_data(const Run& run, const std::string& data_bundle_path, bool deep = false, int concurrency = 1,
                            const CheckOptions& options = {});

}  // namespace tessal_plus::bundle
