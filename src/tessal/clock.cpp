// The host's clock and date conversions.
#include <chrono>
#include <cstdlib>
#include <ctime>

#include "tessal_plus/bundle/outside/host.hpp"

namespace tessal {

using util::kMicrosPerSecond;
using util::make_timestamp;
using util::timestamp_date;
using util::timestamp_time_of_day;

Timestamp datetime_now() {
  if (const char* pinned = std::getenv("TESSAL_NOW"); pinned && *pinned) return util::parse_timestamp(pinned);
  const auto now = std::chrono::system_clock::now();
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(us / kMicrosPerSecond);
  std::tm local{};
  localtime_r(&secs, &local);
  const std::int32_t ymd = (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
  return make_timestamp(ymd, local.tm_hour, local.tm_min, local.tm_sec, us % kMicrosPerSecond);
}

std::int64_t convert_dt_to_int(Timestamp t) noexcept { return util::to_yyyymmddhhmmss(t); }
std::int32_t date_to_number(Timestamp t) noexcept { return timestamp_date(t); }
std::int32_t time_to_number(Timestamp t) noexcept { return util::to_hhmmssmmm(t); }

}  // namespace tessal
