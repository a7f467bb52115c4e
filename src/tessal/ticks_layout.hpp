#pragma once
// The tick record of the host's tick loader. One record per tick, packed,
// little-endian, 256 bytes:
//
//   date             int32   YYYYMMDD (calendar date of the tick)       x1
//   time             int32   HHMMSSmmm (time of day, milliseconds)      x1
//   open, last, high, low, prev_close
//                    int64   price x 10000                               x10000
//   volume           int64   cumulative traded volume                    x1
//   total_turnover   float64 cumulative traded value                     x1
//   open_interest    int64   0 for instruments without one               x1
//   prev_settlement, limit_up, limit_down
//                    int64   price x 10000                               x10000
//   a1..a5, b1..b5   int64   ask / bid prices of five levels x 10000     x10000
//   a1_v..a5_v, b1_v..b5_v
//                    int64   ask / bid volumes of five levels            x1
//
// Prices are scaled integers so that a price is stored exactly; int64 keeps
// any price of any market far from overflow.
#include <cstddef>
#include <cstdint>

namespace tessal {

#pragma pack(push, 1)
struct TickRecord {
  std::int32_t date;
  std::int32_t time;
  std::int64_t open, last, high, low, prev_close;
  std::int64_t volume;
  double total_turnover;
  std::int64_t open_interest;
  std::int64_t prev_settlement, limit_up, limit_down;
  std::int64_t a1, a2, a3, a4, a5;
  std::int64_t b1, b2, b3, b4, b5;
  std::int64_t a1_v, a2_v, a3_v, a4_v, a5_v;
  std::int64_t b1_v, b2_v, b3_v, b4_v, b5_v;
};
#pragma pack(pop)
static_assert(sizeof(TickRecord) == 256);
static_assert(offsetof(TickRecord, open) == 8);
static_assert(offsetof(TickRecord, total_turnover) == 56);
static_assert(offsetof(TickRecord, b5_v) == 248);

}  // namespace tessal
