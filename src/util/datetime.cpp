#include "util/datetime.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include <fmt/format.h>

namespace util {

// Howard Hinnant's public-domain civil-calendar algorithms.
std::int64_t days_from_civil(int y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, int& y, unsigned& m, unsigned& d) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yoe + era * 400) + (m <= 2);
}

bool is_valid_yyyymmdd(std::int64_t v) noexcept {
  if (v < 101 || v > 99991231) return false;
  const int y = static_cast<int>(v / 10000);
  const unsigned m = static_cast<unsigned>(v / 100 % 100), d = static_cast<unsigned>(v % 100);
  if (m < 1 || m > 12 || d < 1) return false;
  int yy;
  unsigned mm, dd;
  civil_from_days(days_from_civil(y, m, d), yy, mm, dd);
  return yy == y && mm == m && dd == d;
}

std::int64_t yyyymmdd_to_days(std::int64_t v) {
  if (!is_valid_yyyymmdd(v)) throw std::invalid_argument(fmt::format("not a calendar date: {}", v));
  return days_from_civil(static_cast<int>(v / 10000), static_cast<unsigned>(v / 100 % 100),
                         static_cast<unsigned>(v % 100));
}

std::int32_t days_to_yyyymmdd(std::int64_t days) noexcept {
  int y;
  unsigned m, d;
  civil_from_days(days, y, m, d);
  return static_cast<std::int32_t>(y * 10000 + static_cast<int>(m) * 100 + static_cast<int>(d));
}

std::int32_t add_days(std::int32_t yyyymmdd, int n) { return days_to_yyyymmdd(yyyymmdd_to_days(yyyymmdd) + n); }

int weekday(std::int32_t yyyymmdd) {
  // 1970-01-01 was a Thursday (3 when Monday is 0).
  const std::int64_t days = yyyymmdd_to_days(yyyymmdd);
  return static_cast<int>(((days % 7) + 7 + 3) % 7);
}

Timestamp make_timestamp(std::int32_t yyyymmdd, int hour, int minute, int second, std::int64_t micros) {
  return yyyymmdd_to_days(yyyymmdd) * kMicrosPerDay +
         (static_cast<std::int64_t>(hour) * 3600 + minute * 60 + second) * kMicrosPerSecond + micros;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

std::int32_t timestamp_date(Timestamp t) noexcept { return days_to_yyyymmdd(floor_div(t, kMicrosPerDay)); }
std::int64_t timestamp_time_of_day(Timestamp t) noexcept { return t - floor_div(t, kMicrosPerDay) * kMicrosPerDay; }

std::int64_t to_yyyymmddhhmmss(Timestamp t) noexcept {
  const std::int64_t sec = timestamp_time_of_day(t) / kMicrosPerSecond;
  return static_cast<std::int64_t>(timestamp_date(t)) * 1'000'000 + (sec / 3600) * 10000 + (sec / 60 % 60) * 100 + sec % 60;
}

std::int32_t to_hhmmssmmm(Timestamp t) noexcept {
  const std::int64_t tod = timestamp_time_of_day(t);
  const std::int64_t sec = tod / kMicrosPerSecond, ms = tod % kMicrosPerSecond / 1000;
  return static_cast<std::int32_t>(((sec / 3600) * 10000 + (sec / 60 % 60) * 100 + sec % 60) * 1000 + ms);
}

std::string format_dashed(std::int32_t v) { return fmt::format("{:04d}-{:02d}-{:02d}", v / 10000, v / 100 % 100, v % 100); }
std::string format_compact(std::int32_t v) { return fmt::format("{:08d}", v); }

Timestamp parse_timestamp(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char frac[16] = {0};
  const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%*[ T]%2d:%2d:%2d.%15[0-9]", &y, &mo, &d, &h, &mi, &s, frac);
  if (n < 3 || (n > 3 && n < 5) || h > 23 || mi > 59 || s > 59)
    throw std::invalid_argument(fmt::format("cannot read '{}' as a date and time (YYYY-MM-DD HH:MM:SS)", text));
  std::int64_t micros = 0;
  if (n == 7) {
    std::string f(frac);
    f.resize(6, '0');
    micros = std::stoll(f);
  }
  const std::int64_t ymd = static_cast<std::int64_t>(y) * 10000 + mo * 100 + d;
  if (!is_valid_yyyymmdd(ymd)) throw std::invalid_argument(fmt::format("not a calendar date: '{}'", text));
  return make_timestamp(static_cast<std::int32_t>(ymd), h, mi, s, micros);
}

}  // namespace util
