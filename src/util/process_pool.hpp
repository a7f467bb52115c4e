#pragma once
// The one pool of forked worker processes every parallel job runs on (the
// updates' writers, the checks' readers): numbered tasks handed out as
// workers free up, each task's report sent back on a pipe, a worker's death
// seen as the end of its pipe and told to the caller with the wait status.
//
// It works whatever the calling process did with its signals: for its
// lifetime SIGCHLD is set to its default (a parent that ignores SIGCHLD has
// its children reaped by the kernel, and waitpid could no longer tell how a
// worker ended), SIGPIPE is ignored (a dead worker's pipe fails a write with
// EPIPE), and SIGINT and SIGTERM stop the run; every disposition is put back
// when it ends. A signal the caller ignores (SIGINT in a background job) is
// ignored by the workers too. Liveness is read from pipes, never from
// SIGCHLD, so no loop waits for a child it cannot see.
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace util {

struct ProcessJob {
  std::size_t tasks = 0;
  int workers = 1;
  // How a worker is forked; ::fork() when empty. A program that embeds an
  // interpreter passes its own (the interpreter's fork hooks must run).
  std::function<pid_t()> fork{};
  // In each worker, once, before its first task.
  std::function<void()> worker_started{};
  // In a worker: runs task `i` and returns its report. What it throws ends
  // the worker (exit status 70), which the parent sees as a death.
  std::function<std::string(std::size_t i)> run;
  // In the parent: task `i` reported `report`. False stops the hand-out:
  // the tasks in flight are waited for, the rest are never run.
  std::function<bool(std::size_t i, std::string report)> finished;
  // In the parent: the worker running task `i` ended before reporting it;
  // `wait_status` as waitpid gives it (-1 when it could not be read). True
  // runs the task again, first thing in a freshly forked worker.
  std::function<bool(std::size_t i, int wait_status)> died;
};

// Runs the job's tasks in min(workers, tasks) processes and returns once
// every worker has ended. Throws util::Error (interrupted, the signal as
// os_errno) after SIGINT or SIGTERM, with every worker signalled and waited
// for; util::Error (os) when a pipe or a fork fails.
void run_process_pool(const ProcessJob& job);

// How a worker ended, for a log line: "killed by signal 9 (Killed)", "exit
// status 3".
std::string describe_wait_status(int wait_status);

}  // namespace util
