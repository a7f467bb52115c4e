// The tick store check: every file's day datasets against the trading
// calendar, less each stock's suspension days and the days the service has
// no ticks for; every day's dataset opened and its type and storage checked
// (--deep and --quality read the ticks too).
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

#include <fmt/format.h>

#include "h5/column.hpp"
#include "tessal_plus/bundle/checks/internal.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"
#include "tessal_plus/bundle/universe.hpp"
#include "tessal_plus/bundle/writers.hpp"
#include "tessal_plus/bundle/stores.hpp"
#include "util/datetime.hpp"

namespace tessal_plus::bundle {
namespace fs = std::filesystem;

namespace {

// Every day of a tick file is a dataset named after a day that can have been
// stored, of the host's tick record type, whose records are stored (an
// update stopped by a full disk can leave a day without its chunks). With
// `deep`, every record is read as well, which decompresses the whole file.
// With `found`, the content rules read every record as well.
bool tick_days_are_sound(const RecordLayout& layout, const h5::File& f, const std::vector<std::string>& names,
                         std::int32_t latest, bool deep, std::vector<Finding>* found) {
  const h5::Type& tick_type = layout.type;
  std::vector<char> buf;
  for (const auto& name : names) {
    const auto day = tick_day(name, latest);
    if (!day) return false;
    const h5::Dataset ds = f.open_dataset(name);
    if (H5Tequal(ds.type().get(), tick_type.get()) <= 0) return false;
    const hsize_t rows = ds.checked_size(tick_type.size());
    if (rows > 0 && ds.storage_size() == 0) return false;
    if (found) {
      h5::read_records(ds, tick_type.size(), buf);
      merge_findings(*found, tick_findings(*day, buf.data(), rows, layout.fields, tick_type.size()));
    } else if (deep) {
      buf.resize(rows * tick_type.size());
      ds.read(buf.data(), tick_type.get());
    }
  }
  return true;
}

// The suspension days of one stock as the host's tools may have written
// them: integers, reals holding whole days, or fixed-length byte strings of
// digits (all YYYYMMDD). Anything else is refused as damaged.
std::vector<std::int64_t> suspension_days(const h5::Dataset& ds, const std::string& id, const std::string& path) {
  const h5::Type type = ds.type();
  const H5T_class_t cls = H5Tget_class(type.get());
  const auto refuse = [&] {
    util::fail(util::ErrorKind::damaged, path, fmt::format("suspension days of '{}' in '{}' are not days (YYYYMMDD)", id, path));
  };
  std::vector<std::int64_t> out;
  if (cls == H5T_INTEGER) {
    out.resize(ds.checked_size(sizeof(std::int64_t)));
    ds.read(out.data(), H5T_NATIVE_INT64);
  } else if (cls == H5T_FLOAT) {
    std::vector<double> values(ds.checked_size(sizeof(double)));
    ds.read(values.data(), H5T_NATIVE_DOUBLE);
    for (const double v : values) {
      if (!(v >= 0 && v < 1e9) || v != std::floor(v)) refuse();
      out.push_back(static_cast<std::int64_t>(v));
    }
  } else if (cls == H5T_STRING && H5Tis_variable_str(type.get()) <= 0) {
    const std::size_t width = type.size();
    std::string bytes(ds.checked_size(width) * width, '\0');
    ds.read(bytes.data(), type.get());
    for (std::size_t at = 0; at < bytes.size(); at += width) {
      std::string text = bytes.substr(at, width);
      text.erase(text.find_last_not_of(std::string("\0 ", 2)) + 1);
      if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) refuse();
      out.push_back(std::stoll(text));
    }
  } else {
    refuse();
  }
  return out;
}

// Compares the days of the file that the options draw, among the days
// that hold ticks (a suspension marker is not asked about), with the
// service's.
void verify_tick_days(const Run& run, const std::string& path, const h5::File& f, std::vector<std::string> names,
                      const RecordLayout& layout, const CheckOptions& options, checking::FileOutcome& out) {
  std::sort(names.begin(), names.end());
  std::vector<std::string> days;
  for (const auto& n : names)
    if (f.open_dataset(n).size() > 0) days.push_back(n);
  const std::string id = id_of_file(path);
  checking::verify_file_days(
      path, days.size(), layout, store_kind(Store::tick).stamps_per_day, options,
      [&](std::size_t i, std::vector<char>& stored) {
        const std::size_t rows = h5::read_records(f.open_dataset(days[i]), layout.itemsize, stored);
        return checking::StoredDay{std::stoi(days[i].substr(0, 8)), rows};
      },
      [&](std::int32_t day) { return fetch_tick_day_records(run, id, day); }, out);
}

}  // namespace

std::map<std::string, std::vector<std::int64_t>> suspensions_of(const std::string& path, const std::vector<std::string>& ids) {
  std::map<std::string, std::vector<std::int64_t>> out;
  const h5::File s = h5::File::open(path, h5::Mode::read);
  for (const auto& id : ids) {
    // An id that is no dataset name (empty, or a path) has no entry.
    if (id.empty() || id.find('/') != std::string::npos || out.count(id) || !s.contains(id)) continue;
    out[id] = suspension_days(s.open_dataset(id), id, path);
  }
  return out;
}

CheckRecord check_tick_data(const Run& run, const std::string& data_bundle_path, bool deep, int concurrency,
                            const CheckOptions& options) {
  const CheckRecord nothing{"tick"};
  const std::string base_path = join(data_bundle_path, layout::BUNDLE);
  const std::string calendar_path = join(base_path, layout::TRADING_DATES);
  const std::string suspended_path = join(base_path, layout::SUSPENDED_DAYS);
  if (!fs::exists(calendar_path)) {
    run.console.line(checking::kNoCalendar);
    return nothing;
  }
  if (!fs::exists(suspended_path)) {
    run.console.line("当前目录下不存在 suspended_days.h5 文件，请先下载 base 数据!");
    return nothing;
  }
  _init_quillon(run);
  const StoreKind& store = store_kind(Store::tick);
  const std::string folder = join(base_path, store.folder);
  const auto files = list_store_files(folder);
  if (files.empty()) {
    run.console.line("当前目录下不存在tick数据!");
    return nothing;
  }
  run.console.line(fmt::format("共有{}个tick数据文件!", files.size()));
  checking::announce_verification(run, options);
  std::vector<std::string> trading_dates;
  for (auto d : checking::load_calendar(calendar_path)) trading_dates.push_back(std::to_string(d));

  std::map<std::string, std::set<std::string>> suspendeds;
  {
    std::vector<std::string> ids;
    for (const auto& p : files) ids.push_back(id_of_file(p));
    for (const auto& [id, days] : suspensions_of(suspended_path, ids))
      for (const auto day : days) suspendeds[id].insert(std::to_string(day));
  }

  auto& q = run.client;
  const RecordLayout& tick_layout = run.host.tick_layout();
  const std::int32_t latest = latest_storable_day(util::timestamp_date(run.host.datetime_now()));
  const checking::FileCheck check = [&](const std::string& path, checking::FileOutcome& out) {
    h5::File f = h5::File::open(path, h5::Mode::read);
    auto names = f.root_names();
    if (names.empty()) return false;
    if (!tick_days_are_sound(tick_layout, f, names, latest, deep, options.quality ? &out.findings : nullptr)) return true;
    if (options.verify > 0) verify_tick_days(run, path, f, names, tick_layout, options, out);
    std::sort(names.begin(), names.end());
    for (auto& n : names) n = n.substr(0, 8);
    const auto expected = checking::calendar_slice<std::string>(trading_dates, names.front(), names.back());
    if (expected == names) return false;
    const std::string id = id_of_file(path);
    const std::set<std::string> present(names.begin(), names.end());
    std::vector<std::string> missing;
    for (const auto& d : expected)
      if (!present.count(d)) missing.push_back(d);
    const auto& suspended = suspendeds[id];
    if (std::all_of(missing.begin(), missing.end(), [&](const std::string& d) { return suspended.count(d) > 0; })) return false;
    for (const auto& d : missing)
      if (q.has_price(id, std::stoi(d), quillonc::Frequency::tick)) return true;
    return false;
  };
  return checking::run_check(run, files, {std::string(store.label), folder, check, checking::tick_refill()}, concurrency, options);
}

}  // namespace tessal_plus::bundle
