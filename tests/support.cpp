#include "support.hpp"

#include "h5/h5.hpp"

namespace testing_support {

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
