#include "tessal_plus/bundle/constants.hpp"

#include "tessal_plus/bundle/outside/host.hpp"

namespace tessal_plus::bundle {

namespace IT = tessal::INSTRUMENT_TYPE;

const RecordLayout& EQUITIES_DTYPE() {
  static const h5::Type type = [] {
    h5::Type t = h5::Type::compound(sizeof(EquitiesBar));
    t.insert("datetime", offsetof(EquitiesBar, datetime), H5T_STD_I64LE)
        .insert("open", offsetof(EquitiesBar, open), H5T_IEEE_F64LE)
        .insert("high", offsetof(EquitiesBar, high), H5T_IEEE_F64LE)
        .insert("low", offsetof(EquitiesBar, low), H5T_IEEE_F64LE)
        .insert("close", offsetof(EquitiesBar, close), H5T_IEEE_F64LE)
        .insert("volume", offsetof(EquitiesBar, volume), H5T_IEEE_F64LE)
        .insert("total_turnover", offsetof(EquitiesBar, total_turnover), H5T_IEEE_F64LE);
    return t;
  }();
  static const RecordLayout layout{type, {"datetime", "open", "high", "low", "close", "volume", "total_turnover"}, sizeof(EquitiesBar)};
  return layout;
}

const RecordLayout& DERIVATIVES_DTYPE() {
  static const h5::Type type = [] {
    h5::Type t = h5::Type::compound(sizeof(DerivativesBar));
    t.insert("datetime", offsetof(DerivativesBar, datetime), H5T_STD_I64LE)
        .insert("open", offsetof(DerivativesBar, open), H5T_IEEE_F64LE)
        .insert("high", offsetof(DerivativesBar, high), H5T_IEEE_F64LE)
        .insert("low", offsetof(DerivativesBar, low), H5T_IEEE_F64LE)
        .insert("close", offsetof(DerivativesBar, close), H5T_IEEE_F64LE)
        .insert("open_interest", offsetof(DerivativesBar, open_interest), H5T_STD_I64LE)
        .insert("volume", offsetof(DerivativesBar, volume), H5T_IEEE_F64LE)
        .insert("total_turnover", offsetof(DerivativesBar, total_turnover), H5T_IEEE_F64LE);
    return t;
  }();
  static const RecordLayout layout{
      type, {"datetime", "open", "high", "low", "close", "open_interest", "volume", "total_turnover"}, sizeof(DerivativesBar)};
  return layout;
}

const RecordLayout& INDEX_DTYPE() {
  static const h5::Type type = [] {
    h5::Type t = h5::Type::compound(sizeof(IndexRecord));
    t.insert("date", offsetof(IndexRecord, date), H5T_STD_I32LE).insert("line_no", offsetof(IndexRecord, line_no), H5T_STD_U32LE);
    return t;
  }();
  static const RecordLayout layout{type, {"date", "line_no"}, sizeof(IndexRecord)};
  return layout;
}

const std::vector<TagRow>& TAG_MAP() {
  static const std::vector<TagRow> rows = {
      {"stock", {IT::CS}},
      {"futures", {IT::FUTURE}},
      {"fund", {IT::ETF, IT::LOF, IT::INDX}},
      {"index", {IT::INDX}},
      {"option", {IT::OPTION}},
      {"convertible", {IT::CONVERTIBLE}},
  };
  return rows;
}

const std::vector<std::string_view>& EQUITIES_INS_TYPE() {
  static const std::vector<std::string_view> types = {IT::CS, IT::ETF, IT::LOF, IT::INDX, IT::CONVERTIBLE, IT::REITs};
  return types;
}

const h5::FilterSpec& COMPRESSION_KWARGS() {
  static const h5::FilterSpec opts = tessal::blosc_opts(9, "blosc:lz4");
  return opts;
}

// Computed at load, so a host without the Blosc settings fails loudly at once.
[[maybe_unused]] static const h5::FilterSpec& g_compression_at_load = COMPRESSION_KWARGS();

std::string join(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  if (!b.empty() && b.front() == '/') return std::string(b);
  std::string out(a);
  if (out.back() != '/') out += '/';
  out += b;
  return out;
}

}  // namespace tessal_plus::bundle
