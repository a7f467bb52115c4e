#pragma once
// Calendar arithmetic. Time stamps are naive local
// times counted in microseconds since 1970-01-01 00:00:00, so every
// conversion below is pure integer arithmetic on the proleptic Gregorian
// calendar, independent of the machine's time zone.
#include <cstdint>
#include <string>

namespace util {

using Timestamp = std::int64_t;  // microseconds since 1970-01-01T00:00 (naive local)

constexpr std::int64_t kMicrosPerSecond = 1'000'000;
constexpr std::int64_t kMicrosPerDay = 86'400 * kMicrosPerSecond;

// Days since 1970-01-01 of a civil date, and back.
std::int64_t days_from_civil(int y, unsigned m, unsigned d) noexcept;
void civil_from_days(std::int64_t days, int& y, unsigned& m, unsigned& d) noexcept;

// YYYYMMDD <-> days since 1970-01-01. Throws std::invalid_argument on a
// number that does not name a real calendar day.
std::int64_t yyyymmdd_to_days(std::int64_t yyyymmdd);
std::int32_t days_to_yyyymmdd(std::int64_t days) noexcept;
bool is_valid_yyyymmdd(std::int64_t yyyymmdd) noexcept;
std::int32_t add_days(std::int32_t yyyymmdd, int n);
int weekday(std::int32_t yyyymmdd);  // 0 = Monday .. 6 = Sunday

// Integer division rounding toward negative infinity.
std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept;

Timestamp make_timestamp(std::int32_t yyyymmdd, int hour = 0, int minute = 0, int second = 0,
                         std::int64_t micros = 0);
std::int32_t timestamp_date(Timestamp t) noexcept;         // YYYYMMDD
std::int64_t timestamp_time_of_day(Timestamp t) noexcept;  // microseconds since midnight

// A time stamp as the numbers YYYYMMDDHHMMSS and HHMMSSmmm.
std::int64_t to_yyyymmddhhmmss(Timestamp t) noexcept;
std::int32_t to_hhmmssmmm(Timestamp t) noexcept;

// "YYYY-MM-DD" and "YYYYMMDD" renderings of a YYYYMMDD integer.
std::string format_dashed(std::int32_t yyyymmdd);
std::string format_compact(std::int32_t yyyymmdd);
// Parses "YYYY-MM-DD[ HH:MM[:SS[.ffffff]]]"; throws std::invalid_argument.
Timestamp parse_timestamp(const std::string& text);

}  // namespace util
