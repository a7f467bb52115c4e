#pragma once
// The sample download's transfer: limits read from the environment, an
// interrupt guard, the temporary archive, and a GET whose body is pulled
// piece by piece through curl's multi interface.
#include <curl/curl.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "util/error.hpp"

namespace tessal_plus::bundle::sample {

// A whole number of seconds or bytes from the environment variable `name`,
// or `fallback` when it is unset or empty. Anything but digits, or a value
// outside [min, max], throws util::Error (invalid_input) naming the variable.
std::uint64_t env_number(const char* name, std::uint64_t fallback, std::uint64_t min, std::uint64_t max);

struct TransferLimits {
  long connect_timeout_s = 30;         // TESSAL_CONNECT_TIMEOUT
  long low_speed_time_s = 60;          // TESSAL_LOW_SPEED_TIME: this long below low_speed_bytes_per_s ends it
  long low_speed_bytes_per_s = 1024;
  std::size_t max_header_bytes = 64 * 1024;
  static TransferLimits from_environment();
};

// Thrown when SIGINT or SIGTERM arrived during a guarded stretch.
class Interrupted : public util::Error {
 public:
  explicit Interrupted(int sig);
  int signal() const noexcept { return sig_; }

 private:
  int sig_;
};

// While alive, SIGINT and SIGTERM only set a flag, which the transfer and
// the unpacker poll (check()) between pieces of work; the Interrupted they
// throw unwinds through the owners of the temporary archive and the staging
// folder, which remove them. The caller then restores the handlers and
// raises the signal again (reraise()), so the process ends as the signal
// asked, with status 128+signal. Given a `hosted` check (a program that
// handles its signals itself), no handler is installed: check() runs that
// check instead, and what it throws unwinds the same way.
class InterruptGuard {
 public:
  explicit InterruptGuard(std::function<void()> hosted = {});
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
  static void check();
  // Restores the previous handlers and raises `sig`; returns only when a
  // previous handler let the process live on.
  void reraise(int sig);

 private:
  void restore();
  struct sigaction old_int_ {}, old_term_ {};
  bool active_ = false;
  std::function<void()> hosted_;
  InterruptGuard* outer_;
};

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The downloaded archive at $TMPDIR/tessal_plus.bundle (or /tmp): created
// afresh (never through a link someone left at that name), and removed when
// the owner goes, whatever happened.
class TempArchive {
 public:
  TempArchive();
  ~TempArchive();
  TempArchive(const TempArchive&) = delete;
  TempArchive& operator=(const TempArchive&) = delete;
  const std::string& path() const noexcept { return path_; }
  std::FILE* file() const noexcept { return file_.get(); }
  // Free bytes of the file system holding the archive.
  std::uint64_t free_bytes() const;
  // Flushes and closes the file; throws when the data did not reach the disk.
  void close();

 private:
  std::string path_;
  FilePtr file_;
};

struct EasyCleanup {
  void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
struct MultiCleanup {
  void operator()(CURLM* m) const noexcept { curl_multi_cleanup(m); }
};

class Transfer {
 public:
  Transfer(const std::string& url, const std::string& proxy, const TransferLimits& limits);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Runs until the final response's headers are in (or the transfer ended).
  void wait_for_headers();
  long status() const { return status_; }
  const std::optional<std::string>& content_length() const { return content_length_; }
  // From now on the body may not grow past `n` bytes.
  void expect_length(std::int64_t n) { expected_ = n; }
  // The next piece of the body; 0 at its end. Throws for a failed transfer.
  std::size_t read(char* buf, std::size_t cap);

 private:
  bool pump();
  void finish_or_throw();
  void take_header_line(std::string line);
  static std::size_t on_header(char* data, std::size_t size, std::size_t n, void* self);
  static std::size_t on_body(char* data, std::size_t size, std::size_t n, void* self);

  std::string url_;
  TransferLimits limits_;
  std::unique_ptr<CURL, EasyCleanup> easy_;
  std::unique_ptr<CURLM, MultiCleanup> multi_;
  bool attached_ = false;
  char error_[CURL_ERROR_SIZE] = {0};
  long status_ = 0;
  std::optional<std::string> content_length_;
  std::size_t header_bytes_ = 0;
  bool headers_too_large_ = false;
  std::optional<std::int64_t> expected_;
  std::int64_t received_ = 0;
  bool body_too_long_ = false;
  bool headers_done_ = false;
  bool ended_ = false;
  CURLcode result_ = CURLE_OK;
  std::deque<char> pending_;
};

// The announced Content-Length as a number (util::Error network when it is
// missing or not a whole number).
std::int64_t parse_length(const std::optional<std::string>& v, const std::string& url);

}  // namespace tessal_plus::bundle::sample
