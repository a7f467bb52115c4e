#include "tessal_plus/bundle/sample/transfer.hpp"
#include "tessal_plus/bundle/sample/sample.hpp"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include <fmt/format.h>

#include "tessal_plus/bundle/constants.hpp"
#include "util/fd.hpp"

namespace tessal_plus::bundle::sample {
namespace fs = std::filesystem;
using util::Error;
using util::ErrorKind;

std::uint64_t env_number(const char* name, std::uint64_t fallback, std::uint64_t min, std::uint64_t max) {
  const char* raw = std::getenv(name);
  if (!raw || !*raw) return fallback;
  const std::string text(raw);
  std::uint64_t n = 0;
  bool ok = text.size() <= 19 && text.find_first_not_of("0123456789") == std::string::npos;
  if (ok) {
    for (char c : text) n = n * 10 + static_cast<std::uint64_t>(c - '0');
    ok = n >= min && n <= max;
  }
  if (!ok)
    throw Error(ErrorKind::invalid_input, name,
                fmt::format("{}='{}' is not a whole number from {} to {}", name, text, min, max));
  return n;
}

TransferLimits TransferLimits::from_environment() {
  TransferLimits l;
  l.connect_timeout_s = static_cast<long>(env_number("TESSAL_CONNECT_TIMEOUT", 30, 1, 86400));
  l.low_speed_time_s = static_cast<long>(env_number("TESSAL_LOW_SPEED_TIME", 60, 1, 86400));
  return l;
}

// ---- interrupts -----------------------------------------------------------

namespace {
volatile std::sig_atomic_t g_signal = 0;
extern "C" void note_signal(int sig) { g_signal = sig; }

// The guard of the download running on this thread, for check(): set only
// while the guard lives, so nothing stays behind between downloads.
thread_local InterruptGuard* g_active = nullptr;
// The embedding program's check costs a lock of its own (Python's GIL): it
// runs at most this often.
constexpr auto kHostedCheckInterval = std::chrono::milliseconds(100);
}  // namespace

Interrupted::Interrupted(int sig)
    : util::Error(ErrorKind::os, "", fmt::format("interrupted by signal {}", sig), EINTR), sig_(sig) {}

InterruptGuard::InterruptGuard(std::function<void()> hosted) : hosted_(std::move(hosted)), outer_(g_active) {
  g_signal = 0;
  g_active = this;
  if (hosted_) return;  // the embedding program's own handlers stay
  struct sigaction sa {};
  sa.sa_handler = &note_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocking wait returns and the flag is seen
  if (::sigaction(SIGINT, &sa, &old_int_) != 0 || ::sigaction(SIGTERM, &sa, &old_term_) != 0)
    util::throw_os_error(errno, "cannot install the interrupt handler for", "SIGINT/SIGTERM");
  active_ = true;
}

InterruptGuard::~InterruptGuard() {
  restore();
  g_active = outer_;
}

void InterruptGuard::restore() {
  if (!active_) return;
  ::sigaction(SIGINT, &old_int_, nullptr);
  ::sigaction(SIGTERM, &old_term_, nullptr);
  active_ = false;
}

void InterruptGuard::check() {
  if (g_active && g_active->hosted_) {
    static thread_local std::chrono::steady_clock::time_point last;
    const auto now = std::chrono::steady_clock::now();
    if (now - last >= kHostedCheckInterval) {
      last = now;
      g_active->hosted_();
    }
  }
  if (const int sig = g_signal) throw Interrupted(sig);
}

void InterruptGuard::reraise(int sig) {
  restore();
  g_signal = 0;
  std::raise(sig);
}

// ---- the temporary archive -----------------------------------------------

TempArchive::TempArchive() : path_((fs::temp_directory_path() / layout::TEMP_ARCHIVE).string()) {
  // A file left by an earlier run (or planted, as a link) is removed, then
  // the name is created exclusively, so nothing is written through a link.
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) util::throw_os_error(errno, "cannot remove", path_);
  util::Fd fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) util::throw_os_error(errno, "cannot create", path_);
  file_.reset(::fdopen(fd.get(), "wb"));
  if (!file_) {
    const int e = errno;
    fd.reset();
    ::unlink(path_.c_str());
    util::throw_os_error(e, "cannot open", path_);
  }
  fd.release();  // the stream owns it now
}

TempArchive::~TempArchive() {
  file_.reset();
  ::unlink(path_.c_str());
}

std::uint64_t TempArchive::free_bytes() const {
  struct statvfs st {};
  const std::string folder = fs::path(path_).parent_path().string();
  if (::statvfs(folder.c_str(), &st) != 0) util::throw_os_error(errno, "cannot measure the free space of", folder);
  return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

void TempArchive::close() {
  std::FILE* f = file_.release();
  if (f && std::fclose(f) != 0) util::throw_os_error(errno, "cannot write", path_);
}

std::int64_t parse_length(const std::optional<std::string>& v, const std::string& url) {
  if (!v) throw Error(ErrorKind::network, url, fmt::format("the response of {} has no content-length header", url));
  const std::string& t = *v;
  std::uint64_t n = 0;
  bool ok = !t.empty() && t.size() <= 19 && t.find_first_not_of("0123456789") == std::string::npos;
  for (std::size_t i = 0; ok && i < t.size(); ++i) n = n * 10 + static_cast<std::uint64_t>(t[i] - '0');
  if (ok && n <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(n);
  throw Error(ErrorKind::network, url, fmt::format("the content-length '{}' of {} is not an integer", t, url));
}

}  // namespace tessal_plus::bundle::sample

namespace tessal_plus::bundle {
}  // namespace tessal_plus::bundle
