#include "support.hpp"

#include "h5/h5.hpp"

#include <sys/wait.h>

#include <algorithm>

#include "h5/journal.hpp"

namespace testing_support {

tessal::NativeHost& host() {
  static tessal::NativeHost h;
  return h;
}

quillonc::Client*& current_client() {
  static FakeService idle;
  static quillonc::Client* c = &idle;
  return c;
}

int in_child(const std::function<int()>& body) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 3;
    try {
      code = body();
    } catch (...) {
      code = 4;
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return WEXITSTATUS(status);
}

void crash_at_last_write(const std::string& path, const std::function<void()>& update) {
  const std::string before = read_file(path);
  const int writes = in_child([&] {
    h5::journal::testing::count_writes();
    update();
    return static_cast<int>(std::min<long>(h5::journal::testing::writes_seen(), 250));
  });
  write_file(path, before);
  if (writes <= 0 || writes >= 250) throw std::runtime_error("cannot count the writes of the update of " + path);
  const int status = in_child([&] {
    h5::journal::testing::crash_at_nth_write(writes);
    update();
    return 0;
  });
  if (status != 77) throw std::runtime_error("the update of " + path + " was not killed at its last write");
}

HeldOpen::HeldOpen(const std::string& path) {
  int ready[2], release[2];
  if (::pipe(ready) != 0 || ::pipe(release) != 0) throw std::runtime_error("pipe");
  std::fflush(stdout);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(ready[0]);
    ::close(release[1]);
    char c = 0;
    try {
      h5::File f = h5::File::open(path, h5::Mode::read_write);
      c = 1;
      [[maybe_unused]] auto w = ::write(ready[1], &c, 1);
      [[maybe_unused]] auto r = ::read(release[0], &c, 1);
    } catch (...) {
      [[maybe_unused]] auto w = ::write(ready[1], &c, 1);
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  release_ = release[1];
  char c = 0;
  [[maybe_unused]] auto r = ::read(ready[0], &c, 1);
  ::close(ready[0]);
  if (c != 1) throw std::runtime_error("the helper process could not open " + path);
}

HeldOpen::~HeldOpen() {
  ::close(release_);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

}  // namespace testing_support
