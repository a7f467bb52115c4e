#include "tessal_plus/bundle/status.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include <fmt/format.h>

#include "util/npy.hpp"
#include "tessal_plus/bundle/checks.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/errors.hpp"
#include "tessal_plus/bundle/writers.hpp"

namespace tessal_plus::bundle {
namespace fs = std::filesystem;

namespace {

std::uint64_t size_on_disk(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// Runs `read` on a fresh record of the file; a failure is recorded on the
// record (by the module's one classification) instead of thrown, so one bad
// file never hides the rest of the store.
// "YYYY-MM-DD" as YYYYMMDD; 0 for anything else ("0000-00-00" is how the
// list says "not de-listed").
std::int32_t iso_day(const std::string& text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return 0;
  std::int32_t v = 0;
  for (const std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (text[i] < '0' || text[i] > '9') return 0;
    v = v * 10 + (text[i] - '0');
  }
  return v % 10000 == 0 ? 0 : v;
}

template <class Read>
FileStatus file_status(const std::string& path, Read read) {
  FileStatus s;
  s.path = path;
  s.id = id_of_file(path);
  s.bytes = size_on_disk(path);
  try {
    read(s);
  } catch (const std::exception& e) {
    pass_interruptions(e);
    // Anything the classification does not know came from the file's
    // content: it is reported as damaged, with its text.
    s.error = kind_of(e).value_or(util::ErrorKind::damaged);
    s.message = e.what();
    s.first_day.reset();
    s.last_day.reset();
    s.days.clear();
    s.rows = 0;
  }
  return s;
}

std::string day_text(const std::optional<std::int32_t>& d) { return d ? std::to_string(*d) : "-"; }

StoreStatus store_status(std::string name, const std::string& folder, Store store, bool with_days) {
  StoreStatus st;
  st.name = std::move(name);
  st.folder = folder;
  st.store = store;
  auto files = list_store_files(folder);
  std::sort(files.begin(), files.end());
  std::set<std::string> ids;
  for (const auto& path : files) {
    FileStatus f = store_kind(store).file_status(path, with_days);
    st.bytes += f.bytes;
    if (!f.error) {
      ids.insert(f.id);
      st.rows += f.rows;
      if (f.first_day && (!st.first_day || *f.first_day < *st.first_day)) st.first_day = f.first_day;
      if (f.last_day && (!st.last_day || *f.last_day > *st.last_day)) st.last_day = f.last_day;
    }
    st.files.push_back(std::move(f));
  }
  st.instruments = ids.size();
  return st;
}

}  // namespace

std::string byte_text(std::uint64_t b) {
  if (b < 1024) return fmt::format("{} B", b);
  if (b < 1024ULL * 1024) return fmt::format("{:.1f} KiB", static_cast<double>(b) / 1024);
  if (b < 1024ULL * 1024 * 1024) return fmt::format("{:.1f} MiB", static_cast<double>(b) / (1024.0 * 1024));
  return fmt::format("{:.2f} GiB", static_cast<double>(b) / (1024.0 * 1024 * 1024));
}

std::vector<const FileStatus*> StoreStatus::stale() const {
  std::vector<const FileStatus*> out;
  for (const auto& f : files)
    if (f.stale) out.push_back(&f);
  return out;
}

std::vector<const FileStatus*> StoreStatus::ended() const {
  std::vector<const FileStatus*> out;
  for (const auto& f : files)
    if (f.ended) out.push_back(&f);
  return out;
}

std::vector<const FileStatus*> StoreStatus::unreadable() const {
  std::vector<const FileStatus*> out;
  for (const auto& f : files)
    if (f.error) out.push_back(&f);
  return out;
}

std::size_t BundleStatus::unreadable_files() const {
  std::size_t n = 0;
  for (const auto& s : stores) n += s.unreadable().size();
  return n;
}

FileStatus minute_file_status(const std::string& path, bool with_days) {
  return file_status(path, [&](FileStatus& s) {
    const h5::File f = h5::File::open(path, h5::Mode::read);
    const h5::Dataset index = f.open_dataset("index");
    const h5::Dataset data = f.open_dataset("data");
    s.rows = data.size();
    const hsize_t n = index.size();
    if (n == 0) return;
    if (with_days) {
      // 8 bytes a day: a few kilobytes for twenty years.
      std::vector<IndexRecord> all(n);
      index.read_rows(0, n, all.data(), INDEX_DTYPE().type.get());
      s.days.reserve(n);
      for (const auto& r : all) s.days.push_back(r.date);
      std::sort(s.days.begin(), s.days.end());
      s.days.erase(std::unique(s.days.begin(), s.days.end()), s.days.end());
    }
    IndexRecord first{}, last{};
    index.read_rows(0, 1, &first, INDEX_DTYPE().type.get());
    index.read_rows(n - 1, 1, &last, INDEX_DTYPE().type.get());
    s.first_day = first.date;
    s.last_day = last.date;
  });
}

FileStatus tick_file_status(const std::string& path, bool with_days) {
  return file_status(path, [&](FileStatus& s) {
    const h5::File f = h5::File::open(path, h5::Mode::read);
    auto names = f.root_names();
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
      // Only datasets named after a day are days of ticks.
      const auto day = tick_day(name, MAX_END_DATE);
      if (!day) continue;
      s.rows += f.open_dataset(name).size();
      if (with_days) s.days.push_back(*day);
      if (!s.first_day) s.first_day = day;
      s.last_day = day;
    }
  });
}

void judge_staleness(FileStatus& f, std::int32_t horizon, const std::vector<std::int32_t>& calendar,
                     const InstrumentLife* life, const std::vector<std::int64_t>* suspended) {
  f.stale = f.ended = false;
  if (f.error) return;
  std::int32_t due = horizon;
  const bool finished = life && life->de_listed != 0 && life->de_listed < horizon;
  if (finished) {
    // Its last trading day: the de-listing day, or the last trading day
    // before it.
    const auto after = std::upper_bound(calendar.begin(), calendar.end(), life->de_listed);
    due = after == calendar.begin() ? life->de_listed : *std::prev(after);
  }
  f.stale = !f.last_day || *f.last_day < due;
  // Suspended on its last days, it traded for the last time before them.
  if (f.stale && finished && f.last_day && suspended) {
    f.stale = false;
    for (auto d = std::upper_bound(calendar.begin(), calendar.end(), *f.last_day); d != calendar.end() && *d <= due; ++d)
      f.stale = f.stale || !std::binary_search(suspended->begin(), suspended->end(), *d);
  }
  f.ended = finished && !f.stale;
}

void read_instrument_lives(tessal::Host& host, BundleStatus& b) {
  const std::string path = join(b.bundle, layout::INSTRUMENTS);
  b.lives.clear();
  if (!fs::exists(path)) {
    b.lives_note = path + " is absent: no listed life is known: every file is expected to reach the update horizon and to hold the whole calendar";
    return;
  }
  try {
    const auto list = host.read_instrument_list(path);
    if (!list) {
      b.lives_note = path + " holds no list of instruments: no listed life is known: every file is expected to reach the update horizon and to hold the whole calendar";
      return;
    }
    for (const auto& rec : *list) {
      std::string id;
      InstrumentLife life;
      for (const auto& [key, value] : rec) {
        if (key == "order_book_id") id = value;
        else if (key == "listed_date") life.listed = iso_day(value);
        else if (key == "de_listed_date") life.de_listed = iso_day(value);
      }
      if (!id.empty()) b.lives[id] = life;
    }
  } catch (const util::Error& e) {
    pass_interruptions(e);
    b.lives_note = fmt::format("{} cannot be read ({}): no listed life is known: every file is expected to reach the update horizon and to hold the whole calendar", path, e.what());
  }
}

BundleStatus bundle_status(tessal::Host& host, const std::string& data_bundle_path, bool with_days) {
  // A mistyped path would read as an empty, healthy bundle.
  require_bundle_folder(data_bundle_path);
  BundleStatus b;
  b.bundle = join(data_bundle_path, layout::BUNDLE);
  b.calendar_path = join(b.bundle, layout::TRADING_DATES);
  std::vector<std::int32_t> calendar;
  if (!fs::exists(b.calendar_path)) {
    b.calendar_error = "absent";
  } else {
    try {
      const auto dates = util::npy::read_int_1d(b.calendar_path);
      if (dates.empty()) b.calendar_error = "holds no trading dates";
      else b.calendar_last = static_cast<std::int32_t>(*std::max_element(dates.begin(), dates.end()));
      // Right after an update made before the close, the calendar already
      // holds today: judging by it would call every file stale.
      const std::int32_t end = _get_end_date(host);
      for (const auto d : dates)
        if (d <= end && (!b.horizon || d > *b.horizon)) b.horizon = static_cast<std::int32_t>(d);
      calendar.assign(dates.begin(), dates.end());
      std::sort(calendar.begin(), calendar.end());
    } catch (const util::Error& e) {
      b.calendar_error = e.what();
    }
  }
  read_instrument_lives(host, b);
  auto groups = list_folders(join(b.bundle, layout::MINBAR_ROOT));
  std::sort(groups.begin(), groups.end());
  for (const auto& group : groups) b.stores.push_back(store_status(fs::path(group).filename().string(), group, Store::minute, with_days));
  b.stores.push_back(store_status(layout::TICKS, join(b.bundle, layout::TICKS), Store::tick, with_days));
  if (b.horizon) {
    // The suspension days are read only for finished instruments whose
    // files end before their last trading day: a stock suspended on its
    // last days is complete without them.
    std::vector<std::string> unsure;
    for (auto& s : b.stores)
      for (auto& f : s.files) {
        const auto life = b.lives.find(f.id);
        judge_staleness(f, *b.horizon, calendar, life == b.lives.end() ? nullptr : &life->second, nullptr);
        if (f.stale && life != b.lives.end() && life->second.de_listed != 0 && life->second.de_listed < *b.horizon)
          unsure.push_back(f.id);
      }
    std::map<std::string, std::vector<std::int64_t>> suspended;
    try {
      if (!unsure.empty()) suspended = suspensions_of(join(b.bundle, layout::SUSPENDED_DAYS), unsure);
    } catch (const util::Error& e) {
      pass_interruptions(e);  // absent or unreadable: judged without them
    }
    for (auto& s : b.stores)
      for (auto& f : s.files)
        if (const auto days = suspended.find(f.id); f.stale && days != suspended.end()) {
          std::sort(days->second.begin(), days->second.end());
          judge_staleness(f, *b.horizon, calendar, &b.lives.at(f.id), &days->second);
        }
  }
  if (with_days) b.calendar = std::move(calendar);
  return b;
}

void print_status(const Console& console, const BundleStatus& b, bool by_instrument) {
  console.line(fmt::format("bundle: {}", b.bundle));
  if (b.calendar_last)
    console.line(fmt::format("trading calendar: last day {}; update horizon {} (the last trading day an update would fetch now)",
                           *b.calendar_last, day_text(b.horizon)));
  else if (b.calendar_error == "absent")
    console.line(fmt::format("trading calendar: {} is absent (run an update with --base); stale files are not judged", b.calendar_path));
  else console.line(fmt::format("trading calendar: {} cannot be read ({}); stale files are not judged", b.calendar_path, b.calendar_error));
  for (const auto& s : b.stores) {
    const auto stale = s.stale();
    const auto unreadable = s.unreadable();
    console.line(fmt::format("{}: {} files, {} instruments, {} rows, {}, days {}..{}, {} stale, {} ended, {} unreadable",
                           s.title(), s.files.size(),
                           s.instruments, s.rows, byte_text(s.bytes), day_text(s.first_day), day_text(s.last_day),
                           b.horizon ? std::to_string(stale.size()) : std::string("?"),
                           b.horizon ? std::to_string(s.ended().size()) : std::string("?"), unreadable.size()));
    if (!stale.empty()) {
      std::string ids;
      for (const auto* f : stale) ids += (ids.empty() ? "" : " ") + f->id;
      console.line("  stale (ends before " + day_text(b.horizon) + "): " + ids);
    }
    for (const auto* f : unreadable)
      console.line(fmt::format("  cannot open {} ({}): {}", f->id, util::kind_name(*f->error), f->message));
    if (by_instrument)
      for (const auto& f : s.files)
        console.line(f.error ? fmt::format("  {:<24} {:>8} {:>8} {:>12} {:>12}  {}", f.id, "-", "-", "-", f.bytes, util::kind_name(*f.error))
                           : fmt::format("  {:<24} {:>8} {:>8} {:>12} {:>12}{}", f.id, day_text(f.first_day), day_text(f.last_day),
                                         f.rows, f.bytes, f.stale ? "  stale" : f.ended ? "  ended" : ""));
  }
}

}  // namespace tessal_plus::bundle
