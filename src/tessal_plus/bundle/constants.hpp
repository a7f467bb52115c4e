#pragma once
// Constants shared by the whole module: the minute-bar record layouts, the
// tag table, the equities types, the date limits, and the bundle layout.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "h5/h5.hpp"
#include "tessal_plus/bundle/outside/host.hpp"

namespace tessal_plus::bundle {

#pragma pack(push, 1)
// EQUITIES_DTYPE: stocks, funds, indexes, convertibles, REITs (56 bytes).
struct EquitiesBar {
  std::int64_t datetime;  // YYYYMMDDHHMMSS
  double open, high, low, close, volume, total_turnover;
};
// DERIVATIVES_DTYPE: futures and options (64 bytes).
struct DerivativesBar {
  std::int64_t datetime;
  double open, high, low, close;
  std::int64_t open_interest;
  double volume, total_turnover;
};
// INDEX_DTYPE: first row of each trading day in `data` (8 bytes).
struct IndexRecord {
  std::int32_t date;      // YYYYMMDD
  std::uint32_t line_no;  // row in `data`, counted from 0
};
#pragma pack(pop)

static_assert(sizeof(EquitiesBar) == 56 && sizeof(DerivativesBar) == 64 && sizeof(IndexRecord) == 8);

// The layouts of the minute-bar store, described as the host describes its
// tick layout (one model, one converter): fields by name, kind and offset,
// the HDF5 compound type with the same member names.
const RecordLayout& EQUITIES_DTYPE();
const RecordLayout& DERIVATIVES_DTYPE();
const RecordLayout& INDEX_DTYPE();

// How a minute-bar file's trading day relates to its bars' time stamps:
// equities open each day at 09:31 of that date; futures and options trade at
// night, and a bar at 18:00 or later belongs to the next trading day.
enum class DayRule { opens_0931, night_session };

// The instrument classes of the minute-bar store: type -> type folder,
// record layout and day rule. Every other mapping is read from this table.
struct InstrumentClass {
  std::string_view type;  // an INSTRUMENT_TYPE value
  std::string_view folder;
  const RecordLayout& (*layout)();
  DayRule day_rule;
};
const std::vector<InstrumentClass>& INSTRUMENT_CLASSES();
// The first row of one of the module's tables whose `member` equals
// `value`; null when none does.
template <class Table, class Member, class Value>
auto find_row(const Table& table, Member member, const Value& value) -> decltype(&*table.begin()) {
  for (const auto& row : table)
    if (row.*member == value) return &row;
  return nullptr;
}
// nullptr when the type (or folder) has no minute-bar store.
const InstrumentClass* instrument_class(std::string_view type);
const InstrumentClass* instrument_class_of_folder(std::string_view folder);

// TAG_MAP, in table order: tag -> instrument types.
using TagRow = std::pair<std::string_view, std::vector<std::string_view>>;
const std::vector<TagRow>& TAG_MAP();
const std::vector<std::string_view>& EQUITIES_INS_TYPE();

inline constexpr std::int32_t MIN_START_DATE = 20050104;
inline constexpr std::int32_t MAX_END_DATE = 29991231;
inline constexpr int REBUILD_COMFIRM_RETRY_TIMES = 3;
inline constexpr std::size_t TICK_DATE_CHUNK_SIZE = 100;

// Bundle layout below data_bundle_path.
namespace layout {
inline constexpr const char* BUNDLE = "bundle";
inline constexpr const char* TRADING_DATES = "trading_dates.npy";
inline constexpr const char* SUSPENDED_DAYS = "suspended_days.h5";
inline constexpr const char* INSTRUMENTS = "instruments.pk";
inline constexpr const char* MINBAR_ROOT = "h5";
inline constexpr const char* TICKS = "ticks";
inline constexpr const char* SAMPLE_ARCHIVE = "vxbundle_sample.tar.bz2";
inline constexpr const char* TEMP_ARCHIVE = "tessal_plus.bundle";
}  // namespace layout

// Joins path pieces with the platform separator.
std::string join(std::string_view a, std::string_view b);

// Throws util::Error naming the folder when `data_bundle_path` or its
// bundle folder is absent (kind not_found, errno ENOENT) or something else
// than a folder (errno ENOTDIR): for what only reads a bundle, a mistyped
// path is a mistake, not an empty bundle.
void require_bundle_folder(const std::string& data_bundle_path);

// The store files directly in `folder` as a shell's "*.h5" lists them:
// names ending in ".h5" that do not begin with a dot (unless
// `include_hidden`), in the order the system lists them. An absent folder
// holds none; a folder that cannot be read throws util::Error.
std::vector<std::string> list_store_files(const std::string& folder, bool include_hidden = false);
// The trading day a tick dataset is named after: 8 digits naming a real
// calendar date no later than `latest`. Nothing for any other name.
std::optional<std::int32_t> tick_day(std::string_view name, std::int32_t latest);
// The latest day a store can hold when the host's clock says `today`: a
// year ahead, so a clock set back a little never turns healthy files into
// damaged ones, while a day such as 99991231, which would stop every later
// update, is refused.
std::int32_t latest_storable_day(std::int32_t today);

// The folders directly in `folder` whose names do not begin with a dot.
std::vector<std::string> list_folders(const std::string& folder);
// The order book id the checks take from a store file's path: its base name
// with ".h5" removed.
std::string id_of_file(const std::string& path);

}  // namespace tessal_plus::bundle
