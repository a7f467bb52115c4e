// The minute-bar store check: every file's index against the trading
// calendar (each day's first bar where its class opens, no trading day
// missing that the service has bars for), and with --quality the content
// rules over the same inflated chunks.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>

#include <fmt/format.h>

#include "h5/column.hpp"
#include "tessal_plus/bundle/checks/internal.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"
#include "tessal_plus/bundle/universe.hpp"
#include "tessal_plus/bundle/stores.hpp"
#include "tessal_plus/bundle/writers.hpp"
#include "util/datetime.hpp"
#include "util/npy.hpp"

namespace tessal_plus::bundle {
namespace fs = std::filesystem;
using checking::calendar_slice;
using checking::FileOutcome;

namespace checking {

const char* const kNoCalendar = "当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!";

std::vector<std::int64_t> load_calendar(const std::string& path) {
  auto dates = util::npy::read_int_1d(path);
  if (dates.empty()) util::fail(util::ErrorKind::damaged, path, fmt::format("'{}' holds no trading dates", path));
  // Out of order, the calendar would make healthy files look broken.
  if (std::adjacent_find(dates.begin(), dates.end(), std::greater_equal<>()) != dates.end())
    util::fail(util::ErrorKind::damaged, path, fmt::format("'{}' is not in ascending order; refresh it by updating the base data", path));
  return dates;
}


}  // namespace checking

namespace {

// The trading day a bar's time stamp belongs to under `rule`; nothing when
// the calendar ends too early to tell. A night bar (18:00 or later) belongs
// to the trading day after its calendar date.
std::optional<std::int64_t> trading_day_of(std::int64_t bar, DayRule rule, const std::vector<std::int64_t>& dates,
                                           bool& calendar_ended) {
  const std::int64_t date = util::floor_div(bar, 1000000);
  if (rule != DayRule::night_session || bar - date * 1000000 < 180000) return date;
  const auto pos = static_cast<std::size_t>(std::lower_bound(dates.begin(), dates.end(), date) - dates.begin());
  if (pos + 1 >= dates.size()) {
    calendar_ended = true;
    return std::nullopt;
  }
  return dates[pos + 1];
}

// Compares the days of the file that the options draw with the service's.
void verify_days(const Run& run, const std::string& path, const h5::Dataset& data, const std::vector<IndexRecord>& records,
                 hsize_t n_data, const RecordLayout& layout, const CheckOptions& options, FileOutcome& out) {
  const std::string id = id_of_file(path);
  checking::verify_file_days(
      path, records.size(), layout, store_kind(Store::minute).stamps_per_day, options,
      [&](std::size_t i, std::vector<char>& stored) {
        // The index rises strictly within `data` (checked before).
        const hsize_t first = records[i].line_no, end = i + 1 < records.size() ? records[i + 1].line_no : n_data;
        stored.resize((end - first) * layout.itemsize);
        data.read_rows(first, end - first, stored.data(), layout.type.get());
        return checking::StoredDay{records[i].date, end - first};
      },
      [&](std::int32_t day) { return fetch_day_records(run, id, layout, day); }, out);
}

// The per-file steps of the minute-bar check; true when the file is broken.
// Every row of `datetime` is read, so a damaged chunk anywhere in `data` is
// found (as an error of kind damaged).
bool minute_file_is_broken(const Run& run, const std::string& path, const std::vector<std::int64_t>& trading_dates,
                           const CheckOptions& options, FileOutcome& out, std::vector<char>& bars) {
  h5::File f = h5::File::open(path, h5::Mode::read);
  const auto names = f.root_names();
  const bool has_index = std::count(names.begin(), names.end(), "index") > 0;
  const bool has_data = std::count(names.begin(), names.end(), "data") > 0;
  if (!has_index) return has_data;
  // Never read outside `data`: a file whose datasets lack what the day
  // rules read, or whose index points past `data`, is broken.
  if (!has_data) return true;
  const h5::Dataset index = f.open_dataset("index");
  const h5::Dataset data = f.open_dataset("data");
  if (!index.type().has_member("date") || !index.type().has_member("line_no") || !data.type().has_member("datetime")) return true;

  const hsize_t n_index = index.checked_size(sizeof(IndexRecord)), n_data = data.checked_size(data.type().size());
  if (n_index == 0) return true;
  std::vector<IndexRecord> records(n_index);
  index.read(records.data(), INDEX_DTYPE().type.get());
  for (hsize_t i = 0; i < n_index; ++i) {
    // The index is the check's whole basis: its rows must rise strictly.
    if (records[i].line_no >= n_data || (i > 0 && records[i].line_no <= records[i - 1].line_no)) return true;
  }
  const auto* cls = instrument_class_of_folder(fs::path(path).parent_path().filename().string());
  const DayRule rule = cls ? cls->day_rule : DayRule::opens_0931;
  // With the content rules, every record is read, chunk by chunk, and the
  // rules run on each chunk while it is in the cache; the day rules take
  // the first bar of each day from the same chunks. (A file of another
  // layout is judged by its time stamps alone.)
  std::vector<std::int64_t> first_bars(n_index);
  // Content rules and verification read records in the folder's own layout.
  const bool own_layout = cls && H5Tequal(data.type().get(), cls->layout().type.get()) > 0;
  const bool content = options.quality && own_layout;
  std::optional<MinuteScan> scan;
  if (content) {
    const RecordLayout& layout = cls->layout();
    const std::size_t at = layout.fields[0].offset;
    std::size_t next_day = 0;
    h5::visit_records(data, layout.itemsize, bars, [&](const char* rows, hsize_t first, hsize_t count) {
      if (first == 0) scan.emplace(layout, records, n_data, rule, cls->folder, options.thresholds), next_day = 0;
      scan->add(rows, first, count);
      for (; next_day < n_index && records[next_day].line_no < first + count; ++next_day)
        std::memcpy(&first_bars[next_day], rows + (records[next_day].line_no - first) * layout.itemsize + at, sizeof(std::int64_t));
    });
  } else {
    const std::vector<std::int64_t> datetimes = h5::read_int64_member(data, "datetime", data.type().size());
    for (hsize_t i = 0; i < n_index; ++i) first_bars[i] = datetimes[records[i].line_no];
  }
  const auto good = [&] {
    if (scan) out.findings = scan->finish();
    // A file of another layout cannot be compared record for record; the
    // report says so rather than let it pass for verified.
    if (options.verify > 0 && own_layout) verify_days(run, path, data, records, n_data, cls->layout(), options, out);
    else if (options.verify > 0) out.message = "not verified: its records are not laid out as its folder's";
    return false;
  };
  std::vector<std::int32_t> dates(n_index);
  for (hsize_t i = 0; i < n_index; ++i) {
    dates[i] = records[i].date;
    const std::int64_t first_bar = first_bars[i];
    if (rule == DayRule::night_session) {
      const auto day = trading_day_of(first_bar, rule, trading_dates, out.calendar_ended);
      if (day && *day != dates[i]) return true;
    } else if (first_bar != static_cast<std::int64_t>(dates[i]) * 1000000 + 93100) {
      return true;
    }
  }

  const std::set<std::int64_t> present(dates.begin(), dates.end());
  const auto expected = calendar_slice<std::int64_t>(trading_dates, dates.front(), dates.back());
  std::vector<std::int64_t> missing;
  for (auto d : expected)
    if (!present.count(d)) missing.push_back(d);
  if (missing.empty()) return good();
  const std::string order_book_id = id_of_file(path);
  for (auto d : missing)
    if (run.client.has_price(order_book_id, static_cast<std::int32_t>(d), quillonc::Frequency::minute)) return true;
  return good();
}

}  // namespace

CheckRecord check_min_bar_data(const Run& run, const std::string& data_bundle_path, int concurrency, const CheckOptions& options) {
  const CheckRecord nothing{"分钟"};
  const std::string base_path = join(data_bundle_path, layout::BUNDLE);
  const std::string calendar_path = join(base_path, layout::TRADING_DATES);
  if (!fs::exists(calendar_path)) {
    run.console.line(checking::kNoCalendar);
    return nothing;
  }
  _init_quillon(run);
  std::vector<std::string> files;
  const StoreKind& store = store_kind(Store::minute);
  const std::string folder = join(base_path, store.folder);
  for (const auto& group : list_folders(folder)) {
    const auto found = list_store_files(group);
    files.insert(files.end(), found.begin(), found.end());
  }
  if (files.empty()) {
    run.console.line("当前目录下不存在分钟数据!");
    return nothing;
  }
  run.console.line(fmt::format("共有{}个分钟数据文件!", files.size()));
  checking::announce_verification(run, options);
  const auto trading_dates = checking::load_calendar(calendar_path);
  // One record buffer per checking process, serving file after file.
  const checking::FileCheck check = [&, bars = std::vector<char>()](const std::string& path, checking::FileOutcome& out) mutable {
    return minute_file_is_broken(run, path, trading_dates, options, out, bars);
  };
  const auto calendar_ended = [&] {
    run.console.line(fmt::format("注意：交易日历 {} 只到 {}，早于数据中的日期；日历之后的日期未作检查，请先更新基础数据。",
                                 calendar_path, trading_dates.back()));
  };
  return checking::run_check(run, files, {std::string(store.label), folder, check, checking::minute_refill(), calendar_ended},
                             concurrency, options);
}

}  // namespace tessal_plus::bundle
