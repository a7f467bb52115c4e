// The host's clock and date conversions.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "tessal/native_host.hpp"
#include "util/error.hpp"

namespace tessal {

using util::kMicrosPerSecond;
using util::make_timestamp;
using util::timestamp_date;
using util::timestamp_time_of_day;

namespace {
// TESSAL_NOW pins the clock for scripted runs; a value that is not a full
// date and time of this millennium is refused rather than half-used.
Timestamp pinned_clock(const std::string& text) {
  const auto bad = [&] {
    util::fail(util::ErrorKind::invalid_input, "",
               fmt::format("TESSAL_NOW='{}' must be \"YYYY-MM-DD HH:MM:SS\" between 2000 and 2999 (unset it to use the clock)", text));
  };
  if (text.size() < 19 || text[10] != ' ') bad();
  Timestamp t = 0;
  try {
    t = util::parse_timestamp(text);
  } catch (const std::invalid_argument&) {
    bad();
  }
  const std::int32_t day = timestamp_date(t);
  if (day < 20000101 || day > 29991231) bad();
  return t;
}
}  // namespace

Timestamp NativeHost::datetime_now() {
  if (const char* pinned = std::getenv("TESSAL_NOW")) return pinned_clock(pinned);
  const auto now = std::chrono::system_clock::now();
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(us / kMicrosPerSecond);
  std::tm local{};
  localtime_r(&secs, &local);
  const std::int32_t ymd = (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
  return make_timestamp(ymd, local.tm_hour, local.tm_min, local.tm_sec, us % kMicrosPerSecond);
}


}  // namespace tessal
