#include "util/process_pool.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include <fmt/format.h>

#include "util/error.hpp"

namespace util {
namespace {

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

// A report on the result pipe: task number, length, bytes; one write.
constexpr std::uint32_t kMaxReport = 1u << 26;

[[noreturn]] void worker_main(int in, int out, const ProcessJob& job) {
  // What a task throws ends the worker here, never unwinding into what the
  // parent was doing when it forked; the parent counts the task as died.
  try {
    if (job.worker_started) job.worker_started();
    std::uint32_t idx = 0;
    while (read_all(in, &idx, sizeof idx)) {
      std::string report = job.run(idx);
      std::fflush(stdout);
      std::fflush(stderr);
      if (report.size() > kMaxReport) ::_exit(71);
      const auto len = static_cast<std::uint32_t>(report.size());
      std::string framed(sizeof idx + sizeof len, '\0');
      std::memcpy(framed.data(), &idx, sizeof idx);
      std::memcpy(framed.data() + sizeof idx, &len, sizeof len);
      framed += report;
      if (!write_all(out, framed.data(), framed.size())) break;
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
// wakes the parent's poll through a pipe. It may run on any thread of the
// process (an interpreter's, a math library's), hence an atomic.
std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
int g_wake[2] = {-1, -1};

void on_stop_signal(int sig) {
  if (g_stop_signal.load() != 0) {
    ::signal(sig, SIG_DFL);
    ::raise(sig);
    return;
  }
  g_stop_signal.store(sig);
  const int saved = errno;
  [[maybe_unused]] auto n = ::write(g_wake[1], "x", 1);
  errno = saved;
}

// The dispositions a run needs, set for its lifetime and put back after.
class RunSignals {
 public:
  RunSignals() {
    g_stop_signal.store(0);
    if (::pipe(g_wake) != 0) throw_os_error(errno, "cannot create a pipe for", "signals");
    struct sigaction sa{};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = SIG_DFL;
    ::sigaction(SIGCHLD, &sa, &saved_chld_);
    sa.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &sa, &saved_pipe_);
    sa.sa_handler = on_stop_signal;
    for (int k = 0; k < 2; ++k) {
      ::sigaction(kStop[k], nullptr, &saved_stop_[k]);
      ignored_[k] = saved_stop_[k].sa_handler == SIG_IGN;
      if (!ignored_[k]) ::sigaction(kStop[k], &sa, nullptr);
    }
  }
  ~RunSignals() {
    for (int k = 0; k < 2; ++k) ::sigaction(kStop[k], &saved_stop_[k], nullptr);
    ::sigaction(SIGPIPE, &saved_pipe_, nullptr);
    ::sigaction(SIGCHLD, &saved_chld_, nullptr);
    close_fd(g_wake[0]);
    close_fd(g_wake[1]);
  }
  RunSignals(const RunSignals&) = delete;
  RunSignals& operator=(const RunSignals&) = delete;
  int wake_fd() const { return g_wake[0]; }

  // Whether a worker that `wait_status` says was killed by SIGINT or
  // SIGTERM went with a stop of the whole run (a Ctrl-C reaches the whole
  // process group) rather than by a kill of its own. The parent's handler
  // may run on another thread a moment after the worker's pipe closed, so
  // it is given a little time to say so.
  bool stopped_with(int wait_status) const {
    if (wait_status == -1 || !WIFSIGNALED(wait_status)) return false;
    const int sig = WTERMSIG(wait_status);
    for (int k = 0; k < 2; ++k)
      if (sig == kStop[k] && !ignored_[k]) {
        pollfd wake{g_wake[0], POLLIN, 0};
        for (int waited = 0; g_stop_signal.load() == 0 && waited < kStopGraceMs; waited += 10) ::poll(&wake, 1, 10);
        return g_stop_signal.load() != 0;
      }
    return false;
  }

  // In a worker: a stop signal ends it at once (the file it was writing is
  // rolled back by its next opener), unless the caller ignores it.
  void in_worker() const {
    close_fd(g_wake[0]);
    close_fd(g_wake[1]);
    for (int k = 0; k < 2; ++k) ::signal(kStop[k], ignored_[k] ? SIG_IGN : SIG_DFL);
  }

 private:
  static constexpr int kStop[2] = {SIGINT, SIGTERM};
  static constexpr int kStopGraceMs = 1000;
  struct sigaction saved_chld_{}, saved_pipe_{}, saved_stop_[2]{};
  bool ignored_[2] = {false, false};
};

struct Worker {
  pid_t pid = -1;
  int to_worker = -1;    // parent writes task numbers
  int from_worker = -1;  // worker writes reports
  long in_flight = -1;   // task the worker is running, -1 when idle
};

// Waits for a worker to end; its wait status, -1 when it cannot be read.
int reap(Worker& w) {
  close_fd(w.to_worker);
  close_fd(w.from_worker);
  int status = -1;
  if (w.pid > 0) {
    pid_t r;
    while ((r = ::waitpid(w.pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (r != w.pid) status = -1;
  }
  w = Worker{};
  return status;
}

// The workers of one run: spawn, hand out, reap. Whatever ends its scope
// (a failed fork, poll or pipe), no worker is left behind: closing a
// worker's task pipe ends its loop, then it is reaped.
class WorkerSet {
 public:
  WorkerSet(const ProcessJob& job, const RunSignals& signals, std::size_t n) : job_(job), signals_(signals), workers_(n) {
    for (std::size_t i = 0; i < job.tasks; ++i) queue_.push_back(i);
  }
  ~WorkerSet() {
    for (auto& w : workers_) reap(w);
  }
  WorkerSet(const WorkerSet&) = delete;
  WorkerSet& operator=(const WorkerSet&) = delete;

  std::vector<Worker>& workers() { return workers_; }
  bool more_tasks() const { return !stopped_ && (!queue_.empty() || !again_.empty()); }
  void stop() { stopped_ = true; }
  void again(std::size_t i) { again_.push_back(i); }

  void spawn(Worker& w) {
    int a[2], b[2];
    if (::pipe(a) != 0) throw_os_error(errno, "cannot create a pipe for", "worker");
    if (::pipe(b) != 0) {
      const int e = errno;
      ::close(a[0]), ::close(a[1]);
      throw_os_error(e, "cannot create a pipe for", "worker");
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = ::getpid();
    const pid_t pid = job_.fork ? job_.fork() : ::fork();
    if (pid < 0) {
      const int e = errno;
      ::close(a[0]), ::close(a[1]), ::close(b[0]), ::close(b[1]);
      throw_os_error(e, "cannot fork", "worker");
    }
    if (pid == 0) {
      // A worker never outlives the parent.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(1);
      signals_.in_worker();
      ::close(a[1]);
      ::close(b[0]);
      for (auto& other : workers_) close_fd(other.to_worker), close_fd(other.from_worker);
      worker_main(a[0], b[1], job_);
    }
    ::close(a[0]);
    ::close(b[1]);
    w = Worker{pid, a[1], b[0], -1};
    fresh_ = &w;
  }

  // Gives the worker its next task (a task to run again goes only to a
  // worker just forked), or closes its task pipe when none is left so that
  // it leaves its loop. A worker that is gone is noticed when its report
  // pipe closes.
  void hand_out(Worker& w) {
    const bool fresh = fresh_ == &w;
    fresh_ = nullptr;
    std::deque<std::size_t>* from = fresh && !again_.empty() ? &again_ : &queue_;
    if (!stopped_ && !from->empty()) {
      const auto idx = static_cast<std::uint32_t>(from->front());
      from->pop_front();
      w.in_flight = static_cast<long>(idx);
      write_all(w.to_worker, &idx, sizeof idx);
      return;
    }
    w.in_flight = -1;
    close_fd(w.to_worker);
  }

  void signal_all(int sig) {
    for (auto& w : workers_)
      if (w.pid > 0) ::kill(w.pid, sig);
  }

 private:
  const ProcessJob& job_;
  const RunSignals& signals_;
  std::vector<Worker> workers_;
  std::deque<std::size_t> queue_, again_;
  Worker* fresh_ = nullptr;
  bool stopped_ = false;
};

bool read_report(int fd, std::uint32_t& idx, std::string& report) {
  std::uint32_t len = 0;
  if (!read_all(fd, &idx, sizeof idx) || !read_all(fd, &len, sizeof len) || len > kMaxReport) return false;
  report.resize(len);
  return read_all(fd, report.data(), len);
}

}  // namespace

void run_process_pool(const ProcessJob& job) {
  if (job.tasks == 0) return;
  if (job.workers < 1) fail(ErrorKind::invalid_input, "", fmt::format("a pool needs at least 1 worker, got {}", job.workers));
  RunSignals signals;
  WorkerSet set(job, signals, std::min<std::size_t>(static_cast<std::size_t>(job.workers), job.tasks));
  for (auto& w : set.workers()) {
    set.spawn(w);
    set.hand_out(w);
  }
  for (;;) {
    if (g_stop_signal.load() != 0) break;
    std::vector<pollfd> fds{{signals.wake_fd(), POLLIN, 0}};
    std::vector<Worker*> owners{nullptr};
    for (auto& w : set.workers())
      if (w.from_worker >= 0) {
        fds.push_back({w.from_worker, POLLIN, 0});
        owners.push_back(&w);
      }
    if (fds.size() == 1) break;  // every worker has ended
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw_os_error(errno, "cannot wait for", "workers");
    }
    for (std::size_t i = 1; i < fds.size() && g_stop_signal.load() == 0; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Worker& w = *owners[i];
      std::uint32_t idx = 0;
      std::string report;
      if (w.in_flight >= 0 && read_report(w.from_worker, idx, report) && idx == static_cast<std::uint32_t>(w.in_flight)) {
        if (!job.finished(idx, std::move(report))) set.stop();
        set.hand_out(w);
        continue;
      }
      // End of the pipe: the worker left its loop, exited or was killed.
      const long lost = w.in_flight;
      const int status = reap(w);
      if (lost >= 0 && signals.stopped_with(status)) break;
      if (lost >= 0 && job.died(static_cast<std::size_t>(lost), status)) set.again(static_cast<std::size_t>(lost));
      if (set.more_tasks()) {
        set.spawn(w);
        set.hand_out(w);
      }
    }
  }
  if (const int sig = g_stop_signal.load()) {
    // Nothing more is handed out; the workers get the signal and are all
    // waited for before the run reports it.
    set.signal_all(sig);
    for (auto& w : set.workers()) reap(w);
    throw Error(ErrorKind::interrupted, "", fmt::format("interrupted by signal {}", sig), sig);
  }
}

std::string describe_wait_status(int wait_status) {
  if (wait_status == -1) return "ended (its status could not be read)";
  if (WIFSIGNALED(wait_status))
    return fmt::format("killed by signal {} ({})", WTERMSIG(wait_status), ::strsignal(WTERMSIG(wait_status)));
  return fmt::format("exit status {}", WEXITSTATUS(wait_status));
}

}  // namespace util
