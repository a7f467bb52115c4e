// The host's process pool: the module's one process pool running the
// update's tasks, each task's outcome sent back as bytes.
#include <sys/wait.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "tessal/native_host.hpp"
#include "util/process_pool.hpp"
#include "util/progress.hpp"

namespace tessal {
namespace {

// A finished task as a worker reports it: status, then the lengths and
// bytes of kind and message.
std::string encode(const tessal_plus::bundle::TaskOutcome& o) {
  std::string out(1 + 2 * sizeof(std::uint32_t), '\0');
  const auto status = static_cast<std::uint8_t>(o.status);
  const auto kind_len = static_cast<std::uint32_t>(o.kind.size()), message_len = static_cast<std::uint32_t>(o.message.size());
  std::memcpy(out.data(), &status, 1);
  std::memcpy(out.data() + 1, &kind_len, 4);
  std::memcpy(out.data() + 5, &message_len, 4);
  return out + o.kind + o.message;
}

bool decode(const std::string& report, tessal_plus::bundle::TaskOutcome& o) {
  std::uint8_t status = 0;
  std::uint32_t kind_len = 0, message_len = 0;
  if (report.size() < 9) return false;
  std::memcpy(&status, report.data(), 1);
  std::memcpy(&kind_len, report.data() + 1, 4);
  std::memcpy(&message_len, report.data() + 5, 4);
  if (status > static_cast<std::uint8_t>(tessal_plus::bundle::TaskStatus::not_run) || std::size_t{9} + kind_len + message_len != report.size())
    return false;
  o.status = static_cast<tessal_plus::bundle::TaskStatus>(status);
  o.kind = report.substr(9, kind_len);
  o.message = report.substr(9 + kind_len);
  return true;
}

// tessal.data.bundle.ProgressedProcessPoolExecutor: forked workers, each
// initialised with the run's flag, running the module's task runner.
class NativePool : public Pool {
 public:
  NativePool(int max_workers, Host& host, SharedFlag& flag, tessal_plus::bundle::TaskRunner run_task)
      : max_workers_(max_workers), host_(host), flag_(flag), run_task_(std::move(run_task)) {
    if (max_workers < 1) throw std::invalid_argument(fmt::format("max_workers must be at least 1, got {}", max_workers));
  }
  ~NativePool() override {
    try {
      shutdown();
    } catch (...) {
      // A destructor must not throw; shutdown() already logged what failed.
    }
  }

  void submit(const tessal_plus::bundle::PoolTask& task) override {
    if (done_) throw std::logic_error("submit on a pool that was shut down");
    tasks_.push_back(task);
  }

  std::vector<tessal_plus::bundle::TaskOutcome> shutdown() override {
    if (done_) return {};
    done_ = true;
    for (const auto& t : tasks_) outcomes_.push_back(tessal_plus::bundle::TaskOutcome{t.order_book_id, tessal_plus::bundle::TaskStatus::not_run, "", ""});
    if (!tasks_.empty()) run();
    return std::move(outcomes_);
  }

 private:
  void run();

  int max_workers_;
  Host& host_;
  SharedFlag& flag_;
  tessal_plus::bundle::TaskRunner run_task_;
  std::vector<tessal_plus::bundle::PoolTask> tasks_;
  bool done_ = false;
  std::vector<tessal_plus::bundle::TaskOutcome> outcomes_;  // by task number; not_run until reported
};

std::string death_reason(int status) {
  if (status == -1) return "工作进程已结束（状态无法读取）";
  return WIFSIGNALED(status) ? fmt::format("工作进程被信号 {} 终止", WTERMSIG(status))
                             : fmt::format("工作进程异常退出（状态 {}）", WEXITSTATUS(status));
}

void NativePool::run() {
  util::ProgressBar bar(static_cast<std::int64_t>(tasks_.size()));
  util::ProcessJob job;
  job.tasks = tasks_.size();
  job.workers = max_workers_;
  job.worker_started = [this] { host_.process_init(flag_); };
  job.run = [this](std::size_t i) { return encode(run_task_(tasks_.at(i))); };
  job.finished = [&](std::size_t i, std::string report) {
    tessal_plus::bundle::TaskOutcome o;
    if (!decode(report, o)) o = tessal_plus::bundle::TaskOutcome{"", tessal_plus::bundle::TaskStatus::died, "died", "工作进程的报告无法读取"};
    o.order_book_id = tasks_[i].order_book_id;
    outcomes_[i] = std::move(o);
    bar.advance();
    return true;
  };
  job.died = [&](std::size_t i, int status) {
    // Reported, not logged: the driver logs what the pool could not. A
    // writer is never run twice in one run: its file is rolled back by the
    // next opener, and the next run writes it.
    outcomes_[i] = tessal_plus::bundle::TaskOutcome{tasks_[i].order_book_id, tessal_plus::bundle::TaskStatus::died, "died", death_reason(status)};
    flag_.clear();
    bar.advance();
    return false;
  };
  util::run_process_pool(job);
  bar.finish();
}

}  // namespace

std::unique_ptr<Pool> NativeHost::open_pool(int max_workers, SharedFlag& flag, tessal_plus::bundle::TaskRunner run_task) {
  return std::make_unique<NativePool>(max_workers, *this, flag, std::move(run_task));
}

}  // namespace tessal
