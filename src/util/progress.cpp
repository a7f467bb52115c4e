#include "util/progress.hpp"

#include <unistd.h>

#include <cstdio>
#include <string>

#include <fmt/format.h>

namespace util {

ProgressBar::ProgressBar(std::int64_t total, bool bytes)
    : total_(total), bytes_(bytes), enabled_(::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()), last_draw_(start_) {
  draw(true);
}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::advance(std::int64_t n) {
  done_ += n;
  draw(done_ >= total_);
}

void ProgressBar::finish() {
  if (finished_) return;
  finished_ = true;
  if (!enabled_) return;
  draw(true);
  std::fputs("\n", stderr);
  std::fflush(stderr);
}

static std::string human_bytes(double v) {
  const char* units[] = {"B", "KB", "MB", "GB", "TB"};
  int u = 0;
  while (v >= 1024 && u < 4) v /= 1024, ++u;
  return fmt::format("{:.1f}{}", v, units[u]);
}

void ProgressBar::draw(bool force) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  const double secs = std::chrono::duration<double>(now - start_).count();
  const double frac = total_ > 0 ? std::min(1.0, static_cast<double>(done_) / static_cast<double>(total_)) : 1.0;
  constexpr int width = 30;
  const int filled = static_cast<int>(frac * width);
  const std::string bar = std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(width - filled), '-');
  const double rate = secs > 0 ? static_cast<double>(done_) / secs : 0.0;
  std::string counts = bytes_ ? fmt::format("{}/{} {}/s", human_bytes(static_cast<double>(done_)),
                                            human_bytes(static_cast<double>(total_)), human_bytes(rate))
                              : fmt::format("{}/{} {:.1f} it/s", done_, total_, rate);
  std::fprintf(stderr, "\r%3d%%|%s| %s ", static_cast<int>(frac * 100), bar.c_str(), counts.c_str());
  std::fflush(stderr);
}

}  // namespace util
