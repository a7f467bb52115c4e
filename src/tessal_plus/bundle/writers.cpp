#include "tessal_plus/bundle/writers.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <stdexcept>
#include <system_error>
#include <tuple>
#include <unordered_set>

#include <fmt/format.h>

#include "h5/column.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/errors.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"
#include "util/files.hpp"
#include "util/signals.hpp"

namespace tessal_plus::bundle {
namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Update horizon and removal
// ---------------------------------------------------------------------------

namespace {
// The update horizon at `now`: today after 17:30, else yesterday.
std::int32_t end_date_at(util::Timestamp now) {
  const std::int32_t today = util::timestamp_date(now);
  const util::Timestamp cutoff = util::make_timestamp(today, 17, 30);
  return now > cutoff ? today : util::add_days(today, -1);
}
}  // namespace

std::int32_t _get_end_date(tessal::Host& host) { return end_date_at(host.datetime_now()); }

void remove_h5(const std::string& h5_file) { h5::remove_file(h5_file); }

namespace {

const char* const kTempSuffix = ".rebuild";

bool file_exists(const std::string& p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0;
}

// What tells a file that was not written from one that was: an update with
// nothing to do writes no byte, so its file keeps inode, size and time.
std::optional<std::tuple<ino_t, off_t, std::int64_t, long>> file_identity(const std::string& p) {
  struct stat st{};
  if (::stat(p.c_str(), &st) != 0) return std::nullopt;
  return std::tuple{st.st_ino, st.st_size, static_cast<std::int64_t>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec};
}

std::string file_name_or_default(const std::optional<std::string>& file_name, const std::string& order_book_id) {
  return file_name && !file_name->empty() ? *file_name : fmt::format("{}.h5", order_book_id);
}

// A new or rebuilt file is filled under a name of its own and renamed over
// the real one, so the old file survives any failure of the refill and two
// writers never share a temporary file. The name starts with a dot and does
// not end in ".h5": no store listing ever picks it up.
std::string rebuild_temp_path(const std::string& folder, const std::string& name) {
  return util::temp_path_beside(join(folder, name), kTempSuffix);
}

const char* const kOsFailure = " 失败，请检查文件的权限以及是否被其他进程占用\n";
const char* const kDamaged = " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\n";
const char* const kNoPermission = " 失败，您没有相关数据的使用权限，可联系星桥科技开通相关权限：0000-00000000";

// Runs `body` with the caught-failure rules of both writers: one log line
// and the run's flag cleared. With `permission_message`, the service's
// refusal has a message of its own. The outcome names the file's instrument;
// a file that `body` left with the bytes it had is up to date.
TaskOutcome run_logged(const Run& run, const std::string& order_book_id, const std::string& file_path, bool permission_message,
                               const std::function<void()>& body) {
  tessal::SharedFlag& sval = run.sval();
  // A file-size limit (ulimit -f) fails the write with EFBIG, which is
  // logged and rolled back, instead of killing the process.
  const util::IgnoreSignal file_size_limit_is_an_error(SIGXFSZ);
  TaskOutcome outcome{order_book_id, TaskStatus::written, "", ""};
  try {
    const auto before = file_identity(file_path);
    body();
    if (before && before == file_identity(file_path)) outcome.status = TaskStatus::up_to_date;
    return outcome;
  } catch (const std::exception& e) {
    pass_interruptions(e);
    const auto kind = kind_of(e);
    if (kind == util::ErrorKind::denied && permission_message)
      outcome.message = "更新 " + file_path + kNoPermission;
    else
      outcome.message = "更新 " + file_path + (is_os_failure(e) ? kOsFailure : kDamaged) + e.what();
    run.host.log_error(outcome.message);
    outcome.kind = kind ? std::string(util::kind_name(*kind)) : "error";
  }
  sval.clear();
  outcome.status = TaskStatus::failed;
  return outcome;
}

// Fills a new file under a temporary name of its own beside `file_path` and
// puts it in place only once `fill` has finished and the file is closed,
// under the lock of the file it replaces: a file under its final name is
// always complete, whatever stops the task (an error, a kill, a full disk),
// and a file another process is writing is left alone (logged as held).
// The temporary file is removed on failure.
void write_via_temp(const std::string& folder, const std::string& name, const std::function<void(h5::File&)>& fill) {
  h5::File f = h5::File::open(rebuild_temp_path(folder, name), h5::Mode::create_new);
  fill(f);
  f.close_into(join(folder, name));
}

// The mode an existing store file is updated in: the host's, except that
// a file that vanished meanwhile is not created in place (a new file is
// only ever made complete under a temporary name).
h5::Mode update_mode(tessal::Host& host, const std::string& file_path) {
  const h5::Mode mode = host.get_h5_mode(file_path);
  return mode == h5::Mode::append ? h5::Mode::read_write : mode;
}

// ---------------------------------------------------------------------------
// Minute bars
// ---------------------------------------------------------------------------

// Rows per chunk of `data`. Deflate level 9 slows down sharply with the
// size of what it compresses (measured: 26 MB/s in 128-row pieces, 18 in
// 256, 7 in 1024); 128 rows cost 6% more disk than 256 and make writing a
// quarter faster, and the check, reading one bar per day, skips half the
// chunks. See bench/.
constexpr hsize_t kDataChunkRows = 128;
constexpr hsize_t kIndexChunkRows = 512;

// One fetch: `index` and `data` rows ready to be written.
struct Fetched {
  std::vector<IndexRecord> index;
  std::vector<char> data;  // rows x itemsize
  std::size_t rows = 0;
};

// Rows of `t` in ascending time, keeping the first row of each time stamp
// (`keep_last` keeps the last instead).
std::vector<std::size_t> unique_rows_by_time(const quillonc::Table& t, bool keep_last) {
  const auto& time = t.time;
  std::vector<std::size_t> out;
  // The service answers in time order: then the rows are their own order.
  if (std::is_sorted(time.begin(), time.end())) {
    out.reserve(time.size());
    for (std::size_t i = 0; i < time.size(); ++i)
      if (keep_last ? i + 1 == time.size() || time[i + 1] != time[i] : i == 0 || time[i - 1] != time[i]) out.push_back(i);
    return out;
  }
  std::vector<std::size_t> order(t.rows());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return time[a] < time[b]; });
  out.reserve(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    const bool dup_next = i + 1 < order.size() && time[order[i + 1]] == time[order[i]];
    const bool dup_prev = !out.empty() && time[out.back()] == time[order[i]];
    if (keep_last ? !dup_next : !dup_prev) out.push_back(order[i]);
  }
  return out;
}

const std::vector<double>& require_column(const quillonc::Table& t, const std::string& name) {
  if (const auto* c = t.column(name)) {
    if (c->size() != t.rows()) util::fail(util::ErrorKind::service, "", fmt::format("column '{}' of the service's table has {} rows, expected {}", name, c->size(), t.rows()));
    return *c;
  }
  util::fail(util::ErrorKind::service, "", fmt::format("the service's table has no column '{}'", name));
}

// Whether `x` (already rounded toward an integer) lies in T's range; false
// for NaN and infinities.
template <class T>
bool fits(double x) {
  constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
  constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
  // hi of 64-bit types rounds up to 2^63 (2^64) in double: exclusive there.
  if constexpr (sizeof(T) == 8) return x >= lo && x < hi;
  else return x >= lo && x <= hi;
}

// Refuses an answer holding `value` in column `column`, row `row`: a value
// the record cannot hold is never stored in its place.
[[noreturn]] void refuse_value(const quillonc::Table& t, std::string_view column, std::size_t row, double value) {
  util::fail(util::ErrorKind::service, "",
             fmt::format("the service's answer for {} holds {} in column '{}' at {}, which the file cannot store", t.order_book_id,
                         value, column, util::to_yyyymmddhhmmss(t.time[row])));
}

// A time stamp the service cannot have meant (pandas' NaT arrives as a time
// in 1677): the whole answer is refused rather than stored as such a bar.
void require_times(const quillonc::Table& t) {
  for (std::size_t r = 0; r < t.rows(); ++r)
    if (util::timestamp_date(t.time[r]) < 19000101)
      util::fail(util::ErrorKind::service, "",
                 fmt::format("the service's answer for {} holds a missing time stamp (NaT) in row {}", t.order_book_id, r));
}

// The one rule for a service's real number going into an integer field,
// minute bars and ticks alike: rounded half away from zero (truncation
// would store an open interest of 1234.9999999 as 1234, and 10.23 x 10000
// as 102299). This is llround without its call per value: add the largest
// double below one half, away from zero, and truncate. (Adding 0.5 itself is
// wrong at the edge: 0.49999999999999994 + 0.5 rounds up to 1.0 in
// doubles.) Cheap matters here: this runs for every field of every tick,
// and a longer chain per value leaves fewer of the answer's loads in flight.
inline double half_away_from_zero(double x) {
  constexpr double kBelowHalf = 0.49999999999999994;
  return x < 0 ? x - kBelowHalf : x + kBelowHalf;
}

// The one converter of service rows into records of a layout, minute bars
// and ticks alike, into `out` (reused across calls: the bytes between fields
// are never written, so they stay the zeros the buffer was grown with):
// every field is the service's column of that name times the field's scale;
// "datetime" (YYYYMMDDHHMMSS), "date" and "time" come from the time stamp
// through the host's conversions; a missing "open_interest" column is 0 where
// the caller allows it (ticks). Integer fields are rounded half away from
// zero (half_away_from_zero); a value a field cannot hold refuses the answer.
//
// The layout is only known at run time, so the work goes field by field over
// the whole day: each inner loop has one scale and one field type and reads
// one column as a single sequential stream (the answer is far larger than
// the caches; thirty streams at once, row by row, run at half the speed),
// while the day's records stay in the second-level cache for the compressor.
// A day's rows are a few runs of the answer (a repeated time stamp drops a
// row); each run is read in place.
class RecordConverter {
 public:
  RecordConverter(tessal::Host& host, const RecordLayout& layout, const quillonc::Table& t, bool open_interest_may_miss)
      : host_(host), t_(t), itemsize_(layout.type.size()) {
    for (const auto& f : layout.fields) {
      Plan p{Source::column, nullptr, f.scale, f.kind, f.offset, f.name};
      const std::string_view name = f.name;
      if (name == "datetime") p.source = Source::datetime;
      else if (name == "date") p.source = Source::date;
      else if (name == "time") p.source = Source::time;
      else if (name == "open_interest" && open_interest_may_miss && !t.column(name)) p.source = Source::zero;
      else p.column = require_column(t, std::string(name)).data();
      stamps_ |= p.source == Source::datetime ? kDatetime : p.source == Source::date || p.source == Source::time ? kDayAndTime : 0;
      plans_.push_back(p);
    }
  }

  // Records of `rows` (ascending answer rows) in `out`, rows.size() x itemsize bytes.
  void convert(const std::vector<std::size_t>& rows, std::vector<char>& out) {
    const std::size_t n = rows.size();
    if (out.size() < n * itemsize_) out.resize(n * itemsize_);
    runs_.clear();
    for (std::size_t i = 0; i < n; ++i)
      if (i == 0 || rows[i] != rows[i - 1] + 1) runs_.push_back({i, 0});
      else ++runs_.back().second;
    fill_stamps(rows);
    for (const Plan& p : plans_) {
      char* dst = out.data() + p.offset;
      switch (p.source) {
        case Source::datetime:
          if (const std::size_t bad = store(p, datetimes_.data(), n, dst); bad < n) refuse_value(t_, p.name, rows[bad], datetimes_[bad]);
          break;
        case Source::date: store(p, dates_.data(), n, dst); break;
        case Source::time: store(p, times_.data(), n, dst); break;
        case Source::zero: store(p, zeros_.data(), n, dst); break;
        case Source::column:
          for (const auto& [first, more] : runs_)
            if (const std::size_t bad = store(p, p.column + rows[first], more + 1, dst + first * itemsize_); bad <= more)
              refuse_value(t_, p.name, rows[first] + bad, p.column[rows[first] + bad] * p.scale);
          break;
      }
    }
  }

 private:
  enum class Source { datetime, date, time, column, zero };
  static constexpr unsigned kDatetime = 1, kDayAndTime = 2;
  struct Plan {
    Source source;
    const double* column;
    double scale;
    FieldKind kind;
    std::size_t offset;
    std::string_view name;
  };

  // Stores `n` values; the position of the first one the field's type
  // cannot hold (n when all fit).
  std::size_t store(const Plan& p, const double* v, std::size_t n, char* dst) const {
    using K = FieldKind;
    switch (p.kind) {
      case K::f64: return store_as<double, false>(v, n, p.scale, dst);
      case K::f32: return store_as<float, false>(v, n, p.scale, dst);
      case K::i64: return store_as<std::int64_t, true>(v, n, p.scale, dst);
      case K::i32: return store_as<std::int32_t, true>(v, n, p.scale, dst);
      case K::i16: return store_as<std::int16_t, true>(v, n, p.scale, dst);
      case K::i8: return store_as<std::int8_t, true>(v, n, p.scale, dst);
      case K::u64: return store_as<std::uint64_t, true>(v, n, p.scale, dst);
      case K::u32: return store_as<std::uint32_t, true>(v, n, p.scale, dst);
      case K::u16: return store_as<std::uint16_t, true>(v, n, p.scale, dst);
      case K::u8: return store_as<std::uint8_t, true>(v, n, p.scale, dst);
    }
    return n;
  }

  // An integer field takes only finite values its type holds once rounded:
  // anything else (NaN, infinity, too large) would be stored as garbage.
  // Checked without a branch per value; the caller refuses the answer.
  template <class T, bool kRound>
  std::size_t store_as(const double* v, std::size_t n, double scale, char* dst) const {
    bool all_fit = true;
    for (std::size_t r = 0; r < n; ++r, dst += itemsize_) {
      const double x = v[r] * scale;
      T out;
      if constexpr (kRound) {
        const double rounded = half_away_from_zero(x);
        all_fit &= fits<T>(rounded);
        out = fits<T>(rounded) ? static_cast<T>(rounded) : T{};
      } else {
        out = static_cast<T>(x);
      }
      std::memcpy(dst, &out, sizeof out);
    }
    if (all_fit) return n;
    for (std::size_t r = 0; r < n; ++r)
      if (!fits<T>(half_away_from_zero(v[r] * scale))) return r;
    return n;
  }

  // The time stamp's numbers the layout holds. Ticks of a day share their
  // calendar date: it is converted once per date. (YYYYMMDDHHMMSS is exact
  // in a double: below 2^53.)
  void fill_stamps(const std::vector<std::size_t>& rows) {
    zeros_.assign(rows.size(), 0.0);
    if (stamps_ & kDatetime) {
      datetimes_.resize(rows.size());
      for (std::size_t r = 0; r < rows.size(); ++r) datetimes_[r] = static_cast<double>(host_.convert_dt_to_int(t_.time[rows[r]]));
    }
    if (!(stamps_ & kDayAndTime)) return;
    dates_.resize(rows.size());
    times_.resize(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const util::Timestamp when = t_.time[rows[r]];
      const std::int64_t day = util::floor_div(when, util::kMicrosPerDay);
      if (day != last_day_) last_day_ = day, last_date_ = host_.date_to_number(when);
      dates_[r] = last_date_;
      times_[r] = host_.time_to_number(when);
    }
  }

  tessal::Host& host_;
  const quillonc::Table& t_;
  const std::size_t itemsize_;
  std::vector<Plan> plans_;
  std::vector<std::pair<std::size_t, std::size_t>> runs_;  // (first position, rows after it)
  std::vector<double> datetimes_, dates_, times_, zeros_;
  unsigned stamps_ = 0;
  std::int64_t last_day_ = INT64_MIN;
  double last_date_ = 0;
};

// Service rows -> records of `layout` and the index of their trading days.
Fetched convert_bars(tessal::Host& host, const quillonc::Table& t, const RecordLayout& layout) {
  require_times(t);
  const auto rows = unique_rows_by_time(t, /*keep_last=*/false);
  if (t.trading_date && t.trading_date->size() != t.rows()) util::fail(util::ErrorKind::service, "", "the service's trading_date column is incomplete");
  Fetched f;
  f.rows = rows.size();
  RecordConverter(host, layout, t, /*open_interest_may_miss=*/false).convert(rows, f.data);
  f.data.resize(rows.size() * layout.itemsize);
  std::unordered_set<std::int32_t> seen_days;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::size_t src = rows[r];
    const std::int32_t day = host.date_to_number(t.trading_date ? (*t.trading_date)[src] : t.time[src]);
    if (seen_days.insert(day).second) {
      if (r > UINT32_MAX) util::fail(util::ErrorKind::damaged, "", "too many bars for a 32-bit line_no");
      f.index.push_back({day, static_cast<std::uint32_t>(r)});
    }
  }
  return f;
}

// _append: grows a resizable one-dimensional dataset by `rows` records.
void _append(h5::Dataset& origin, const void* rows_data, hsize_t rows, hid_t memtype) {
  const hsize_t n = origin.size();
  origin.resize(n + rows);
  origin.write_rows(n, rows, rows_data, memtype);
}

void create_minbar_datasets(h5::File& f, const Fetched& fetched, const RecordLayout& layout) {
  h5::DatasetOptions data_opts{true, kDataChunkRows, 9, std::nullopt};
  h5::DatasetOptions index_opts{true, kIndexChunkRows, 9, std::nullopt};
  f.create_dataset("data", layout.type, fetched.data.data(), fetched.rows, data_opts);
  f.create_dataset("index", INDEX_DTYPE().type, fetched.index.data(), fetched.index.size(), index_opts);
}

std::int64_t datetime_at(const h5::Dataset& data, hsize_t row) {
  static const h5::Type mem = h5::Type::column("datetime", H5T_NATIVE_INT64);
  std::int64_t v = 0;
  data.read_rows(row, 1, &v, mem.get());
  return v;
}

// Whether the file stores `ds`'s records exactly as `layout` lays them out
// (members, order, types): then its stored bytes are the records.
bool stored_as(const h5::Dataset& ds, const RecordLayout& layout) { return H5Tequal(ds.type().get(), layout.type.get()) > 0; }

IndexRecord index_at(const h5::Dataset& index, hsize_t row) {
  IndexRecord r{};
  index.read_rows(row, 1, &r, INDEX_DTYPE().type.get());
  return r;
}

// First row in [0, n) whose key is at least `bound` (rows ascend by key).
hsize_t lower_bound_rows(hsize_t n, std::int64_t bound, const std::function<std::int64_t(hsize_t)>& key) {
  hsize_t lo = 0, hi = n;
  while (lo < hi) {
    const hsize_t mid = lo + (hi - lo) / 2;
    if (key(mid) < bound) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

std::int32_t parse_de_listed(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (c != '-') digits += c;
  try {
    std::size_t used = 0;
    const long v = std::stol(digits, &used);
    if (used == digits.size()) return static_cast<std::int32_t>(v);
  } catch (const std::exception&) {
  }
  util::fail(util::ErrorKind::service, "", fmt::format("invalid de_listed_date '{}'", text));
}

// What the service says of one instrument: where its file lives, how its
// records look, which market to ask and when it stopped trading.
struct Resolved {
  const InstrumentClass* cls;
  std::string market;
  std::int32_t de_listed_date = 0;  // 0 while listed
};

// The service's market of an instrument: Hong Kong's ids end in .XHKG.
std::string market_of(const std::string& order_book_id) { return ends_with(order_book_id, ".XHKG") ? "hk" : "cn"; }

// Looks the instrument up. Nothing when there is nothing to store: a type
// without a minute-bar store, or de-listed before MIN_START_DATE. Throws
// for an unknown id.
std::optional<Resolved> resolve_instrument(quillonc::Client& client, const std::string& order_book_id) {
  Resolved r;
  r.market = market_of(order_book_id);
  const auto records = client.instruments(order_book_id, r.market);
  if (records.empty()) util::fail(util::ErrorKind::invalid_input, "", "标的 " + order_book_id + " 不存在");
  if (records.size() > 1) {
    // A re-listed id: de-listed only when every listing ended, then on the latest day.
    const bool listed = std::any_of(records.begin(), records.end(), [](const auto& x) { return x.de_listed_date == "0000-00-00"; });
    if (!listed) {
      const auto latest = std::max_element(records.begin(), records.end(),
                                           [](const auto& a, const auto& b) { return a.de_listed_date < b.de_listed_date; });
      r.de_listed_date = parse_de_listed(latest->de_listed_date);
    }
  } else {
    r.de_listed_date = parse_de_listed(records.front().de_listed_date);
  }
  if (r.de_listed_date != 0 && r.de_listed_date < MIN_START_DATE) return std::nullopt;
  r.cls = instrument_class(records.front().type);
  if (!r.cls) return std::nullopt;
  return r;
}

// The last day an update fetches: the update horizon, or the de-listing
// day once past.
std::int32_t fetch_end(const Run& run, const Resolved& r) {
  // One look at the host's clock (a call into Python in the package).
  const util::Timestamp now = run.host.datetime_now();
  return r.de_listed_date != 0 && r.de_listed_date < util::timestamp_date(now) ? r.de_listed_date : end_date_at(now);
}

// _get_price: the bars from `start_date` to `end`, as records; nothing
// when there are none.
std::optional<Fetched> fetch_bars(const Run& run, const std::string& order_book_id, const Resolved& r, std::int32_t start_date,
                                  std::int32_t end) {
  if (end < start_date) return std::nullopt;
  auto table = run.client.get_price(order_book_id, start_date, end, quillonc::Frequency::minute, r.market);
  if (!table || table->empty()) return std::nullopt;
  return convert_bars(run.host, *table, r.cls->layout());
}

// The last indexed trading day and its first row; MIN_START_DATE and 0 for
// an empty index.
IndexRecord latest_indexed(const h5::Dataset& index) {
  const hsize_t n = index.size();
  if (n == 0) return {MIN_START_DATE, 0};
  IndexRecord r{};
  if (stored_as(index, INDEX_DTYPE()) && h5::read_stored_row(index, INDEX_DTYPE().type, n - 1, sizeof r, &r)) return r;
  return index_at(index, n - 1);
}

// An update stopped between its two appends leaves `index` and `data`
// ending on different days. Both are cut back at the first indexed trading
// day on or after the earlier of the two, and that day is fetched again
// whole. `data` is cut at that day's line_no, not by calendar date: the
// night bars of a futures or options trading day carry the previous
// calendar date, and cutting by date would keep them and fetch them again.
// The calendar date of `data`'s last bar; MIN_START_DATE when it has none.
std::int64_t last_bar_date(const h5::Dataset& data, const RecordLayout& layout) {
  const hsize_t rows = data.size();
  if (rows == 0) return MIN_START_DATE;
  if (stored_as(data, layout)) {
    std::vector<char> record(layout.itemsize);
    if (h5::read_stored_row(data, layout.type, rows - 1, layout.itemsize, record.data())) {
      // `datetime` leads every minute-bar layout.
      std::int64_t v = 0;
      std::memcpy(&v, record.data() + layout.fields.front().offset, sizeof v);
      return v / 1000000;
    }
  }
  return datetime_at(data, rows - 1) / 1000000;
}

void repair_interrupted_append(h5::Dataset& index, h5::Dataset& data, const RecordLayout& layout) {
  const std::int32_t latest_date = latest_indexed(index).date;
  const hsize_t data_rows = data.size();
  const std::int64_t data_date = last_bar_date(data, layout);
  if (latest_date == data_date) return;
  const std::int64_t min_date = std::min<std::int64_t>(latest_date, data_date);
  const hsize_t keep_index = lower_bound_rows(index.size(), min_date, [&](hsize_t r) { return index_at(index, r).date; });
  const hsize_t keep_data = keep_index < index.size() ? std::min<hsize_t>(index_at(index, keep_index).line_no, data_rows)
                                                      : (index.size() == 0 ? 0 : data_rows);
  data.resize(keep_data);
  index.resize(keep_index);
}

// A file this writer can continue: `index` and `data` with the members it
// reads and writes, of sizes the file can hold. Anything else is damaged, reported as such instead of
// being rewritten on every run.
void require_members(const h5::Dataset& index, const h5::Dataset& data, const RecordLayout& layout, const std::string& path) {
  const h5::Type index_type = index.type(), data_type = data.type();
  for (const auto& f : INDEX_DTYPE().fields)
    if (!index_type.has_member(f.name)) util::fail(util::ErrorKind::damaged, path, fmt::format("'index' of '{}' has no member '{}'", path, f.name));
  for (const auto& f : layout.fields)
    if (!data_type.has_member(f.name)) util::fail(util::ErrorKind::damaged, path, fmt::format("'data' of '{}' has no member '{}'", path, f.name));
}

void require_layout(const h5::Dataset& index, const h5::Dataset& data, const RecordLayout& layout, const std::string& path) {
  require_members(index, data, layout, path);
  // Sizes a damaged header declares are refused before anything is searched.
  index.checked_size(sizeof(IndexRecord));
  data.checked_size(data.type().size());
}

// Appends fetched days after the rows `data` holds now.
void append_days(h5::Dataset& index, h5::Dataset& data, Fetched& more, const RecordLayout& layout) {
  const hsize_t offset = data.size();
  for (auto& r : more.index) {
    if (offset + r.line_no > UINT32_MAX) util::fail(util::ErrorKind::damaged, "", "too many bars for a 32-bit line_no");
    r.line_no += static_cast<std::uint32_t>(offset);
  }
  _append(index, more.index.data(), more.index.size(), INDEX_DTYPE().type.get());
  _append(data, more.data.data(), more.rows, layout.type.get());
}

// Where an update of a file whose last indexed day is `latest_date` goes
// on: nothing to do, or the days to fetch.
struct Resume {
  bool up_to_date = false;
  std::int32_t start = 0, end = 0;
};

Resume resume_after(const Run& run, const Resolved& r, std::int32_t latest_date) {
  if (r.de_listed_date != 0 && latest_date >= r.de_listed_date) return {true, 0, 0};
  const std::int32_t start = run.client.get_next_trading_date(latest_date, r.market);
  const std::int32_t end = fetch_end(run, r);
  return {end < start, start, end};
}

// Most files are up to date on most runs: that is found on a read-only
// open (a shared lock, no journal, nothing the open could write). False
// when there is something to do, or it takes a writer to tell: no index,
// an interrupted append to repair, or a file that does not open or read
// cleanly (the writer's open reports why).
//
// The look reads two rows, the last of each dataset, so it leaves out what
// only guards a search (the declared sizes against the stored bytes: a
// row past the stored chunks reads as zeros, which is never up to date) and
// the existence tests (a missing dataset fails its open). The members it
// reads are still required: a record without them would read as zeros too,
// but the writer's open is what says why.
bool up_to_date_read_only(const Run& run, const std::string& path, const Resolved& r) {
  std::int32_t latest_date = 0;
  try {
    const h5::File f = h5::File::open(path, h5::Mode::read);
    const h5::Dataset index = f.open_dataset("index");
    const h5::Dataset data = f.open_dataset("data");
    require_members(index, data, r.cls->layout(), path);
    latest_date = latest_indexed(index).date;
    if (latest_date != last_bar_date(data, r.cls->layout())) return false;  // an interrupted append: the writer repairs it
  } catch (const util::Error&) {
    return false;
  }
  return resume_after(run, r, latest_date).up_to_date;
}

// Brings an existing minute-bar file up to date from the day after its
// last indexed day, as found under the writer's lock (another run may have
// appended since a look without it).
void update_minbar_file(const Run& run, h5::File& f, const std::string& order_book_id, const Resolved& r, std::int32_t min_start_date) {
  if (!f.contains("index")) {
    // A file without an index cannot be continued: fill it anew.
    const auto fetched = fetch_bars(run, order_book_id, r, min_start_date, fetch_end(run, r));
    if (f.contains("data")) f.unlink("data");
    if (fetched) create_minbar_datasets(f, *fetched, r.cls->layout());
    return;
  }
  h5::Dataset index = f.open_dataset("index");
  h5::Dataset data = f.open_dataset("data");
  require_layout(index, data, r.cls->layout(), f.path());
  repair_interrupted_append(index, data, r.cls->layout());
  const std::int32_t latest_date = latest_indexed(index).date;
  const Resume resume = resume_after(run, r, latest_date);
  if (resume.up_to_date) return;
  if (auto more = fetch_bars(run, order_book_id, r, resume.start, resume.end)) append_days(index, data, *more, r.cls->layout());
}

}  // namespace

std::optional<std::vector<char>> fetch_day_records(const Run& run, const std::string& order_book_id, const RecordLayout& layout,
                                                   std::int32_t day) {
  const auto table = run.client.get_price(order_book_id, day, day, quillonc::Frequency::minute, market_of(order_book_id));
  if (!table || table->empty()) return std::nullopt;
  return convert_bars(run.host, *table, layout).data;
}

void remove_unfinished_files(const std::string& path) {
  std::vector<std::string> folders = list_folders(path);
  folders.push_back(path);
  for (const auto& folder : folders) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
      const std::string name = e.path().filename().string();
      // Only files nobody holds: another run's writer may be filling its own.
      if (name.size() > 1 && name[0] == '.' && name.find(kTempSuffix) != std::string::npos) h5::remove_if_unheld(e.path().string());
    }
  }
}

TaskOutcome _append_h5(const Run& run, const std::string& order_book_id, const std::string& path, const std::optional<std::string>& file_name,
                               std::int32_t min_start_date, bool rebuild) {
  const TaskOutcome nothing{order_book_id, TaskStatus::up_to_date, "", ""};
  const auto resolved = resolve_instrument(run.client, order_book_id);
  if (!resolved) return nothing;
  const RecordLayout& layout = resolved->cls->layout();
  const std::string folder = join(path, resolved->cls->folder);
  fs::create_directories(folder);
  const std::string name = file_name_or_default(file_name, order_book_id);
  const std::string file_path = join(folder, name);

  if (rebuild || !file_exists(file_path)) {
    // A new or refilled file is written whole under a temporary name; a
    // rebuild that finds no bars removes the old file. Its first fetch comes
    // before any file is opened: what fails there (the client's error, an
    // answer refused) reaches the caller with the run's flag as it was.
    auto fetched = fetch_bars(run, order_book_id, *resolved, min_start_date, fetch_end(run, *resolved));
    if (!fetched) {
      if (!rebuild) return nothing;
      remove_h5(file_path);
      return {order_book_id, TaskStatus::written, "", ""};
    }
    return run_logged(run, order_book_id, file_path, false, [&] {
      write_via_temp(folder, name, [&](h5::File& f) { create_minbar_datasets(f, *fetched, layout); });
    });
  }
  const h5::Mode mode = update_mode(run.host, file_path);
  return run_logged(run, order_book_id, file_path, false, [&] {
    if (mode != h5::Mode::read && up_to_date_read_only(run, file_path, *resolved)) return;
    h5::File f = h5::File::open(file_path, mode);
    update_minbar_file(run, f, order_book_id, *resolved, min_start_date);
    f.close();
  });
}

// ---------------------------------------------------------------------------
// Ticks
// ---------------------------------------------------------------------------

namespace {


// The rows of the service's tick table by trading day, days ascending, rows
// in delivery order; of repeated time stamps only the last tick counts.
std::map<std::int32_t, std::vector<std::size_t>> ticks_by_day(tessal::Host& host, const quillonc::Table& ticks) {
  if (!ticks.trading_date || ticks.trading_date->size() != ticks.rows())
    util::fail(util::ErrorKind::service, "", "the service's tick table has no trading_date column");
  std::vector<std::size_t> keep = unique_rows_by_time(ticks, /*keep_last=*/true);
  if (!std::is_sorted(keep.begin(), keep.end())) std::sort(keep.begin(), keep.end());
  std::map<std::int32_t, std::vector<std::size_t>> by_day;
  // The trading date repeats for a whole day: converted once per run of it.
  const auto& trading = *ticks.trading_date;
  util::Timestamp last_stamp = 0;
  std::vector<std::size_t>* group = nullptr;
  for (std::size_t r : keep) {
    if (!group || trading[r] != last_stamp) last_stamp = trading[r], group = &by_day[host.date_to_number(last_stamp)];
    group->push_back(r);
  }
  require_times(ticks);
  return by_day;
}

// The last stored trading day; MIN_START_DATE-style `fallback` for a file
// without days. A dataset not named after a day that can have been stored
// ("abc", "99991231") makes the file damaged: continuing after it would
// stop or break every later update.
std::int32_t last_stored_day(tessal::Host& host, const std::vector<std::string>& names, std::int32_t fallback) {
  const std::int32_t latest = latest_storable_day(util::timestamp_date(host.datetime_now()));
  std::int32_t last = 0;
  for (const auto& name : names) {
    const auto day = tick_day(name, latest);
    if (!day) util::fail(util::ErrorKind::damaged, "", fmt::format("invalid literal for a trading day: '{}'", name));
    last = std::max(last, *day);
  }
  return names.empty() ? fallback : last;
}

void update_tick_file(const Run& run, h5::File& f, const std::string& order_book_id, std::int32_t min_start_date) {
  auto& q = run.client;
  const RecordLayout& layout = run.host.tick_layout();
  const auto names = f.root_names();
  const std::int32_t start = last_stored_day(run.host, names, min_start_date);
  const std::int32_t end = _get_end_date(run.host);
  if (end < start) return;
  const auto day_bars = names.empty() ? q.get_price(order_book_id, start, end, quillonc::Frequency::day)
                                       : q.day_bars_since_stored(order_book_id, start, end);
  if (!day_bars || day_bars->empty()) return;
  std::vector<std::int32_t> days;
  for (auto t : day_bars->time) days.push_back(util::timestamp_date(t));
  std::sort(days.begin(), days.end());
  days.erase(std::unique(days.begin(), days.end()), days.end());

  std::vector<char> records;
  for (std::size_t c = 0; c < days.size(); c += TICK_DATE_CHUNK_SIZE) {
    const std::int32_t first = days[c], last = days[std::min(days.size(), c + TICK_DATE_CHUNK_SIZE) - 1];
    run.console.line(util::format_dashed(first) + " " + util::format_dashed(last));
    const auto ticks = q.get_price(order_book_id, first, last, quillonc::Frequency::tick);
    if (!ticks || ticks->empty()) continue;
    const auto by_day = ticks_by_day(run.host, *ticks);
    RecordConverter converter(run.host, layout, *ticks, /*open_interest_may_miss=*/true);
    for (const auto& [day, rows] : by_day) {
      converter.convert(rows, records);
      const std::string name = util::format_compact(day);
      if (f.contains(name)) f.unlink(name);
      f.create_dataset(name, layout.type, records.data(), rows.size(), h5::DatasetOptions{false, 0, -1, run.compression()});
    }
  }

  const auto instrument = q.instruments(order_book_id);
  if (!instrument.empty() && instrument.back().type == tessal::INSTRUMENT_TYPE::CS) {
    std::vector<std::pair<std::int32_t, bool>> suspended;
    {
      const tessal::IgnoreWarnings quiet(run.host);
      suspended = q.is_suspended(order_book_id, start, end);
    }
    for (const auto& [day, is_suspended] : suspended) {
      if (!is_suspended) continue;
      const std::string name = util::format_compact(day);
      if (!f.contains(name)) f.create_dataset(name, layout.type, nullptr, 0, h5::DatasetOptions{});
    }
  }
}

}  // namespace

std::optional<std::vector<char>> fetch_tick_day_records(const Run& run, const std::string& order_book_id, std::int32_t day) {
  const auto ticks = run.client.get_price(order_book_id, day, day, quillonc::Frequency::tick);
  if (!ticks || ticks->empty()) return std::nullopt;
  const auto by_day = ticks_by_day(run.host, *ticks);
  const auto it = by_day.find(day);
  if (it == by_day.end()) return std::nullopt;
  std::vector<char> records;
  RecordConverter(run.host, run.host.tick_layout(), *ticks, /*open_interest_may_miss=*/true).convert(it->second, records);
  return records;
}

TaskOutcome _append_h5_tick(const Run& run, const std::string& order_book_id, const std::string& path,
                                    const std::optional<std::string>& file_name, std::int32_t min_start_date, bool rebuild) {
  fs::create_directories(path);
  const std::string name = file_name_or_default(file_name, order_book_id);
  const std::string file_path = join(path, name);
  if (rebuild || !file_exists(file_path)) {
    // A new or rebuilt file is filled under a temporary name and appears
    // under its own only when complete; the old one stays until then.
    return run_logged(run, order_book_id, file_path, true, [&] {
      write_via_temp(path, name, [&](h5::File& f) { update_tick_file(run, f, order_book_id, min_start_date); });
    });
  }
  const h5::Mode mode = update_mode(run.host, file_path);
  return run_logged(run, order_book_id, file_path, true, [&] {
    h5::File f = h5::File::open(file_path, mode);
    update_tick_file(run, f, order_book_id, min_start_date);
    f.close();
  });
}

}  // namespace tessal_plus::bundle
