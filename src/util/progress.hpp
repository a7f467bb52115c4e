#pragma once
// A console progress bar on standard error, one step per finished item (or
// bytes, with a transfer rate). It stays silent when standard error is not a
// terminal, so logs and pipes carry only the messages.
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace util {

class ProgressBar {
 public:
  explicit ProgressBar(std::int64_t total, bool bytes = false);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  void advance(std::int64_t n = 1);
  void finish();

 private:
  void draw(bool force);
  std::int64_t total_;
  std::int64_t done_ = 0;
  bool bytes_;
  bool enabled_;
  bool finished_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace util
