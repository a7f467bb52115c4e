#include "tessal_plus/bundle/constants.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include <fmt/format.h>

#include "util/datetime.hpp"

#include "util/error.hpp"

#include "tessal_plus/bundle/outside/host.hpp"

namespace tessal_plus::bundle {

namespace IT = tessal::INSTRUMENT_TYPE;

// Each layout's fields must follow each other without gaps and fill the
// record: the structs above are what the writers fill and the checks read.
namespace {
RecordLayout packed_layout(std::vector<RecordField> fields, std::size_t itemsize) {
  std::size_t at = 0;
  for (const auto& f : fields) {
    if (f.offset != at) throw std::logic_error("record layout '" + f.name + "' is not packed");
    at += field_size(f.kind);
  }
  if (at != itemsize) throw std::logic_error("record layout does not fill its record");
  return RecordLayout::of(std::move(fields), itemsize);
}
}  // namespace

const RecordLayout& EQUITIES_DTYPE() {
  static const RecordLayout layout = packed_layout(
      {{"datetime", FieldKind::i64, 1, offsetof(EquitiesBar, datetime)}, {"open", FieldKind::f64, 1, offsetof(EquitiesBar, open)},
       {"high", FieldKind::f64, 1, offsetof(EquitiesBar, high)},         {"low", FieldKind::f64, 1, offsetof(EquitiesBar, low)},
       {"close", FieldKind::f64, 1, offsetof(EquitiesBar, close)},       {"volume", FieldKind::f64, 1, offsetof(EquitiesBar, volume)},
       {"total_turnover", FieldKind::f64, 1, offsetof(EquitiesBar, total_turnover)}},
      sizeof(EquitiesBar));
  return layout;
}
const RecordLayout& DERIVATIVES_DTYPE() {
  static const RecordLayout layout = packed_layout(
      {{"datetime", FieldKind::i64, 1, offsetof(DerivativesBar, datetime)},
       {"open", FieldKind::f64, 1, offsetof(DerivativesBar, open)},
       {"high", FieldKind::f64, 1, offsetof(DerivativesBar, high)},
       {"low", FieldKind::f64, 1, offsetof(DerivativesBar, low)},
       {"close", FieldKind::f64, 1, offsetof(DerivativesBar, close)},
       {"open_interest", FieldKind::i64, 1, offsetof(DerivativesBar, open_interest)},
       {"volume", FieldKind::f64, 1, offsetof(DerivativesBar, volume)},
       {"total_turnover", FieldKind::f64, 1, offsetof(DerivativesBar, total_turnover)}},
      sizeof(DerivativesBar));
  return layout;
}
const RecordLayout& INDEX_DTYPE() {
  static const RecordLayout layout = packed_layout(
      {{"date", FieldKind::i32, 1, offsetof(IndexRecord, date)}, {"line_no", FieldKind::u32, 1, offsetof(IndexRecord, line_no)}},
      sizeof(IndexRecord));
  return layout;
}

// Equities first, in the order of EQUITIES_INS_TYPE.
const std::vector<InstrumentClass>& INSTRUMENT_CLASSES() {
  static const std::vector<InstrumentClass> table = {
      {IT::CS, "equities", EQUITIES_DTYPE, DayRule::opens_0931},
      {IT::ETF, "equities", EQUITIES_DTYPE, DayRule::opens_0931},
      {IT::LOF, "equities", EQUITIES_DTYPE, DayRule::opens_0931},
      {IT::INDX, "equities", EQUITIES_DTYPE, DayRule::opens_0931},
      {IT::CONVERTIBLE, "equities", EQUITIES_DTYPE, DayRule::opens_0931},
      {IT::REITs, "equities", EQUITIES_DTYPE, DayRule::opens_0931},
      {IT::FUTURE, "future", DERIVATIVES_DTYPE, DayRule::night_session},
      {IT::OPTION, "option", DERIVATIVES_DTYPE, DayRule::night_session},
  };
  return table;
}

const InstrumentClass* instrument_class(std::string_view type) { return find_row(INSTRUMENT_CLASSES(), &InstrumentClass::type, type); }

const InstrumentClass* instrument_class_of_folder(std::string_view folder) {
  return find_row(INSTRUMENT_CLASSES(), &InstrumentClass::folder, folder);
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
  static const std::vector<std::string_view> types = [] {
    std::vector<std::string_view> out;
    for (const auto& c : INSTRUMENT_CLASSES())
      if (c.layout == EQUITIES_DTYPE) out.push_back(c.type);
    return out;
  }();
  return types;
}


std::string join(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  if (!b.empty() && b.front() == '/') return std::string(b);
  std::string out(a);
  if (out.back() != '/') out += '/';
  out += b;
  return out;
}

void require_bundle_folder(const std::string& data_bundle_path) {
  const std::string bundle = join(data_bundle_path, layout::BUNDLE);
  for (const std::string& folder : {data_bundle_path, bundle}) {
    const std::string what = folder == bundle ? fmt::format(": '{}' holds no bundle", data_bundle_path) : std::string();
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
      const int e = errno;
      // Any other failure (permission, say) is left to the reading itself.
      if (e != ENOENT && e != ENOTDIR) return;
      throw util::Error(util::ErrorKind::not_found, folder, fmt::format("the folder '{}' does not exist{}", folder, what), ENOENT);
    }
    if (!S_ISDIR(st.st_mode))
      throw util::Error(util::ErrorKind::os, folder, fmt::format("'{}' is not a folder{}", folder, what), ENOTDIR);
  }
}

namespace {
// Entries of `folder` in the order the system lists them, for which
// `keep(name)` holds. An absent folder (or a file in its place) has none.
template <class Keep>
std::vector<std::string> list_entries(const std::string& folder, Keep keep) {
  std::vector<std::string> out;
  DIR* d = ::opendir(folder.c_str());
  if (!d) {
    if (errno == ENOENT || errno == ENOTDIR) return out;
    util::throw_os_error(errno, "cannot list", folder);
  }
  struct Closer {
    DIR* d;
    ~Closer() { ::closedir(d); }
  } closer{d};
  while (const dirent* e = ::readdir(d)) {
    const std::string_view name = e->d_name;
    if (name != "." && name != ".." && keep(name)) out.push_back(join(folder, name));
  }
  return out;
}
}  // namespace

std::vector<std::string> list_store_files(const std::string& folder, bool include_hidden) {
  return list_entries(folder, [&](std::string_view name) {
    return (include_hidden || name.front() != '.') && name.size() >= 3 && name.substr(name.size() - 3) == ".h5";
  });
}

std::vector<std::string> list_folders(const std::string& folder) {
  auto out = list_entries(folder, [](std::string_view name) { return name.front() != '.'; });
  std::erase_if(out, [](const std::string& p) {
    struct stat st{};
    return ::stat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
  });
  return out;
}

std::optional<std::int32_t> tick_day(std::string_view name, std::int32_t latest) {
  if (name.size() != 8 || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  std::int32_t day = 0;
  for (char c : name) day = day * 10 + (c - '0');
  if (!util::is_valid_yyyymmdd(day) || day > latest) return std::nullopt;
  return day;
}

std::int32_t latest_storable_day(std::int32_t today) { return util::add_days(today, 366); }

std::string id_of_file(const std::string& path) {
  const auto slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  for (auto p = name.find(".h5"); p != std::string::npos; p = name.find(".h5", p)) name.erase(p, 3);
  return name;
}

}  // namespace tessal_plus::bundle
