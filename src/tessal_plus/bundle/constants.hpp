#pragma once
// Constants shared by the whole module: the minute-bar record layouts, the
// tag table, the equities types, the date limits, and the bundle layout.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "h5/h5.hpp"

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

static_assert(sizeof(EquitiesBar) == 56 && offsetof(EquitiesBar, close) == 32 && offsetof(EquitiesBar, total_turnover) == 48);
static_assert(sizeof(DerivativesBar) == 64 && offsetof(DerivativesBar, open_interest) == 40 &&
              offsetof(DerivativesBar, volume) == 48 && offsetof(DerivativesBar, total_turnover) == 56);
static_assert(sizeof(IndexRecord) == 8 && offsetof(IndexRecord, line_no) == 4);

// A record layout: its HDF5 compound type and the names of its fields in order.
struct RecordLayout {
  const h5::Type& type;
  std::vector<std::string> fields;
  std::size_t itemsize;
};
const RecordLayout& EQUITIES_DTYPE();
const RecordLayout& DERIVATIVES_DTYPE();
const RecordLayout& INDEX_DTYPE();

// TAG_MAP, in table order: tag -> instrument types.
using TagRow = std::pair<std::string_view, std::vector<std::string_view>>;
const std::vector<TagRow>& TAG_MAP();
const std::vector<std::string_view>& EQUITIES_INS_TYPE();

inline constexpr std::int32_t MIN_START_DATE = 20050104;
inline constexpr std::int32_t MAX_END_DATE = 29991231;
inline constexpr int REBUILD_COMFIRM_RETRY_TIMES = 3;
inline constexpr std::size_t TICK_DATE_CHUNK_SIZE = 100;
// blosc_opts(9, "blosc:lz4"), computed once when the module loads.
const h5::FilterSpec& COMPRESSION_KWARGS();

// Bundle layout below data_bundle_path.
namespace layout {
inline constexpr const char* BUNDLE = "bundle";
inline constexpr const char* TRADING_DATES = "trading_dates.npy";
inline constexpr const char* SUSPENDED_DAYS = "suspended_days.h5";
inline constexpr const char* INSTRUMENTS = "instruments.pk";
inline constexpr const char* MINBAR_ROOT = "h5";
inline constexpr const char* TICKS = "ticks";
inline constexpr const char* EQUITIES_FOLDER = "equities";
inline constexpr const char* FUTURE_FOLDER = "future";
inline constexpr const char* OPTION_FOLDER = "option";
inline constexpr const char* SAMPLE_ARCHIVE = "vxbundle_sample.tar.bz2";
inline constexpr const char* TEMP_ARCHIVE = "tessal_plus.bundle";
}  // namespace layout

// Joins path pieces with the platform separator.
std::string join(std::string_view a, std::string_view b);

}  // namespace tessal_plus::bundle
