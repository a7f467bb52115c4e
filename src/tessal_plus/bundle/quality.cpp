#include "tessal_plus/bundle/quality.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "h5/column.hpp"
#include "util/datetime.hpp"
#include "util/error.hpp"

namespace tessal_plus::bundle {
namespace {


struct Tally {
  std::uint64_t count = 0;
  std::int64_t first = std::numeric_limits<std::int64_t>::max();
  void add(std::int64_t at, std::uint64_t n = 1) {
    count += n;
    first = std::min(first, at);
  }
};

void report(std::vector<Finding>& out, Rule rule, const Tally& t) {
  if (t.count) out.push_back(Finding{rule, t.first, t.count});
}

// ---- thresholds ----

[[noreturn]] void bad_option(const std::string& what) { util::fail(util::ErrorKind::invalid_input, "", what); }

double positive_number(std::string_view key, std::string_view value) {
  double v = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
  if (ec != std::errc() || end != value.data() + value.size() || !std::isfinite(v) || v <= 0)
    bad_option(fmt::format("quality threshold '{}': '{}' is not a positive number", key, value));
  return v;
}

// ---- minute bars ----

// A field of a minute-bar layout, found by name. Kind and offset are held
// by value: the row loop then keeps them in registers.
// The value of a field of any kind at `p`, as a real.
template <class T>
T load_at(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
double field_value(FieldKind kind, const char* p) {
  switch (kind) {
    case FieldKind::i8: return load_at<std::int8_t>(p);
    case FieldKind::i16: return load_at<std::int16_t>(p);
    case FieldKind::i32: return load_at<std::int32_t>(p);
    case FieldKind::i64: return static_cast<double>(load_at<std::int64_t>(p));
    case FieldKind::u8: return load_at<std::uint8_t>(p);
    case FieldKind::u16: return load_at<std::uint16_t>(p);
    case FieldKind::u32: return load_at<std::uint32_t>(p);
    case FieldKind::u64: return static_cast<double>(load_at<std::uint64_t>(p));
    case FieldKind::f32: return load_at<float>(p);
    case FieldKind::f64: return load_at<double>(p);
  }
  return 0;
}

struct BarColumn {
  bool found = false;
  FieldKind kind = FieldKind::f64;
  std::size_t offset = 0;
  double get(const char* rec) const { return field_value(kind, rec + offset); }
  std::int64_t get_int(const char* rec) const {
    return kind == FieldKind::i64 ? load<std::int64_t>(rec) : static_cast<std::int64_t>(get(rec));
  }
  template <class T>
  T load(const char* rec) const {
    T v;
    std::memcpy(&v, rec + offset, sizeof v);
    return v;
  }
};

BarColumn bar_column(const RecordLayout& layout, std::string_view name) {
  for (const auto& f : layout.fields)
    if (name == f.name) return BarColumn{true, f.kind, f.offset};
  return {};
}

// A day's minutes are ordered by their place in the trading day. Under the
// night-session rule a minute at or after 18:00 opens the next trading day,
// so it comes first (key = minute - 24h, shifted to stay positive); the
// minutes after midnight then fall between the evening and the morning.
constexpr int kMinutes = 1440;
constexpr int kEvening = 18 * 60;
// Keys below this are night-session minutes (18:00 to 05:59).
constexpr int kDaySessionKey = kMinutes - kEvening + 6 * 60;

int minute_key(std::int64_t bar, bool night) {
  if (bar < 0) return -1;
  const auto hhmmss = static_cast<std::uint32_t>(static_cast<std::uint64_t>(bar) % 1000000);
  const auto hh = static_cast<int>(hhmmss / 10000), mm = static_cast<int>(hhmmss / 100 % 100);
  if (hh > 23 || mm > 59) return -1;
  const int m = hh * 60 + mm;
  return night ? (m + kMinutes - kEvening) % kMinutes : m;
}

// What the day rules keep of one trading day.
struct DayMinutes {
  std::size_t keys_from = 0, keys_to = 0;  // its distinct minute keys in the file's list
  int first_key = kMinutes, last_key = -1;
  std::int64_t first_bar = 0, last_bar = 0;  // time stamps of those minutes
};

// The time stamp of minute `key` that `day` lacks: evening minutes carry the date of the day's evening bars, the
// minutes after midnight the next calendar date, the rest the date of the
// day's last bar.
std::int64_t missing_minute_time(const DayMinutes& day, int key, bool night) {
  const int m = night ? (key + kEvening) % kMinutes : key;
  std::int64_t date = day.last_bar / 1000000;
  if (night && key < kDaySessionKey) {
    const auto first_date = static_cast<std::int32_t>(day.first_bar / 1000000);
    const bool after_midnight = key >= kMinutes - kEvening;
    date = after_midnight && day.first_key < kMinutes - kEvening ? util::add_days(first_date, 1) : first_date;
  }
  return date * 1000000 + m / 60 * 10000 + m % 60 * 100;
}

// The day rules. A minute of the trading day is usual for a run of days
// that lack it when more than half of the days on each side of the run
// hold it: up to `half` days before its first day and `half` after its
// last, where `half` is (usual_days - 1) / 2; a side without days does not
// vote. Each minute is judged by its own runs, so
// a defect is seen on every day it lasts, wherever it lies in the file's
// history (days at either end are judged by the side that has days). A run
// longer than `half` days is a change of schedule, not a defect: it becomes
// the usual and is never reported, nor are the days around it.
void day_rules(const std::vector<DayMinutes>& days, const std::vector<std::uint16_t>& keys, bool night, int window, Tally& gap,
               Tally& partial) {
  const std::size_t n = days.size();
  if (n < 2) return;
  const auto half = static_cast<std::size_t>(std::clamp(window, 3, 1000) - 1) / 2;
  // Which days hold each minute the file holds at all, a row of days per
  // minute, and a running count along each row.
  std::array<std::int32_t, kMinutes> row{};
  row.fill(-1);
  std::vector<std::uint16_t> minutes;
  for (const auto k : keys)
    if (row[k] < 0) row[k] = static_cast<std::int32_t>(minutes.size()), minutes.push_back(k);
  std::vector<std::uint8_t> held(minutes.size() * n, 0);
  for (std::size_t d = 0; d < n; ++d)
    for (std::size_t k = days[d].keys_from; k < days[d].keys_to; ++k) held[static_cast<std::size_t>(row[keys[k]]) * n + d] = 1;
  std::vector<std::vector<std::uint16_t>> missing(n);  // usual minutes each day lacks
  std::vector<std::uint32_t> upto(n + 1);
  for (std::size_t m = 0; m < minutes.size(); ++m) {
    const std::uint8_t* h = held.data() + m * n;
    for (std::size_t d = 0; d < n; ++d) upto[d + 1] = upto[d] + h[d];
    for (std::size_t from = 0; from < n;) {
      if (h[from]) {
        ++from;
        continue;
      }
      std::size_t to = from;
      while (to < n && !h[to]) ++to;
      if (to - from <= half) {
        // Each side that has days must hold the minute on most of them: a
        // minute held on every other day is usual on neither side.
        const std::size_t lo = from > half ? from - half : 0, hi = std::min(n, to + half);
        const std::size_t before = from - lo, after = hi - to;
        const bool left = before == 0 || 2 * (upto[from] - upto[lo]) > before;
        const bool right = after == 0 || 2 * (upto[hi] - upto[to]) > after;
        if (before + after > 0 && left && right)
          for (std::size_t d = from; d < to; ++d) missing[d].push_back(minutes[m]);
      }
      from = to;
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const DayMinutes& day = days[i];
    if (missing[i].empty() || day.last_key < 0) continue;
    std::sort(missing[i].begin(), missing[i].end());
    // A day without its night session (the first after a holiday) is whole
    // when its day session is.
    const bool without_night = night && day.first_key >= kDaySessionKey;
    std::uint32_t gaps = 0;
    int first_gap = -1, first_outside = -1;
    for (const int k : missing[i]) {
      if (k > day.first_key && k < day.last_key) {
        if (gaps++ == 0) first_gap = k;
      } else if (first_outside < 0 && !(without_night && k < kDaySessionKey)) {
        first_outside = k;
      }
    }
    if (gaps) gap.add(missing_minute_time(day, first_gap, night), gaps);
    if (first_outside >= 0) partial.add(missing_minute_time(day, first_outside, night));
  }
}

double jump_threshold(std::string_view folder, const QualityThresholds& t) {
  if (folder == "equities") return t.price_jump_equities;
  if (folder == "future") return t.price_jump_future;
  return std::numeric_limits<double>::infinity();  // options, and anything unknown
}

// ---- ticks ----

// A field of the host's tick layout, found by name, held by value as the
// minute bars' columns are.
struct TickColumn {
  bool found = false;
  FieldKind kind = FieldKind::f64;
  std::size_t offset = 0;
  double scale = 1;  // a usable one: positive and finite, else 1
  explicit operator bool() const { return found; }
  double get(const char* rec) const { return field_value(kind, rec + offset); }
  std::int64_t get_int(const char* rec) const {
    if (kind == FieldKind::i64) return load<std::int64_t>(rec + offset);
    if (kind == FieldKind::u64) return static_cast<std::int64_t>(load<std::uint64_t>(rec + offset));
    const double v = get(rec);
    return std::isfinite(v) ? static_cast<std::int64_t>(v) : 0;
  }
  template <class T>
  static T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
};

TickColumn tick_column(const RecordField& f) {
  return TickColumn{true, f.kind, f.offset, f.scale > 0 && std::isfinite(f.scale) ? f.scale : 1.0};
}
TickColumn tick_column(const std::vector<RecordField>& fields, std::string_view name) {
  for (const auto& f : fields)
    if (f.name == name) return tick_column(f);
  return TickColumn{};
}

// Compares values of two fields as prices: raw when both share a scale
// (scaled integers compare exactly so), else each divided by its scale.
struct PriceOrder {
  double a_div = 1, b_div = 1;
  PriceOrder(const TickColumn& a, const TickColumn& b) {
    if (a && b && a.scale != b.scale) a_div = a.scale, b_div = b.scale;
  }
  bool less(double a, double b) const { return a / a_div < b / b_div; }
};

}  // namespace

QualityThresholds parse_thresholds(std::string_view text) {
  QualityThresholds t;
  std::vector<std::string_view> seen;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t comma = std::min(text.find(',', pos), text.size());
    const std::string_view item = text.substr(pos, comma - pos);
    pos = comma + 1;
    if (item.empty()) continue;
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) bad_option(fmt::format("quality threshold '{}' has no value (expected key=value)", item));
    const std::string_view key = item.substr(0, eq), value = item.substr(eq + 1);
    // Given twice, one value would be dropped without a word.
    if (std::find(seen.begin(), seen.end(), key) != seen.end())
      bad_option(fmt::format("quality threshold '{}' is given more than once", key));
    seen.push_back(key);
    if (key == "price_jump.equities") {
      t.price_jump_equities = positive_number(key, value);
    } else if (key == "price_jump.future") {
      t.price_jump_future = positive_number(key, value);
    } else if (key == "usual_days") {
      int days = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), days);
      if (ec != std::errc() || end != value.data() + value.size() || days < 3 || days > 1000)
        bad_option(fmt::format("quality threshold '{}': '{}' is not a number of days from 3 to 1000", key, value));
      t.usual_days = days;
    } else {
      bad_option(fmt::format("unknown quality threshold '{}' (known: price_jump.equities, price_jump.future, usual_days)", key));
    }
  }
  return t;
}

struct MinuteScan::State {
  BarColumn time, open, high, low, close, volume, turnover, interest;
  const std::vector<IndexRecord>& index;
  std::size_t rows;
  bool night, plain;
  double jump;
  std::size_t itemsize;
  int usual_days;

  Tally non_finite, non_positive, order, negative, jumps, gap, partial;
  std::vector<DayMinutes> days;
  std::vector<std::uint16_t> keys;
  std::array<std::uint8_t, kMinutes> seen{};
  std::size_t day = 0;  // the day of the next row
  bool open_day = false;
  DayMinutes current;
  double prev_close = 0;

  std::size_t day_end(std::size_t d) const {
    return std::min<std::size_t>(d + 1 < index.size() ? index[d + 1].line_no : rows, rows);
  }
  void close_day() {
    if (!open_day) return;
    current.keys_to = keys.size();
    seen.fill(0);
    days.push_back(current);
    open_day = false;
  }

  // The per-row rules over rows [first, first + n) at `records`; each field
  // read through `real`, `integer` or `wide` (open interest as a real).
  template <class Real, class Integer, class Wide>
  void scan(const char* records, std::size_t first, std::size_t n, Real real, Integer integer, Wide wide) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t r = first; r < first + n; ++r) {
      while (day < index.size() && r >= day_end(day)) close_day(), ++day;
      if (day >= index.size() || r < index[day].line_no) continue;  // outside every day
      if (!open_day) {
        current = DayMinutes{};
        current.keys_from = keys.size();
        prev_close = kNaN;
        open_day = true;
      }
      const char* rec = records + (r - first) * itemsize;
      const std::int64_t t = integer(time, rec);
      const double o = real(open, rec), h = real(high, rec), l = real(low, rec), c = real(close, rec), v = real(volume, rec),
                   to = real(turnover, rec), oi = interest.found ? wide(interest, rec) : 0;
      // x - x is 0 for a finite x and NaN otherwise. The rules are combined
      // without branches so that a sound bar costs one test.
      const bool finite = (o - o) + (h - h) + (l - l) + (c - c) + (v - v) + (to - to) == 0;
      const bool non_pos = (o <= 0) | (h <= 0) | (l <= 0) | (c <= 0);
      const bool disorder = (l > o) | (l > c) | (h < o) | (h < c) | (l > h);
      const bool below_zero = (v < 0) | (to < 0) | (oi < 0);
      if (!finite | non_pos | disorder | below_zero) [[unlikely]] {
        if (!finite) non_finite.add(t);
        if (non_pos) non_positive.add(t);
        if (disorder) order.add(t);
        if (below_zero) negative.add(t);
      }
      // |c / p - 1| > jump, between positive finite closes only: a close
      // that is not one has its own finding, and no move to or from it is.
      const bool c_price = c - c == 0 && c > 0;
      if (c_price && prev_close > 0 && std::abs(c - prev_close) > jump * prev_close) jumps.add(t);
      prev_close = c_price ? c : kNaN;
      const int key = minute_key(t, night);
      if (key < 0 || seen[key]) continue;  // a repeated minute is no new minute
      seen[key] = 1;
      keys.push_back(static_cast<std::uint16_t>(key));
      if (key < current.first_key) current.first_key = key, current.first_bar = t;
      if (key > current.last_key) current.last_key = key, current.last_bar = t;
    }
  }
};

MinuteScan::MinuteScan(const RecordLayout& layout, const std::vector<IndexRecord>& index, std::size_t rows, DayRule rule,
                       std::string_view folder, const QualityThresholds& thresholds)
    : s_(new State{bar_column(layout, "datetime"), bar_column(layout, "open"), bar_column(layout, "high"),
                   bar_column(layout, "low"), bar_column(layout, "close"), bar_column(layout, "volume"),
                   bar_column(layout, "total_turnover"), bar_column(layout, "open_interest"), index, rows,
                   rule == DayRule::night_session, false, jump_threshold(folder, thresholds), layout.itemsize,
                   thresholds.usual_days}) {
  State& st = *s_;
  for (const BarColumn* c : {&st.time, &st.open, &st.high, &st.low, &st.close, &st.volume, &st.turnover})
    if (!c->found)
      util::fail(util::ErrorKind::invalid_input, "",
                 "a minute-bar layout needs datetime, open, high, low, close, volume and total_turnover");
  // The layouts the module writes hold reals and 64-bit integers only: for
  // them each field is one load, not a switch on its kind per value.
  const BarColumn reals[] = {st.open, st.high, st.low, st.close, st.volume, st.turnover};
  st.plain = st.time.kind == FieldKind::i64 && (!st.interest.found || st.interest.kind == FieldKind::i64) &&
             std::all_of(std::begin(reals), std::end(reals), [](const BarColumn& c) { return c.kind == FieldKind::f64; });
  st.days.reserve(index.size());
  st.keys.reserve(rows);
}

MinuteScan::~MinuteScan() = default;

void MinuteScan::add(const char* records, std::size_t first_row, std::size_t rows) {
  State& st = *s_;
  rows = std::min(rows, st.rows > first_row ? st.rows - first_row : 0);
  if (st.plain)
    st.scan(records, first_row, rows, [](const BarColumn& c, const char* r) { return c.load<double>(r); },
            [](const BarColumn& c, const char* r) { return c.load<std::int64_t>(r); },
            [](const BarColumn& c, const char* r) { return static_cast<double>(c.load<std::int64_t>(r)); });
  else
    st.scan(records, first_row, rows, [](const BarColumn& c, const char* r) { return c.get(r); },
            [](const BarColumn& c, const char* r) { return c.get_int(r); }, [](const BarColumn& c, const char* r) { return c.get(r); });
}

std::vector<Finding> MinuteScan::finish() {
  State& st = *s_;
  st.close_day();
  day_rules(st.days, st.keys, st.night, st.usual_days, st.gap, st.partial);
  std::vector<Finding> out;
  report(out, Rule::non_finite, st.non_finite);
  report(out, Rule::non_positive_price, st.non_positive);
  report(out, Rule::ohlc_order, st.order);
  report(out, Rule::negative_volume, st.negative);
  report(out, Rule::price_jump, st.jumps);
  report(out, Rule::gap_in_day, st.gap);
  report(out, Rule::partial_day, st.partial);
  return out;
}

std::vector<Finding> minute_findings(const char* records, std::size_t rows, const RecordLayout& layout,
                                     const std::vector<IndexRecord>& index, DayRule rule, std::string_view folder,
                                     const QualityThresholds& thresholds) {
  MinuteScan scan(layout, index, rows, rule, folder, thresholds);
  scan.add(records, 0, rows);
  return scan.finish();
}

std::vector<Finding> tick_findings(std::int32_t day, const char* records, std::size_t rows,
                                   const std::vector<RecordField>& fields, std::size_t itemsize) {
  const TickColumn date = tick_column(fields, "date"), time = tick_column(fields, "time"), last = tick_column(fields, "last"),
                   up = tick_column(fields, "limit_up"), down = tick_column(fields, "limit_down"), a1 = tick_column(fields, "a1"),
                   b1 = tick_column(fields, "b1"), volume = tick_column(fields, "volume");
  std::vector<TickColumn> reals;
  for (const auto& f : fields)
    if (f.kind == FieldKind::f32 || f.kind == FieldKind::f64) reals.push_back(tick_column(f));
  const bool book = a1 && b1, limits = last && up && down, ordered = date && time;
  const PriceOrder ask_bid(a1, b1), last_down(last, down), up_last(up, last);

  Tally non_finite, crossed, outside, falling, backwards;
  const std::int64_t day_start = static_cast<std::int64_t>(day) * 1000000000;
  std::int64_t prev_at = std::numeric_limits<std::int64_t>::min();
  double prev_volume = -std::numeric_limits<double>::infinity();
  for (std::size_t r = 0; r < rows; ++r) {
    const char* rec = records + r * itemsize;
    const std::int64_t at = (date ? date.get_int(rec) * 1000000000 : day_start) + (time ? time.get_int(rec) : 0);
    for (const TickColumn& c : reals)
      if (!std::isfinite(c.get(rec))) {
        non_finite.add(at);
        break;
      }
    if (book) {
      const double a = a1.get(rec), b = b1.get(rec);
      if (a > 0 && b > 0 && ask_bid.less(a, b)) crossed.add(at);
    }
    if (limits) {
      const double l = last.get(rec), u = up.get(rec), d = down.get(rec);
      if (l > 0 && u > 0 && d > 0 && (last_down.less(l, d) || up_last.less(u, l))) outside.add(at);
    }
    if (volume) {
      const double v = volume.get(rec);
      if (v < prev_volume) falling.add(at);
      prev_volume = v;
    }
    if (ordered) {
      if (at < prev_at) backwards.add(at);
      prev_at = at;
    }
  }
  std::vector<Finding> out;
  report(out, Rule::non_finite, non_finite);
  report(out, Rule::crossed_book, crossed);
  report(out, Rule::outside_limits, outside);
  report(out, Rule::volume_decreasing, falling);
  report(out, Rule::time_order, backwards);
  return out;
}

void merge_findings(std::vector<Finding>& file, const std::vector<Finding>& day) {
  for (const Finding& f : day) {
    const auto it = std::find_if(file.begin(), file.end(), [&](const Finding& g) { return g.rule == f.rule; });
    if (it == file.end()) {
      file.insert(std::upper_bound(file.begin(), file.end(), f.rule, [](Rule r, const Finding& g) { return r < g.rule; }), f);
    } else {
      it->count += f.count;
      it->first = std::min(it->first, f.first);
    }
  }
}

std::vector<Finding> minute_file_findings(const std::string& path, const QualityThresholds& thresholds) {
  const std::string folder = std::filesystem::path(path).parent_path().filename().string();
  const InstrumentClass* cls = instrument_class_of_folder(folder);
  if (!cls)
    util::fail(util::ErrorKind::invalid_input, path, fmt::format("'{}' is not in a type folder of the minute-bar store", path));
  const RecordLayout& layout = cls->layout();
  const h5::File f = h5::File::open(path, h5::Mode::read);
  const h5::Dataset data = f.open_dataset("data"), index_ds = f.open_dataset("index");
  if (H5Tequal(data.type().get(), layout.type.get()) <= 0)
    util::fail(util::ErrorKind::damaged, path, fmt::format("the bars of '{}' are not of the {} layout", path, cls->folder));
  std::vector<IndexRecord> index(index_ds.checked_size(sizeof(IndexRecord)));
  if (!index.empty()) index_ds.read(index.data(), INDEX_DTYPE().type.get());
  const std::vector<char> records = h5::read_records(data, layout.itemsize);
  const std::size_t rows = records.size() / layout.itemsize;
  for (std::size_t i = 0; i < index.size(); ++i)
    if (index[i].line_no >= rows || (i > 0 && index[i].line_no <= index[i - 1].line_no))
      util::fail(util::ErrorKind::damaged, path, fmt::format("the index of '{}' does not rise through its bars", path));
  return minute_findings(records.data(), rows, layout, index, cls->day_rule, cls->folder, thresholds);
}

std::vector<Finding> tick_file_findings(const RecordLayout& layout, const std::string& path) {
  const auto& fields = layout.fields;
  const h5::Type& type = layout.type;
  const h5::File f = h5::File::open(path, h5::Mode::read);
  std::vector<Finding> out;
  for (const auto& name : f.root_names()) {
    const auto day = tick_day(name, MAX_END_DATE);
    if (!day) continue;  // not a day's dataset: the tick check's concern
    const h5::Dataset ds = f.open_dataset(name);
    if (H5Tequal(ds.type().get(), type.get()) <= 0)
      util::fail(util::ErrorKind::damaged, path, fmt::format("the ticks of {} in '{}' are not of the host's layout", name, path));
    const std::vector<char> records = h5::read_records(ds, type.size());
    merge_findings(out, tick_findings(*day, records.data(), records.size() / type.size(), fields, type.size()));
  }
  return out;
}

std::optional<Rule> rule_of(std::string_view name) noexcept {
  for (std::size_t i = 0; i < RULE_NAMES.size(); ++i)
    if (RULE_NAMES[i] == name) return static_cast<Rule>(i);
  return std::nullopt;
}

}  // namespace tessal_plus::bundle
