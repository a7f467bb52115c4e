#pragma once
// One task of an update's pool and what became of it: the module's own
// data, which every host's pool carries between processes as it is.
#include <functional>
#include <string>
#include <string_view>

namespace tessal_plus::bundle {

// What became of one task of an update run, as the pool reports it to the
// driver: machine-readable results (--json) come from these, never from
// the log's text.
enum class TaskStatus {
  written,     // the file was created or changed
  up_to_date,  // nothing to write (or nothing to fetch)
  failed,      // the writer failed; the failure was logged and the flag cleared
  died,        // the worker running it ended (killed, out of memory) or never started
  not_run,     // the run was stopped before the task was handed out
};
constexpr std::string_view status_name(TaskStatus s) noexcept {
  switch (s) {
    case TaskStatus::written: return "written";
    case TaskStatus::up_to_date: return "up_to_date";
    case TaskStatus::failed: return "failed";
    case TaskStatus::died: return "died";
    case TaskStatus::not_run: return "not_run";
  }
  return "?";
}

struct TaskOutcome {
  std::string order_book_id;
  TaskStatus status = TaskStatus::not_run;
  std::string kind;     // of a failure: "locked", "damaged", ... (util::kind_name); empty otherwise
  std::string message;  // of a failure: the line that was logged
};

// One task of an update's pool: the writer of one instrument's file of one
// store. Plain data, so that a host's pool can send it to another process.
enum class Store { minute, tick };
struct PoolTask {
  Store store = Store::minute;
  std::string order_book_id;
  std::string path;
  bool rebuild = false;
};
// What runs a task inside a worker (the module's one task runner).
using TaskRunner = std::function<TaskOutcome(const PoolTask&)>;

}  // namespace tessal_plus::bundle
