#include "tessal_plus/bundle/writers.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <system_error>
#include <unordered_set>

#include <fmt/format.h>

#include "tessal/ticks_layout.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"

namespace tessal_plus::bundle {
namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Update horizon and removal
// ---------------------------------------------------------------------------

std::int32_t _get_end_date() {
  const util::Timestamp now = tessal::datetime_now();
  const std::int32_t today = util::timestamp_date(now);
  const util::Timestamp cutoff = util::make_timestamp(today, 17, 30);
  return now > cutoff ? today : util::add_days(today, -1);
}

void remove_h5(const std::string& h5_file) {
  if (::unlink(h5_file.c_str()) != 0 && errno != ENOENT)
    throw std::system_error(errno, std::generic_category(), fmt::format("cannot delete '{}'", h5_file));
}

namespace {

bool file_exists(const std::string& p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0;
}

std::string file_name_or_default(const std::optional<std::string>& file_name, const std::string& order_book_id) {
  return file_name && !file_name->empty() ? *file_name : fmt::format("{}.h5", order_book_id);
}

// A rebuild fills this file first and renames it over the real one, so the
// old file survives any failure of the refill. Its name starts with a dot and
// does not end in ".h5": no store listing ever picks it up.
std::string rebuild_temp_path(const std::string& folder, const std::string& name) { return join(folder, "." + name + ".rebuild"); }

const char* const kOsFailure = " 失败，请检查文件的权限以及是否被其他进程占用\n";
const char* const kDamaged = " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\n";
const char* const kNoPermission = " 失败，您没有相关数据的使用权限，可联系星桥科技开通相关权限：0000-00000000";

// Whether an error is an operating-system error: the file could not be
// opened because of its permissions or because another process holds it.
bool is_os_error(const std::exception& e) {
  if (const auto* h = dynamic_cast<const h5::Error*>(&e)) return h->is_os_error();
  return dynamic_cast<const std::system_error*>(&e) != nullptr;
}

// Runs `body` with the caught-failure rules of both writers: one log line
// and the run's flag cleared. With `permission_message`, the service's
// refusal has a message of its own.
bool run_logged(const std::string& file_path, tessal::SharedFlag* sval, bool permission_message,
                const std::function<void()>& body) {
  try {
    body();
    return true;
  } catch (const quillonc::PermissionDenied& e) {
    if (permission_message) tessal::system_log::error("更新 " + file_path + kNoPermission);
    else tessal::system_log::error("更新 " + file_path + kDamaged + e.what());
  } catch (const std::exception& e) {
    tessal::system_log::error("更新 " + file_path + (is_os_error(e) ? kOsFailure : kDamaged) + e.what());
  }
  sval->value.store(false);
  return false;
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

struct FieldSlot {
  std::size_t offset;
  bool integer;
};

struct BarLayout {
  const RecordLayout* layout;
  std::vector<FieldSlot> slots;  // one per field after `datetime`
};

const BarLayout& equities_layout() {
  static const BarLayout l{&EQUITIES_DTYPE(),
                           {{offsetof(EquitiesBar, open), false},
                            {offsetof(EquitiesBar, high), false},
                            {offsetof(EquitiesBar, low), false},
                            {offsetof(EquitiesBar, close), false},
                            {offsetof(EquitiesBar, volume), false},
                            {offsetof(EquitiesBar, total_turnover), false}}};
  return l;
}

const BarLayout& derivatives_layout() {
  static const BarLayout l{&DERIVATIVES_DTYPE(),
                           {{offsetof(DerivativesBar, open), false},
                            {offsetof(DerivativesBar, high), false},
                            {offsetof(DerivativesBar, low), false},
                            {offsetof(DerivativesBar, close), false},
                            {offsetof(DerivativesBar, open_interest), true},
                            {offsetof(DerivativesBar, volume), false},
                            {offsetof(DerivativesBar, total_turnover), false}}};
  return l;
}

// One fetch: `index` and `data` rows ready to be written.
struct Fetched {
  std::vector<IndexRecord> index;
  std::vector<char> data;  // rows x itemsize
  std::size_t rows = 0;
};

// Rows of `t` in ascending time, keeping the first row of each time stamp
// (`keep_last` keeps the last instead).
std::vector<std::size_t> unique_rows_by_time(const quillonc::Table& t, bool keep_last) {
  std::vector<std::size_t> order(t.rows());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  // The service answers in time order; sort only an answer that is not.
  if (!std::is_sorted(t.time.begin(), t.time.end()))
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return t.time[a] < t.time[b]; });
  std::vector<std::size_t> out;
  out.reserve(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    const bool dup_next = i + 1 < order.size() && t.time[order[i + 1]] == t.time[order[i]];
    const bool dup_prev = !out.empty() && t.time[out.back()] == t.time[order[i]];
    if (keep_last ? !dup_next : !dup_prev) out.push_back(order[i]);
  }
  return out;
}

const std::vector<double>& require_column(const quillonc::Table& t, const std::string& name) {
  if (const auto* c = t.column(name)) {
    if (c->size() != t.rows()) throw std::runtime_error(fmt::format("column '{}' of the service's table has {} rows, expected {}", name, c->size(), t.rows()));
    return *c;
  }
  throw std::runtime_error(fmt::format("the service's table has no column '{}'", name));
}

Fetched convert_bars(const quillonc::Table& t, const BarLayout& bl) {
  const auto rows = unique_rows_by_time(t, /*keep_last=*/false);
  Fetched f;
  f.rows = rows.size();
  const std::size_t size = bl.layout->itemsize;
  f.data.assign(rows.size() * size, 0);
  std::vector<const std::vector<double>*> cols;
  for (std::size_t k = 1; k < bl.layout->fields.size(); ++k) cols.push_back(&require_column(t, bl.layout->fields[k]));
  if (t.trading_date && t.trading_date->size() != t.rows()) throw std::runtime_error("the service's trading_date column is incomplete");
  std::unordered_set<std::int32_t> seen_days;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::size_t src = rows[r];
    char* rec = f.data.data() + r * size;
    const std::int64_t dt = tessal::convert_dt_to_int(t.time[src]);
    std::memcpy(rec, &dt, sizeof dt);
    for (std::size_t k = 0; k < cols.size(); ++k) {
      const double v = (*cols[k])[src];
      if (bl.slots[k].integer) {
        const auto iv = static_cast<std::int64_t>(v);
        std::memcpy(rec + bl.slots[k].offset, &iv, sizeof iv);
      } else {
        std::memcpy(rec + bl.slots[k].offset, &v, sizeof v);
      }
    }
    const std::int32_t day = tessal::date_to_number(t.trading_date ? (*t.trading_date)[src] : t.time[src]);
    if (seen_days.insert(day).second) {
      if (r > UINT32_MAX) throw std::runtime_error("too many bars for a 32-bit line_no");
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

void create_minbar_datasets(h5::File& f, const Fetched& fetched, const BarLayout& bl) {
  h5::DatasetOptions data_opts{true, kDataChunkRows, 9, std::nullopt};
  h5::DatasetOptions index_opts{true, kIndexChunkRows, 9, std::nullopt};
  f.create_dataset("data", bl.layout->type, fetched.data.data(), fetched.rows, data_opts);
  f.create_dataset("index", INDEX_DTYPE().type, fetched.index.data(), fetched.index.size(), index_opts);
}

std::int64_t datetime_at(const h5::Dataset& data, hsize_t row) {
  static const h5::Type mem = h5::Type::column("datetime", H5T_NATIVE_INT64);
  std::int64_t v = 0;
  data.read_rows(row, 1, &v, mem.get());
  return v;
}

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
  throw std::invalid_argument(fmt::format("invalid de_listed_date '{}'", text));
}

}  // namespace

void _append_h5(const std::string& order_book_id, const std::string& path, const std::optional<std::string>& file_name,
                std::int32_t min_start_date, bool rebuild) {
  auto& q = quillonc::client();
  const std::string market = ends_with(order_book_id, ".XHKG") ? "hk" : "cn";
  const auto records = q.instruments(order_book_id, market);
  if (records.empty()) throw std::invalid_argument("标的 " + order_book_id + " 不存在");

  std::int32_t de_listed_date = 0;
  std::string ins_type;
  if (records.size() > 1) {
    const bool listed = std::any_of(records.begin(), records.end(), [](const auto& r) { return r.de_listed_date == "0000-00-00"; });
    if (!listed) {
      const auto latest = std::max_element(records.begin(), records.end(),
                                           [](const auto& a, const auto& b) { return a.de_listed_date < b.de_listed_date; });
      de_listed_date = parse_de_listed(latest->de_listed_date);
    }
    ins_type = records.front().type;
  } else {
    de_listed_date = parse_de_listed(records.front().de_listed_date);
    ins_type = records.front().type;
  }
  if (de_listed_date != 0 && de_listed_date < MIN_START_DATE) return;

  const auto& eq = EQUITIES_INS_TYPE();
  const BarLayout* bl = nullptr;
  const char* folder_name = nullptr;
  if (std::find(eq.begin(), eq.end(), ins_type) != eq.end()) bl = &equities_layout(), folder_name = layout::EQUITIES_FOLDER;
  else if (ins_type == tessal::INSTRUMENT_TYPE::FUTURE) bl = &derivatives_layout(), folder_name = layout::FUTURE_FOLDER;
  else if (ins_type == tessal::INSTRUMENT_TYPE::OPTION) bl = &derivatives_layout(), folder_name = layout::OPTION_FOLDER;
  else return;

  const std::string folder = join(path, folder_name);
  fs::create_directories(folder);
  const std::string name = file_name_or_default(file_name, order_book_id);
  const std::string file_path = join(folder, name);

  auto get_price = [&](std::int32_t start_date) -> std::optional<Fetched> {
    const std::int32_t today = util::timestamp_date(tessal::datetime_now());
    const std::int32_t end = de_listed_date != 0 && de_listed_date < today ? de_listed_date : _get_end_date();
    if (end < start_date) return std::nullopt;
    auto table = q.get_price(order_book_id, start_date, end, quillonc::Frequency::minute, market);
    if (!table || table->empty()) return std::nullopt;
    return convert_bars(*table, *bl);
  };

  if (rebuild) {
    // The old file stays until the refilled one is complete.
    auto fetched = get_price(min_start_date);
    if (!fetched) {
      remove_h5(file_path);
      return;
    }
    const std::string temp = rebuild_temp_path(folder, name);
    tessal::SharedFlag* sval = tessal::data::bundle::sval();
    remove_h5(temp);
    const bool ok = run_logged(file_path, sval, false, [&] {
      h5::File f = h5::File::open(temp, h5::Mode::create);
      create_minbar_datasets(f, *fetched, *bl);
      f.close();
      if (::rename(temp.c_str(), file_path.c_str()) != 0)
        throw std::system_error(errno, std::generic_category(), fmt::format("cannot replace '{}'", file_path));
    });
    if (!ok) remove_h5(temp);
    return;
  }

  std::optional<Fetched> fetched;
  if (!file_exists(file_path)) {
    fetched = get_price(min_start_date);
    if (!fetched) return;
  }
  const h5::Mode mode = tessal::get_h5_mode(file_path);
  tessal::SharedFlag* sval = tessal::data::bundle::sval();

  run_logged(file_path, sval, false, [&] {
    h5::File f = h5::File::open(file_path, mode);
    if (!f.contains("index")) {
      if (!fetched) fetched = get_price(min_start_date);
      if (f.contains("data")) f.unlink("data");
      if (fetched) create_minbar_datasets(f, *fetched, *bl);
      f.close();
      return;
    }
    h5::Dataset index = f.open_dataset("index");
    h5::Dataset data = f.open_dataset("data");
    auto latest = [&](std::int32_t& latest_date, hsize_t& latest_index) {
      const hsize_t n = index.size();
      if (n == 0) {
        latest_date = MIN_START_DATE, latest_index = 0;
      } else {
        const IndexRecord r = index_at(index, n - 1);
        latest_date = r.date, latest_index = r.line_no;
      }
    };
    std::int32_t latest_date = 0;
    hsize_t latest_index = 0;
    latest(latest_date, latest_index);
    const hsize_t data_rows = data.size();
    const std::int64_t data_date = data_rows == 0 ? MIN_START_DATE : datetime_at(data, data_rows - 1) / 1000000;
    if (latest_date != data_date) {
      // An update stopped between its two appends: cut both datasets back
      // to the days before the earlier of the two and fetch them again.
      const std::int64_t min_date = std::min<std::int64_t>(latest_date, data_date);
      const hsize_t keep_data = lower_bound_rows(data_rows, min_date, [&](hsize_t r) { return datetime_at(data, r) / 1000000; });
      const hsize_t keep_index = lower_bound_rows(index.size(), min_date, [&](hsize_t r) { return index_at(index, r).date; });
      data.resize(keep_data);
      index.resize(keep_index);
      latest(latest_date, latest_index);
    }
    if (de_listed_date != 0 && latest_date >= de_listed_date) {
      f.close();
      return;
    }
    const std::int32_t start = q.get_next_trading_date(latest_date, market);
    auto more = get_price(start);
    if (more) {
      // New rows land after the rows `data` holds now.
      const hsize_t offset = data.size();
      for (auto& r : more->index) {
        if (offset + r.line_no > UINT32_MAX) throw std::runtime_error("too many bars for a 32-bit line_no");
        r.line_no += static_cast<std::uint32_t>(offset);
      }
      _append(index, more->index.data(), more->index.size(), INDEX_DTYPE().type.get());
      _append(data, more->data.data(), more->rows, bl->layout->type.get());
    }
    f.close();
  });
}

// ---------------------------------------------------------------------------
// Ticks
// ---------------------------------------------------------------------------

namespace {

// Converts the rows of one trading day into tick records: every column of
// the loader's layout times its scale factor. Integer fields are rounded to
// the nearest integer: truncation would store 10.23 x 10000 as 102299.
// Work goes field by field over blocks of rows: each inner loop has one
// scale and one field type, and a block of records stays in cache.
std::vector<tessal::TickRecord> tick_records(const quillonc::Table& t, const std::vector<std::size_t>& rows) {
  const auto& fields = tessal::H5TicksLoader::FIELDS();
  enum class Source { date, time, column, zero };
  std::vector<Source> source(fields.size(), Source::column);
  std::vector<const double*> cols(fields.size(), nullptr);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string_view name = fields[i].name;
    if (name == "date") source[i] = Source::date;
    else if (name == "time") source[i] = Source::time;
    else if (name == "open_interest" && !t.column(name)) source[i] = Source::zero;  // absent: 0 in every row
    else cols[i] = require_column(t, std::string(name)).data();
  }
  std::vector<tessal::TickRecord> out(rows.size());
  constexpr std::size_t kBlock = 256;
  double values[kBlock];
  for (std::size_t b = 0; b < rows.size(); b += kBlock) {
    const std::size_t n = std::min(kBlock, rows.size() - b);
    const std::size_t* idx = rows.data() + b;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const auto& f = fields[i];
      switch (source[i]) {
        case Source::date:
          for (std::size_t r = 0; r < n; ++r) values[r] = tessal::date_to_number(t.time[idx[r]]);
          break;
        case Source::time:
          for (std::size_t r = 0; r < n; ++r) values[r] = tessal::time_to_number(t.time[idx[r]]);
          break;
        case Source::column:
          for (std::size_t r = 0; r < n; ++r) values[r] = cols[i][idx[r]];
          break;
        case Source::zero:
          std::fill(values, values + n, 0.0);
          break;
      }
      char* base = reinterpret_cast<char*>(out.data() + b) + f.offset;
      for (std::size_t r = 0; r < n; ++r) {
        const double v = values[r] * f.scale;
        // Half away from zero, as llround, without its call per value.
        const double rounded = v < 0 ? v - 0.5 : v + 0.5;
        char* dst = base + r * sizeof(tessal::TickRecord);
        if (f.kind == tessal::FieldKind::f64) {
          std::memcpy(dst, &v, sizeof v);
        } else if (f.kind == tessal::FieldKind::i64) {
          const auto iv = static_cast<std::int64_t>(rounded);
          std::memcpy(dst, &iv, sizeof iv);
        } else {
          const auto iv = static_cast<std::int32_t>(rounded);
          std::memcpy(dst, &iv, sizeof iv);
        }
      }
    }
  }
  return out;
}

std::int32_t parse_day_name(const std::string& name) {
  if (name.size() == 8 && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::stoi(name);
  throw std::invalid_argument(fmt::format("invalid literal for a trading day: '{}'", name));
}

void update_tick_file(h5::File& f, const std::string& order_book_id, std::int32_t min_start_date) {
  auto& q = quillonc::client();
  const auto names = f.root_names();
  const std::int32_t start = names.empty() ? min_start_date : parse_day_name(*std::max_element(names.begin(), names.end()));
  const std::int32_t end = _get_end_date();
  if (end < start) return;
  const auto day_bars = q.get_price(order_book_id, start, end, quillonc::Frequency::day);
  if (!day_bars || day_bars->empty()) return;
  std::vector<std::int32_t> days;
  for (auto t : day_bars->time) days.push_back(util::timestamp_date(t));
  std::sort(days.begin(), days.end());
  days.erase(std::unique(days.begin(), days.end()), days.end());

  for (std::size_t c = 0; c < days.size(); c += TICK_DATE_CHUNK_SIZE) {
    const std::int32_t first = days[c], last = days[std::min(days.size(), c + TICK_DATE_CHUNK_SIZE) - 1];
    print_line(util::format_dashed(first) + " " + util::format_dashed(last));
    const auto ticks = q.get_price(order_book_id, first, last, quillonc::Frequency::tick);
    if (!ticks || ticks->empty()) continue;
    if (!ticks->trading_date || ticks->trading_date->size() != ticks->rows())
      throw std::runtime_error("the service's tick table has no trading_date column");
    // Of repeated time stamps only the last tick counts; then one group per
    // trading day, in ascending order, rows in delivery order.
    std::vector<std::size_t> keep = unique_rows_by_time(*ticks, /*keep_last=*/true);
    if (!std::is_sorted(keep.begin(), keep.end())) std::sort(keep.begin(), keep.end());
    std::map<std::int32_t, std::vector<std::size_t>> by_day;
    for (std::size_t r : keep) by_day[tessal::date_to_number((*ticks->trading_date)[r])].push_back(r);
    for (const auto& [day, rows] : by_day) {
      const auto records = tick_records(*ticks, rows);
      const std::string name = util::format_compact(day);
      if (f.contains(name)) f.unlink(name);
      f.create_dataset(name, tessal::H5TicksLoader::DTYPES(), records.data(), records.size(),
                       h5::DatasetOptions{false, 0, -1, COMPRESSION_KWARGS()});
    }
  }

  const auto instrument = q.instruments(order_book_id);
  if (!instrument.empty() && instrument.back().type == tessal::INSTRUMENT_TYPE::CS) {
    std::vector<std::pair<std::int32_t, bool>> suspended;
    {
      tessal::warnings::IgnoreWarnings quiet;
      suspended = q.is_suspended(order_book_id, start, end);
    }
    for (const auto& [day, is_suspended] : suspended) {
      if (!is_suspended) continue;
      const std::string name = util::format_compact(day);
      if (!f.contains(name)) f.create_dataset(name, tessal::H5TicksLoader::DTYPES(), nullptr, 0, h5::DatasetOptions{});
    }
  }
}

}  // namespace

void _append_h5_tick(const std::string& order_book_id, const std::string& path, const std::optional<std::string>& file_name,
                     std::int32_t min_start_date, bool rebuild) {
  fs::create_directories(path);
  const std::string name = file_name_or_default(file_name, order_book_id);
  const std::string file_path = join(path, name);
  // A rebuild fills a fresh file beside the old one and renames it over the
  // old one only once the refill has finished.
  const std::string target = rebuild ? rebuild_temp_path(path, name) : file_path;
  if (rebuild) remove_h5(target);
  const h5::Mode mode = tessal::get_h5_mode(target);
  tessal::SharedFlag* sval = tessal::data::bundle::sval();
  const bool ok = run_logged(file_path, sval, true, [&] {
    h5::File f = h5::File::open(target, mode);
    update_tick_file(f, order_book_id, min_start_date);
    f.close();
    if (rebuild && ::rename(target.c_str(), file_path.c_str()) != 0)
      throw std::system_error(errno, std::generic_category(), fmt::format("cannot replace '{}'", file_path));
  });
  if (rebuild && !ok) remove_h5(target);
}

}  // namespace tessal_plus::bundle
