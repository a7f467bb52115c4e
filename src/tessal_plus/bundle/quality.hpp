#pragma once
// Content rules of the stores: what a bar or a tick may not hold although
// its file reads fine (non-finite or non-positive prices, a low above the
// high, a book crossed, a cumulative volume that falls, a jump no market
// makes in a minute, minutes missing from a trading day). Findings are per
// file: a rule, the first offending time and how often it offends. The
// rules read records as the file stores them (h5::read_records) in one
// pass per day, without allocating per row.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/outside/host.hpp"

namespace tessal_plus::bundle {

// Every content rule of both stores, in the order findings are reported.
// RULE_NAMES is the one table of their names: the console, the JSON, the
// page and the package all print these.
enum class Rule : std::uint8_t {
  non_finite,
  non_positive_price,
  ohlc_order,
  negative_volume,
  price_jump,
  gap_in_day,
  partial_day,
  crossed_book,
  outside_limits,
  volume_decreasing,
  time_order,
  // What verifying stored days against the service finds (--verify): a
  // record whose values differ from the service's, a day the service has
  // no data for, records of a day the service has and the file lacks.
  differs_from_service,
  missing_at_service,
  extra_at_service,
};
inline constexpr std::array<std::string_view, 14> RULE_NAMES = {
    "non_finite",   "non_positive_price", "ohlc_order",     "negative_volume",   "price_jump", "gap_in_day",
    "partial_day",  "crossed_book",       "outside_limits", "volume_decreasing", "time_order", "differs_from_service",
    "missing_at_service", "extra_at_service"};
static_assert(RULE_NAMES.size() == static_cast<std::size_t>(Rule::extra_at_service) + 1, "a rule without a name");
constexpr bool is_verification(Rule r) noexcept { return r >= Rule::differs_from_service; }
constexpr std::string_view rule_name(Rule r) noexcept { return RULE_NAMES[static_cast<std::size_t>(r)]; }
// The rule of a name; nothing for a name no rule has.
std::optional<Rule> rule_of(std::string_view name) noexcept;

struct Finding {
  Rule rule;
  // Minute bars: YYYYMMDDHHMMSS; ticks: YYYYMMDDHHMMSSmmm (date * 1e9 + time).
  std::int64_t first;
  std::uint64_t count;
  // differs_from_service: the first field that differs at `first`.
  std::string field{};
  bool operator==(const Finding&) const = default;
};

struct QualityThresholds {
  // price_jump.equities, price_jump.future: the largest relative move
  // |c[i] / c[i-1] - 1| between consecutive bars of one day that is not
  // a finding. Options are never judged: their prices move by multiples.
  double price_jump_equities = 0.2;
  double price_jump_future = 0.1;
  // usual_days: the span of trading days around a day that says which
  // minutes are usual for it. A minute a run of days lacks is usual when
  // more than half of the (usual_days - 1) / 2 days before the run hold it,
  // and more than half of as many after it (a side without days does not
  // vote); a run longer than that is a change of schedule, never reported.
  // 3 to 1000. Kept local because sessions change over the years.
  int usual_days = 21;
};

// Parses "key=value,key=value" (keys as named above) over the defaults.
// Throws util::Error (invalid_input) naming an unknown key, a bad value or
// a key given twice.
QualityThresholds parse_thresholds(std::string_view text);

// The minute-bar rules below over records handed in pieces, in row order
// (a file's chunks as they are inflated, while they are in the cache): the
// same findings as minute_findings over the whole file. `rows`: the file's.
class MinuteScan {
 public:
  MinuteScan(const RecordLayout& layout, const std::vector<IndexRecord>& index, std::size_t rows, DayRule rule,
             std::string_view folder, const QualityThresholds& thresholds);
  ~MinuteScan();
  MinuteScan(const MinuteScan&) = delete;
  MinuteScan& operator=(const MinuteScan&) = delete;
  // Rows [first_row, first_row + rows) at `records`.
  void add(const char* records, std::size_t first_row, std::size_t rows);
  std::vector<Finding> finish();

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// The findings of a minute-bar file's `rows` records of `layout` (stored
// bytes), judged per trading day of `index` (validated by the caller).
// Fields by name: datetime, open, high, low, close, volume and
// total_turnover are needed (util::Error invalid_input otherwise),
// open_interest is judged when present. `folder` is the file's type folder
// (equities, future, option), which picks the price_jump threshold; `rule`
// says whether evening bars open the next trading day. Rules, in this
// order, each at most once: non_finite, non_positive_price, ohlc_order,
// negative_volume, price_jump (count: rows; only between positive finite
// closes), gap_in_day (missing minutes, first: the first one missing),
// partial_day (days; first: the day's first missing usual minute).
std::vector<Finding> minute_findings(const char* records, std::size_t rows, const RecordLayout& layout,
                                     const std::vector<IndexRecord>& index, DayRule rule, std::string_view folder,
                                     const QualityThresholds& thresholds);

// The findings of one day's tick dataset (`day`: its name) of records of
// `itemsize` bytes described by `fields`. Rules, in this order, each
// skipped when the layout lacks its fields: non_finite, crossed_book,
// outside_limits, volume_decreasing, time_order (count: rows).
std::vector<Finding> tick_findings(std::int32_t day, const char* records, std::size_t rows,
                                   const std::vector<RecordField>& fields, std::size_t itemsize);
// Adds one day's findings to a file's: counts summed, the earliest first
// kept, rules in their fixed order.
void merge_findings(std::vector<Finding>& file, const std::vector<Finding>& day);

// Whole files, opened read-only: the minute-bar file's class (layout, day
// rule) from its type folder, the tick file's records of the host's layout.
// Throws util::Error when the file cannot be read or is not of that layout.
std::vector<Finding> minute_file_findings(const std::string& path, const QualityThresholds& thresholds);
std::vector<Finding> tick_file_findings(const RecordLayout& layout, const std::string& path);

}  // namespace tessal_plus::bundle
