// The host's process pool: forked workers fed task numbers through pipes.
// Tasks are closures known before the workers fork, so a worker needs only
// the number of its next task; a replacement worker forked after a death
// sees the same list.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>

#include "util/progress.hpp"
#include "tessal_plus/bundle/outside/host.hpp"

namespace tessal::data::bundle {
namespace {

struct Worker {
  pid_t pid = -1;
  int to_worker = -1;    // parent writes task numbers
  int from_worker = -1;  // worker writes the number of each finished task
  long in_flight = -1;   // task the worker is running, -1 when idle
};

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

void fail_task(SharedFlag* flag, const std::string& label, const std::string& why) {
  system_log::error(fmt::format("更新 {} 失败：{}", label, why));
  if (flag) flag->value.store(false);
}

[[noreturn]] void worker_main(int in, int out, ProgressedProcessPoolExecutor::Initializer init, SharedFlag* flag,
                              const std::vector<std::pair<std::string, std::function<void()>>>& tasks) {
  if (init) init(flag);
  std::uint32_t idx = 0;
  while (read_all(in, &idx, sizeof idx)) {
    const auto& [label, task] = tasks.at(idx);
    try {
      task();
    } catch (const std::exception& e) {
      fail_task(flag, label, e.what());
    } catch (...) {
      fail_task(flag, label, "unknown error");
    }
    std::fflush(stdout);
    std::fflush(stderr);
    if (!write_all(out, &idx, sizeof idx)) break;
  }
  std::fflush(stdout);
  ::_exit(0);
}

}  // namespace

ProgressedProcessPoolExecutor::ProgressedProcessPoolExecutor(int max_workers, Initializer initializer, SharedFlag* initarg)
    : max_workers_(max_workers), initializer_(initializer), initarg_(initarg) {
  if (max_workers < 1) throw std::invalid_argument(fmt::format("max_workers must be at least 1, got {}", max_workers));
}

ProgressedProcessPoolExecutor::~ProgressedProcessPoolExecutor() {
  try {
    shutdown();
  } catch (...) {
    // A destructor must not throw; shutdown() already logged what failed.
  }
}

void ProgressedProcessPoolExecutor::submit(std::string label, std::function<void()> task) {
  if (done_) throw std::logic_error("submit on a pool that was shut down");
  tasks_.emplace_back(std::move(label), std::move(task));
}

void ProgressedProcessPoolExecutor::shutdown() {
  if (done_) return;
  done_ = true;
  if (tasks_.empty()) return;

  // A worker that dies leaves a pipe whose write end would raise SIGPIPE.
  struct sigaction ignore{}, saved{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &saved);
  struct RestoreSigpipe {
    struct sigaction* s;
    ~RestoreSigpipe() { ::sigaction(SIGPIPE, s, nullptr); }
  } restore{&saved};

  const std::size_t n_tasks = tasks_.size();
  const std::size_t n_workers = std::min<std::size_t>(static_cast<std::size_t>(max_workers_), n_tasks);
  std::vector<Worker> workers(n_workers);
  std::size_t next = 0, finished = 0;
  util::ProgressBar bar(static_cast<std::int64_t>(n_tasks));

  auto spawn = [&](Worker& w) {
    int a[2], b[2];
    if (::pipe(a) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    if (::pipe(b) != 0) {
      ::close(a[0]), ::close(a[1]);
      throw std::system_error(errno, std::generic_category(), "pipe");
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) {
      const int e = errno;
      ::close(a[0]), ::close(a[1]), ::close(b[0]), ::close(b[1]);
      throw std::system_error(e, std::generic_category(), "fork");
    }
    if (pid == 0) {
      ::close(a[1]);
      ::close(b[0]);
      for (const auto& other : workers) {
        if (other.to_worker >= 0) ::close(other.to_worker);
        if (other.from_worker >= 0) ::close(other.from_worker);
      }
      worker_main(a[0], b[1], initializer_, initarg_, tasks_);
    }
    ::close(a[0]);
    ::close(b[1]);
    w = Worker{pid, a[1], b[0], -1};
  };
  auto hand_out = [&](Worker& w) {
    if (next < n_tasks) {
      const auto idx = static_cast<std::uint32_t>(next);
      w.in_flight = static_cast<long>(next++);
      if (write_all(w.to_worker, &idx, sizeof idx)) return;
      // The worker is gone; its death is noticed when its pipe closes.
      return;
    }
    w.in_flight = -1;
    ::close(w.to_worker);  // no more work: the worker leaves its loop
    w.to_worker = -1;
  };
  auto reap = [&](Worker& w) -> int {
    int status = 0;
    while (::waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (w.to_worker >= 0) ::close(w.to_worker);
    ::close(w.from_worker);
    w = Worker{};
    return status;
  };

  // Whatever ends this scope (a failed fork, poll or pipe), no worker is
  // left behind: closing its task pipe ends its loop, then it is reaped.
  struct ReapAll {
    std::vector<Worker>& workers;
    ~ReapAll() {
      for (auto& w : workers) {
        if (w.to_worker >= 0) ::close(w.to_worker);
        if (w.from_worker >= 0) ::close(w.from_worker);
        if (w.pid > 0)
          while (::waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {
          }
        w = Worker{};
      }
    }
  } reap_all{workers};

  for (auto& w : workers) {
    spawn(w);
    hand_out(w);
  }

  while (finished < n_tasks) {
    std::vector<pollfd> fds;
    std::vector<Worker*> owners;
    for (auto& w : workers)
      if (w.from_worker >= 0) {
        fds.push_back({w.from_worker, POLLIN, 0});
        owners.push_back(&w);
      }
    if (fds.empty()) break;  // cannot happen while tasks remain; guards a hang
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Worker& w = *owners[i];
      std::uint32_t idx = 0;
      if (read_all(w.from_worker, &idx, sizeof idx)) {
        ++finished;
        bar.advance();
        hand_out(w);
        continue;
      }
      // End of file: the worker exited or was killed.
      const long lost = w.in_flight;
      const int status = reap(w);
      if (lost >= 0) {
        ++finished;
        bar.advance();
        const std::string why = WIFSIGNALED(status) ? fmt::format("工作进程被信号 {} 终止", WTERMSIG(status))
                                                    : fmt::format("工作进程异常退出（状态 {}）", WEXITSTATUS(status));
        fail_task(initarg_, tasks_[static_cast<std::size_t>(lost)].first, why);
      }
      if (next < n_tasks) {
        spawn(w);
        hand_out(w);
      }
    }
  }
  bar.finish();
}

}  // namespace tessal::data::bundle
