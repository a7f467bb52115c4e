// Sessions (one owner's open of one file) and the operations that replace
// or delete a file together with its journal.
#include "h5/journal.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "h5/journal_internal.hpp"

namespace h5::journal {

using detail::Failure;

hid_t driver_id() { return detail::driver_id_impl(); }

namespace {

Outcome failed(int err, std::string message) { return Outcome::failure(err, std::move(message)); }

// Whether `fd` is still the file at `path`: a file replaced or deleted
// between our open and our lock is not the one to act on.
bool still_there(int fd, const std::string& path) {
  struct stat a{}, b{};
  return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens and locks exclusively the file at `path` as it is now; none with
// `err` (ENOENT: no file; EAGAIN: held by another process).
util::Fd lock_file(const std::string& path, int& err) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    util::Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
      err = errno;
      return fd;
    }
    if (const int e = detail::take_lock(fd.get(), true)) {
      err = e;
      return util::Fd();
    }
    if (still_there(fd.get(), path)) return fd;
  }
  err = EAGAIN;
  return util::Fd();
}

Outcome held(const std::string& path) {
  return failed(EAGAIN, fmt::format("'{}' is held by another process; left alone", path));
}

void remove_journal_of(const std::string& path) {
  std::string notice;
  if (const Failure f = detail::remove_control(journal_path(path), notice)) notice = f.what;
  if (!notice.empty()) detail::notify(notice);
}

}  // namespace

std::string journal_path(const std::string& file) {
  const auto slash = file.rfind('/');
  if (slash == std::string::npos) return "." + file + ".journal";
  return file.substr(0, slash + 1) + "." + file.substr(slash + 1) + ".journal";
}

Outcome remove_file(const std::string& path) {
  int err = 0;
  const util::Fd locked = lock_file(path, err);
  if (!locked.valid()) return err == EAGAIN ? held(path) : failed(err, fmt::format("cannot delete '{}'", path));
  Outcome o;
  remove_journal_of(path);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) o = failed(errno, fmt::format("cannot delete '{}'", path));
  return o;
}

Outcome install_file(const std::string& temp, const std::string& path) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    int err = 0;
    const util::Fd locked = lock_file(path, err);
    if (!locked.valid() && err == ENOENT) {
      // Nothing to replace: the name is taken only if it is still free (a
      // second writer may have put its own file there meanwhile).
      if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
        remove_journal_of(path);
        return {};
      }
      if (errno == EEXIST) continue;
      return failed(errno, fmt::format("cannot put '{}' in place", path));
    }
    if (!locked.valid()) return err == EAGAIN ? held(path) : failed(err, fmt::format("cannot replace '{}'", path));
    Outcome o;
    if (::rename(temp.c_str(), path.c_str()) != 0) o = failed(errno, fmt::format("cannot replace '{}'", path));
    else remove_journal_of(path);
    return o;
  }
  return held(path);
}

bool remove_if_unheld(const std::string& path) {
  // Without working locks a writer at work cannot be told from a dead one:
  // its file stays (a hidden name no listing picks up).
  if (!detail::locks_taken()) return false;
  int err = 0;
  std::string odd;
  const util::Fd fd = detail::open_control(path, O_RDONLY, err, odd);
  if (!fd.valid()) return false;
  return ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && still_there(fd.get(), path) && ::unlink(path.c_str()) == 0;
}

// ---- Session ----

Session::Session() = default;

Session::~Session() {
  if (state_ && state_->phase != Phase::finished) detail::finish_state(*state_, !state_->update);
}

bool Session::attach(hid_t fapl) {
  const detail::DriverConfig cfg{this};
  return driver_id() >= 0 && H5Pset_driver(fapl, driver_id(), &cfg) >= 0;
}

bool Session::opened() const noexcept { return state_ != nullptr; }
bool Session::is_update() const noexcept { return state_ && state_->update; }

std::optional<WriteFailure> write_failure(const State& s) {
  if (!s.failed) return std::nullopt;
  return WriteFailure{.os_errno = s.failed_errno, .message = s.failed_what};
}

void Session::discard() noexcept {
  if (state_ && state_->update) detail::detach(*state_, Failure{});
}

Outcome Session::finish(bool commit, bool keep_lock) noexcept {
  if (!state_) return {};
  try {
    return detail::finish_state(*state_, commit, keep_lock);
  } catch (...) {  // formatting may throw bad_alloc; the descriptors are closed by ~State
    return Outcome::failure(ENOMEM, "out of memory while finishing an update");
  }
}

void set_durable(bool on) noexcept { detail::g_durable = on; }

namespace detail {
extern std::size_t g_max_pending;
}

namespace testing {
void hold_at_most(std::size_t bytes) noexcept { detail::g_max_pending = bytes; }
}  // namespace testing

}  // namespace h5::journal
