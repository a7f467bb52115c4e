#pragma once
// The store checks: read-only checks of the minute-bar and tick stores
// against the trading calendar, the suspension days and the service, and
// the common report with its yes/no clean-up.
#include <string>
#include <vector>

namespace tessal_plus::bundle {

// Prints the outcome of a check, lists broken and locked files, asks
// "是否删除异常数据(yes/no):" on standard input and deletes the broken files
// on yes. Throws std::runtime_error at end of input, std::system_error when
// a deletion fails.
void deal_with_check_result(const std::vector<std::string>& error_file_path_list,
                            const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency);

// Checks every <bundle>/h5/*/*.h5 file; reports and cleans up at the end.
// With `concurrency` above 1 the files are checked in that many forked
// processes; what is printed does not change.
void check_min_bar_data(const std::string& data_bundle_path, int concurrency = 1);
// Checks every <bundle>/ticks/*.h5 file; reports and cleans up at the end.
// Every day's dataset is opened and its type and storage checked; `deep`
// also reads every tick (slow on large stores: it decompresses them all).
void check_tick_data(const std::string& data_bundle_path, bool deep = false, int concurrency = 1);

}  // namespace tessal_plus::bundle
