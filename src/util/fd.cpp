#include "util/fd.hpp"

#include <unistd.h>

#include <cerrno>

namespace util {

void Fd::reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) {
    const int saved = errno;
    ::close(fd_);
    errno = saved;
  }
  fd_ = fd;
}

int Fd::close() noexcept {
  if (fd_ < 0) return 0;
  // Linux releases the descriptor even when close fails: it is never
  // closed a second time (another thread may have been given the number).
  const int r = ::close(release());
  return r == 0 ? 0 : errno;
}

}  // namespace util
