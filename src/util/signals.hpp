#pragma once
// Ignores one signal for the lifetime of a scope and puts the previous
// disposition back: for a write that must fail with an error (SIGPIPE on a
// dead worker's pipe, SIGXFSZ past a file-size limit) instead of killing the
// process, without changing the process's settings beyond the call.
#include <signal.h>

namespace util {

class IgnoreSignal {
 public:
  explicit IgnoreSignal(int sig) : sig_(sig) {
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(sig_, &ignore, &saved_);
  }
  ~IgnoreSignal() { ::sigaction(sig_, &saved_, nullptr); }
  IgnoreSignal(const IgnoreSignal&) = delete;
  IgnoreSignal& operator=(const IgnoreSignal&) = delete;

 private:
  int sig_;
  struct sigaction saved_{};
};

}  // namespace util
