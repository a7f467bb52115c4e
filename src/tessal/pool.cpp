// The host's process pool: forked workers fed task numbers through pipes.
// Tasks are known before the workers fork, so a worker needs only the
// number of its next task; a replacement worker forked after a death sees
// the same list.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "tessal/native_host.hpp"
#include "util/error.hpp"
#include "util/progress.hpp"
#include "util/signals.hpp"

namespace tessal {
namespace {

using Task = PoolTask;

bool write_all(int fd, const void* buf, std::size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Reads exactly n bytes; false on end of file or error.
bool read_all(int fd, void* buf, std::size_t n) {
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    const ssize_t r = ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A finished task as a worker reports it on its result pipe, in one write:
// task number, status, then the lengths and bytes of kind and message.
std::string encode(std::uint32_t idx, const TaskOutcome& o) {
  std::string out(sizeof idx + 1 + 2 * sizeof(std::uint32_t), '\0');
  const std::uint8_t status = static_cast<std::uint8_t>(o.status);
  const auto kind_len = static_cast<std::uint32_t>(o.kind.size()), message_len = static_cast<std::uint32_t>(o.message.size());
  std::memcpy(out.data(), &idx, sizeof idx);
  std::memcpy(out.data() + 4, &status, 1);
  std::memcpy(out.data() + 5, &kind_len, 4);
  std::memcpy(out.data() + 9, &message_len, 4);
  return out + o.kind + o.message;
}

bool read_outcome(int fd, std::uint32_t& idx, TaskOutcome& o) {
  std::uint8_t status = 0;
  std::uint32_t kind_len = 0, message_len = 0;
  if (!read_all(fd, &idx, sizeof idx) || !read_all(fd, &status, 1) || !read_all(fd, &kind_len, 4) || !read_all(fd, &message_len, 4))
    return false;
  if (status > static_cast<std::uint8_t>(TaskStatus::not_run) || kind_len > (1u << 20) || message_len > (1u << 24)) return false;
  o.status = static_cast<TaskStatus>(status);
  o.kind.resize(kind_len);
  o.message.resize(message_len);
  return read_all(fd, o.kind.data(), kind_len) && read_all(fd, o.message.data(), message_len);
}

[[noreturn]] void worker_main(int in, int out, Host& host, SharedFlag& flag, const TaskRunner& run_task,
                              const std::vector<Task>& tasks) {
  // A task reports its own failures; one that throws all the same ends the
  // worker here (never unwinding into what the parent was doing when it
  // forked), and the parent counts it as died.
  try {
    host.process_init(flag);
    std::uint32_t idx = 0;
    while (read_all(in, &idx, sizeof idx)) {
      const Task& t = tasks.at(idx);
      const TaskOutcome outcome = run_task(t);
      std::fflush(stdout);
      std::fflush(stderr);
      const std::string report = encode(idx, outcome);
      if (!write_all(out, report.data(), report.size())) break;
    }
  } catch (...) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(70);
  }
  std::fflush(stdout);
  ::_exit(0);
}

// SIGINT and SIGTERM while a run is in flight: the first stops the hand-out
// and is passed on to the workers, which the parent then waits for; a second
// one ends the parent at once. The handler only records the signal and
// wakes the parent's poll through a pipe.
volatile sig_atomic_t g_stop_signal = 0;
int g_wake[2] = {-1, -1};

void on_stop_signal(int sig) {
  if (g_stop_signal != 0) {
    ::signal(sig, SIG_DFL);
    ::raise(sig);
    return;
  }
  g_stop_signal = sig;
  const int saved = errno;
  [[maybe_unused]] auto n = ::write(g_wake[1], "x", 1);
  errno = saved;
}

class StopSignals {
 public:
  StopSignals() {
    g_stop_signal = 0;
    if (::pipe(g_wake) != 0) util::throw_os_error(errno, "cannot create a pipe for", "signals");
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &saved_int_);
    ::sigaction(SIGTERM, &sa, &saved_term_);
  }
  ~StopSignals() {
    ::sigaction(SIGINT, &saved_int_, nullptr);
    ::sigaction(SIGTERM, &saved_term_, nullptr);
    close_fd(g_wake[0]);
    close_fd(g_wake[1]);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  int wake_fd() const { return g_wake[0]; }

 private:
  struct sigaction saved_int_{}, saved_term_{};
};

// A worker as the parent sees it.
struct Worker {
  pid_t pid = -1;
  int to_worker = -1;    // parent writes task numbers
  int from_worker = -1;  // worker writes the number of each finished task
  long in_flight = -1;   // task the worker is running, -1 when idle
};

// The running workers of one shutdown(): spawn, hand out, reap. Whatever
// ends its scope (a failed fork, poll or pipe), no worker is left behind:
// closing a worker's task pipe ends its loop, then it is reaped.
class WorkerSet {
 public:
  WorkerSet(std::size_t n, const std::vector<Task>& tasks, Host& host, SharedFlag& flag, const TaskRunner& run_task)
      : workers_(n), tasks_(tasks), host_(host), flag_(flag), run_task_(run_task), parent_(::getpid()) {}
  ~WorkerSet() {
    for (auto& w : workers_) reap(w);
  }
  WorkerSet(const WorkerSet&) = delete;
  WorkerSet& operator=(const WorkerSet&) = delete;

  std::vector<Worker>& workers() { return workers_; }
  bool more_tasks() const { return next_ < tasks_.size(); }

  void spawn(Worker& w) {
    int a[2], b[2];
    if (::pipe(a) != 0) util::throw_os_error(errno, "cannot create a pipe for", "worker");
    if (::pipe(b) != 0) {
      const int e = errno;
      ::close(a[0]), ::close(a[1]);
      util::throw_os_error(e, "cannot create a pipe for", "worker");
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) {
      const int e = errno;
      ::close(a[0]), ::close(a[1]), ::close(b[0]), ::close(b[1]);
      util::throw_os_error(e, "cannot fork", "worker");
    }
    if (pid == 0) {
      // A worker never outlives the parent, and a signal ends it at once:
      // the file it was writing is rolled back by its next opener.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent_) ::_exit(1);
      ::signal(SIGINT, SIG_DFL);
      ::signal(SIGTERM, SIG_DFL);
      close_fd(g_wake[0]);
      close_fd(g_wake[1]);
      ::close(a[1]);
      ::close(b[0]);
      for (auto& other : workers_) close_fd(other.to_worker), close_fd(other.from_worker);
      worker_main(a[0], b[1], host_, flag_, run_task_, tasks_);
    }
    ::close(a[0]);
    ::close(b[1]);
    w = Worker{pid, a[1], b[0], -1};
  }

  // Gives the worker the next task, or closes its task pipe when none is
  // left so that it leaves its loop. A worker that is gone is noticed when
  // its result pipe closes.
  void hand_out(Worker& w) {
    if (more_tasks()) {
      const auto idx = static_cast<std::uint32_t>(next_);
      w.in_flight = static_cast<long>(next_++);
      write_all(w.to_worker, &idx, sizeof idx);
      return;
    }
    w.in_flight = -1;
    close_fd(w.to_worker);
  }

  // Passes a stop signal on to every running worker.
  void signal_all(int sig) {
    for (auto& w : workers_)
      if (w.pid > 0) ::kill(w.pid, sig);
  }

  // Waits for the worker to end; its exit status.
  static int reap(Worker& w) {
    close_fd(w.to_worker);
    close_fd(w.from_worker);
    int status = 0;
    if (w.pid > 0)
      while (::waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
      }
    w = Worker{};
    return status;
  }

 private:
  std::vector<Worker> workers_;
  const std::vector<Task>& tasks_;
  Host& host_;
  SharedFlag& flag_;
  const TaskRunner& run_task_;
  pid_t parent_;
  std::size_t next_ = 0;
};

std::string death_reason(int status) {
  return WIFSIGNALED(status) ? fmt::format("工作进程被信号 {} 终止", WTERMSIG(status))
                             : fmt::format("工作进程异常退出（状态 {}）", WEXITSTATUS(status));
}

// tessal.data.bundle.ProgressedProcessPoolExecutor: forked workers, each
// initialised with the run's flag, running the module's task runner.
class NativePool : public Pool {
 public:
  NativePool(int max_workers, Host& host, SharedFlag& flag, TaskRunner run_task)
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

  void submit(const PoolTask& task) override {
    if (done_) throw std::logic_error("submit on a pool that was shut down");
    tasks_.push_back(task);
  }

  std::vector<TaskOutcome> shutdown() override {
    if (done_) return {};
    done_ = true;
    for (const auto& t : tasks_) outcomes_.push_back(TaskOutcome{t.order_book_id, TaskStatus::not_run, "", ""});
    if (!tasks_.empty()) run();
    return std::move(outcomes_);
  }

 private:
  void run();

  int max_workers_;
  Host& host_;
  SharedFlag& flag_;
  TaskRunner run_task_;
  std::vector<Task> tasks_;
  bool done_ = false;
  std::vector<TaskOutcome> outcomes_;  // by task number; not_run until reported
};

void NativePool::run() {
  // A worker that dies leaves a pipe whose write end would raise SIGPIPE.
  const util::IgnoreSignal quiet_pipes(SIGPIPE);
  StopSignals stop;
  const std::size_t n_tasks = tasks_.size();
  WorkerSet set(std::min<std::size_t>(static_cast<std::size_t>(max_workers_), n_tasks), tasks_, host_, flag_, run_task_);
  util::ProgressBar bar(static_cast<std::int64_t>(n_tasks));
  for (auto& w : set.workers()) {
    set.spawn(w);
    set.hand_out(w);
  }
  std::size_t finished = 0;
  while (finished < n_tasks) {
    if (g_stop_signal != 0) break;
    std::vector<pollfd> fds{{stop.wake_fd(), POLLIN, 0}};
    std::vector<Worker*> owners{nullptr};
    for (auto& w : set.workers())
      if (w.from_worker >= 0) {
        fds.push_back({w.from_worker, POLLIN, 0});
        owners.push_back(&w);
      }
    if (fds.size() == 1) break;  // cannot happen while tasks remain; guards a hang
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      util::throw_os_error(errno, "cannot wait for", "workers");
    }
    for (std::size_t i = 1; i < fds.size() && g_stop_signal == 0; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Worker& w = *owners[i];
      std::uint32_t idx = 0;
      TaskOutcome reported;
      if (read_outcome(w.from_worker, idx, reported) && idx < outcomes_.size()) {
        reported.order_book_id = tasks_[idx].order_book_id;
        outcomes_[idx] = std::move(reported);
        ++finished;
        bar.advance();
        set.hand_out(w);
        continue;
      }
      // End of file: the worker exited or was killed.
      const long lost = w.in_flight;
      const int status = WorkerSet::reap(w);
      if (lost >= 0) {
        ++finished;
        bar.advance();
        // Reported, not logged: the driver logs what the pool could not.
        const auto at = static_cast<std::size_t>(lost);
        outcomes_[at] = TaskOutcome{tasks_[at].order_book_id, TaskStatus::died, "died", death_reason(status)};
        flag_.clear();
      }
      if (set.more_tasks()) {
        set.spawn(w);
        set.hand_out(w);
      }
    }
  }
  if (const int sig = g_stop_signal) {
    // Nothing more is handed out; the workers get the signal and are all
    // waited for (by the worker set) before the run reports it.
    set.signal_all(sig);
    for (auto& w : set.workers()) WorkerSet::reap(w);
    throw util::Error(util::ErrorKind::interrupted, "", fmt::format("interrupted by signal {}", sig), sig);
  }
  bar.finish();
}

}  // namespace

std::unique_ptr<Pool> NativeHost::open_pool(int max_workers, SharedFlag& flag, TaskRunner run_task) {
  return std::make_unique<NativePool>(max_workers, *this, flag, std::move(run_task));
}

}  // namespace tessal
