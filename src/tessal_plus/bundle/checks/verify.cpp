// Verifying stored days against the service: which days of a file, and
// how one day's stored records compare with the service's, value for value
// after the writers' own conversion.
#include <algorithm>
#include <filesystem>
#include <cstring>
#include <numeric>
#include <random>

#include <fmt/format.h>

#include "tessal_plus/bundle/checks/internal.hpp"
#include "util/mix.hpp"

namespace tessal_plus::bundle::checking {
namespace {

// Adds to the file's finding of `rule` (one per rule): the earliest time
// and its field, the count summed over the days verified.
void tally(std::vector<Finding>& out, Rule rule, std::int64_t first, std::uint64_t count, const std::string& field = {}) {
  if (count == 0) return;
  const auto it = std::find_if(out.begin(), out.end(), [&](const Finding& f) { return f.rule == rule; });
  if (it == out.end()) {
    out.push_back(Finding{rule, first, count, field});
    return;
  }
  if (first < it->first) it->first = first, it->field = field;
  it->count += count;
}

std::int64_t integer_at(const RecordField& f, const char* row) {
  if (f.kind == FieldKind::i32) {
    std::int32_t v = 0;
    std::memcpy(&v, row + f.offset, sizeof v);
    return v;
  }
  std::int64_t v = 0;
  std::memcpy(&v, row + f.offset, sizeof v);
  return v;
}

const RecordField* field_named(const RecordLayout& layout, const char* name) {
  for (const auto& f : layout.fields)
    if (f.name == name && (f.kind == FieldKind::i32 || f.kind == FieldKind::i64)) return &f;
  return nullptr;
}

}  // namespace

RecordTime::RecordTime(const RecordLayout& layout)
    : datetime_(field_named(layout, "datetime")), date_(field_named(layout, "date")), time_(field_named(layout, "time")) {}

std::int64_t RecordTime::operator()(const char* row) const {
  if (datetime_) return integer_at(*datetime_, row);
  return integer_at(*date_, row) * 1000000000 + integer_at(*time_, row);
}

const std::string& RecordTime::name() const { return datetime_ ? datetime_->name : time_->name; }

void announce_verification(const Run& run, const CheckOptions& options) {
  if (options.verify > 0)
    run.console.line(fmt::format("verifying {} stored days per file against the service (seed {}; --verify-seed {} draws the same days)",
                                 options.verify, options.verify_seed, options.verify_seed));
}

std::vector<std::size_t> days_to_verify(std::size_t n_days, int n, std::uint64_t seed, const std::string& file_name) {
  std::vector<std::size_t> out;
  if (n_days == 0 || n <= 0) return out;
  out.push_back(n_days - 1);
  // The others: a partial shuffle of the older days, drawn from the seed
  // and the file's name (the same days for a file and its refill).
  std::vector<std::size_t> older(n_days - 1);
  std::iota(older.begin(), older.end(), std::size_t{0});
  std::uint64_t state = util::mix64(seed ^ std::hash<std::string>{}(file_name));
  const std::size_t more = std::min<std::size_t>(static_cast<std::size_t>(n - 1), older.size());
  for (std::size_t i = 0; i < more; ++i) {
    state = util::mix64(state);
    std::swap(older[i], older[i + state % (older.size() - i)]);
    out.push_back(older[i]);
  }
  std::sort(out.begin(), out.end());
  return out;
}

void compare_day(const RecordLayout& layout, std::int64_t day_start, const char* stored, std::size_t stored_rows,
                 const std::optional<std::vector<char>>& fetched, std::vector<Finding>& out) {
  if (!fetched) {
    tally(out, Rule::missing_at_service, day_start, stored_rows);
    return;
  }
  const RecordTime time_of(layout);
  const std::size_t size = layout.itemsize, fetched_rows = fetched->size() / size;
  const char* theirs = fetched->data();
  std::size_t i = 0, j = 0;
  while (i < stored_rows || j < fetched_rows) {
    const char* a = i < stored_rows ? stored + i * size : nullptr;
    const char* b = j < fetched_rows ? theirs + j * size : nullptr;
    const std::int64_t ta = a ? time_of(a) : INT64_MAX, tb = b ? time_of(b) : INT64_MAX;
    if (ta < tb) {  // a stored record the service does not have
      tally(out, Rule::differs_from_service, ta, 1, time_of.name());
      ++i;
    } else if (tb < ta) {  // a record of the service the file lacks
      tally(out, Rule::extra_at_service, tb, 1);
      ++j;
    } else {
      for (const RecordField& f : layout.fields)
        if (std::memcmp(a + f.offset, b + f.offset, field_size(f.kind)) != 0) {
          tally(out, Rule::differs_from_service, ta, 1, f.name);
          break;
        }
      ++i, ++j;
    }
  }
}

void verify_file_days(const std::string& path, std::size_t n_days, const RecordLayout& layout, std::int64_t stamps_per_day,
                      const CheckOptions& options, const std::function<StoredDay(std::size_t, std::vector<char>&)>& read,
                      const std::function<std::optional<std::vector<char>>(std::int32_t)>& fetch, FileOutcome& out) {
  if (!RecordTime(layout).usable()) {
    out.message = "not verified: its records have no date and time";
    return;
  }
  std::vector<char> stored;
  for (const std::size_t i : days_to_verify(n_days, options.verify, options.verify_seed, std::filesystem::path(path).filename().string())) {
    const StoredDay d = read(i, stored);
    std::optional<std::vector<char>> theirs;
    try {
      theirs = fetch(d.day);
    } catch (const util::Error& e) {
      const auto k = e.kind();
      if (k != util::ErrorKind::service && k != util::ErrorKind::denied && k != util::ErrorKind::network) throw;
      out.message = fmt::format("not verified: {}", e.what());
      return;
    }
    out.verified_days.push_back(d.day);
    compare_day(layout, std::int64_t{d.day} * stamps_per_day, stored.data(), d.rows, theirs, out.findings);
  }
}

}  // namespace tessal_plus::bundle::checking

namespace tessal_plus::bundle {

std::uint64_t fresh_verify_seed() { return (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}(); }

}  // namespace tessal_plus::bundle
