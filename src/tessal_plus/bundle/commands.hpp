#pragma once
// The update commands: the minute-bar and tick drivers, the full update,
// the smart update, and the sample-bundle download.
#include <cstdint>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tessal_plus/bundle/run.hpp"

namespace tessal_plus::bundle {

// The program is to end with this exit status (a refusal by the user, or a
// missing exchange permission). Library code never exits; the command line
// turns this into the status.
class ProgramExit : public std::exception {
 public:
  explicit ProgramExit(int status) : status_(status) {}
  int status() const noexcept { return status_; }
  const char* what() const noexcept override { return "program exit"; }

 private:
  int status_;
};

// What an update ran, for reports (the command line's --json): per driver
// call the store ("minute" or "tick"), the ids handed to the pool, every
// task's outcome as the pool reported it and whether every task succeeded;
// for the full and smart updates also the base step's result.
struct DriverRecord {
  std::string store;
  std::vector<std::string> ids;
  bool succeeded = false;
  std::vector<TaskOutcome> outcomes;  // one per id, as the pool reported them
};
struct UpdateRecord {
  std::optional<bool> base;  // nothing when the base files were not updated
  std::vector<DriverRecord> drivers;
  bool succeeded = true;     // the base step and every driver succeeded
};

// The one task runner: runs the client's per-process hook, the writer of
// the task's store with its default file name and start date, and turns
// what the writer let through (an unknown id, the service failing before
// the file was opened) into a logged failure that clears the run's flag.
// Interruptions pass through. The native pool and the Python package's
// tasks both end here.
TaskOutcome run_task(const Run& run, const PoolTask& task);

// "{'a', 'b', ...}" as the drivers announce a set of ids.
std::string render_id_set(const std::set<std::string>& ids);

// Update the minute-bar (tick) files of the instruments that `tags` select,
// in `concurrency` worker processes. `succeeded` when no instrument failed.
DriverRecord update_minbar(const Run& run, const std::string& path, const std::vector<std::string>& tags, bool with_derivatives, int concurrency,
                   bool rebuild = false, bool enable_bjse = false);
DriverRecord update_tick(const Run& run, const std::string& path, const std::vector<std::string>& tags, bool with_derivatives, int concurrency,
                 bool rebuild = false, bool enable_bjse = false);

// 通过quillonc更新指定标的的数据. May throw ProgramExit(0).
UpdateRecord update_bundle_from_quillonc(const Run& run, int concurrency, const std::string& data_bundle_path, bool base,
                                 const std::vector<std::string>& minbar, const std::vector<std::string>& tick,
                                 bool with_derivatives, bool rebuild = false, bool enable_bjse = false);

// 从bundle数据中查看已存在的标的文件 进行增量更新.
UpdateRecord update_bundle_from_exist_file(const Run& run, int concurrency, const std::string& data_bundle_path);

}  // namespace tessal_plus::bundle
