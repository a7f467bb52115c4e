// The tick writer: one Blosc-compressed dataset per trading day, the latest
// day fetched again, suspension markers for stocks, failure messages.
#include "h5/journal.hpp"
#include "support.hpp"
#include "tessal/ticks_layout.hpp"
#include "tessal_plus/bundle/writers.hpp"

using namespace testing_support;
using namespace tessal_plus::bundle;

namespace {

class TickWriter : public WriterTest {
 protected:
  PinClock clock{"2024-06-05 18:00:00"};
  std::string folder = dir / "ticks";

  void SetUp() override {
    fake.calendar = weekdays(20240101, 20241231);
    fake.add_instrument("S", "CS");
    fake.day_bars["S"] = {20240603, 20240604, 20240605};
    for (auto d : fake.day_bars["S"]) add_ticks("S", d, d, {93000, 93003});
  }
  std::string file(const std::string& id = "S") { return folder + "/" + id + ".h5"; }

  // Ticks of one trading day at the given HHMMSS times on `calendar_day`.
  void add_ticks(const std::string& id, std::int32_t trading_day, std::int32_t calendar_day, const std::vector<int>& times,
                 bool with_open_interest = false, double last = 10.23) {
    quillonc::Table& t = fake.ticks[id];
    if (t.columns.empty()) {
      t.trading_date.emplace();
      for (const auto& f : tick_layout().fields) {
        const std::string_view n = f.name;
        if (n == "date" || n == "time" || (n == "open_interest" && !with_open_interest)) continue;
        t.add_column(std::string(n));
      }
    }
    for (int hhmmss : times) {
      t.time.push_back(util::make_timestamp(calendar_day, hhmmss / 10000, hhmmss / 100 % 100, hhmmss % 100));
      t.trading_date->push_back(util::make_timestamp(trading_day));
      for (auto& [n, v] : t.columns) v.push_back(n == "last" ? last : n == "open_interest" ? 777 : n == "volume" ? 100 : 1.5);
    }
  }
  std::vector<std::string> names() {
    h5::File f = h5::File::open(file(), h5::Mode::read);
    return f.root_names();
  }
  std::vector<tessal::TickRecord> day(const std::string& name) {
    h5::File f = h5::File::open(file(), h5::Mode::read);
    const h5::Dataset ds = f.open_dataset(name);
    std::vector<tessal::TickRecord> out(ds.size());
    ds.read(out.data(), tick_layout().type.get());
    return out;
  }
};

TEST_F(TickWriter, NewFileHoldsOneCompressedDatasetPerTradingDay) {
  CaptureStdout out;
  _append_h5_tick(test_run(), "S", folder, std::string(""), 20240601);
  EXPECT_EQ(out.text(), "2024-06-03 2024-06-05\n");
  EXPECT_EQ(fake.calls[0], "get_price S 20240601 20240605 1d cn");
  EXPECT_EQ(names(), (std::vector<std::string>{"20240603", "20240604", "20240605"}));
  const auto ticks = day("20240604");
  ASSERT_EQ(ticks.size(), 2u);
  EXPECT_EQ(ticks[0].date, 20240604);
  EXPECT_EQ(ticks[1].time, 93003000);
  EXPECT_EQ(ticks[0].last, 102300);  // 10.23 scaled exactly, not truncated to 102299
  EXPECT_EQ(ticks[0].volume, 100);
  EXPECT_EQ(ticks[0].open_interest, 0);  // the service's table has no such column
  h5::File f = h5::File::open(file(), h5::Mode::read);
  const auto filters = f.open_dataset("20240604").filters();
  ASSERT_EQ(filters.size(), 1u);
  EXPECT_EQ(filters[0].id, h5::kBloscFilter);
  EXPECT_EQ(filters[0].cd_values.at(4), 9u);  // level
  EXPECT_EQ(filters[0].cd_values.at(5), 1u);  // byte shuffle
  EXPECT_EQ(filters[0].cd_values.at(6), 1u);  // LZ4
  EXPECT_TRUE(flag.value());
}

TEST_F(TickWriter, LatestDayIsFetchedAgainAndLaterDaysAdded) {
  fake.day_bars["S"] = {20240603, 20240604};
  {
    PinClock c("2024-06-04 18:00:00");
    _append_h5_tick(test_run(), "S", folder, std::nullopt, 20240601);
  }
  fake.day_bars["S"] = {20240603, 20240604, 20240605};
  fake.ticks.erase("S");
  add_ticks("S", 20240604, 20240604, {93000, 93003, 93006});  // day 0604 grew
  add_ticks("S", 20240605, 20240605, {93000});
  fake.calls.clear();
  CaptureStdout out;
  _append_h5_tick(test_run(), "S", folder);
  EXPECT_EQ(out.text(), "2024-06-04 2024-06-05\n");
  EXPECT_EQ(fake.calls[0], "get_price S 20240604 20240605 1d cn");
  EXPECT_EQ(names(), (std::vector<std::string>{"20240603", "20240604", "20240605"}));
  EXPECT_EQ(day("20240604").size(), 3u);
  EXPECT_EQ(day("20240603").size(), 2u);
}

TEST_F(TickWriter, EndBeforeLatestDayOrNoDayBarsWritesNothing) {
  _append_h5_tick(test_run(), "S", folder, std::nullopt, 20240601);
  const std::string before = read_file(file());
  {
    PinClock c("2024-06-04 09:00:00");
    fake.calls.clear();
    _append_h5_tick(test_run(), "S", folder);
    EXPECT_TRUE(fake.calls.empty());
  }
  EXPECT_EQ(read_file(file()), before);
  // Empty day-bar answer: no ticks, no suspension markers.
  fake.add_instrument("Q", "CS");
  fake.suspended["Q"] = {20240604};
  _append_h5_tick(test_run(), "Q", folder, std::nullopt, 20240601);
  h5::File f = h5::File::open(file("Q"), h5::Mode::read);
  EXPECT_TRUE(f.root_names().empty());
  EXPECT_EQ(fake.count("is_suspended"), 0u);
  EXPECT_TRUE(flag.value());
}

TEST_F(TickWriter, ChunksOfOneHundredDaysAndChunksWithoutTicksAreSkipped) {
  fake.add_instrument("L", "ETF");
  fake.day_bars["L"] = weekdays(20240101, 20240605);  // more than 100 days
  add_ticks("L", 20240605, 20240605, {93000});
  CaptureStdout out;
  _append_h5_tick(test_run(), "L", folder, std::nullopt, 20240101);
  const std::string text = out.text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
  const auto& days = fake.day_bars["L"];
  EXPECT_EQ(text.substr(0, 22), util::format_dashed(days[0]) + " " + util::format_dashed(days[99]) + "\n");
  EXPECT_EQ(fake.count("get_price L"), 3u);
  h5::File f = h5::File::open(file("L"), h5::Mode::read);
  EXPECT_EQ(f.root_names(), std::vector<std::string>{"20240605"});
}

TEST_F(TickWriter, RepeatedStampsKeepTheLastAndNightTicksGoToTheirTradingDay) {
  fake.add_instrument("F", std::string(tessal::INSTRUMENT_TYPE::FUTURE));
  fake.day_bars["F"] = {20240605};
  add_ticks("F", 20240605, 20240604, {210000}, true, 5.0);  // night session of 0605
  add_ticks("F", 20240605, 20240605, {90000}, true, 6.0);
  add_ticks("F", 20240605, 20240605, {90000}, true, 7.0);  // same stamp: this one counts
  _append_h5_tick(test_run(), "F", folder, std::nullopt, 20240605);
  h5::File f = h5::File::open(file("F"), h5::Mode::read);
  EXPECT_EQ(f.root_names(), std::vector<std::string>{"20240605"});
  const h5::Dataset ds = f.open_dataset("20240605");
  std::vector<tessal::TickRecord> r(ds.size());
  ds.read(r.data(), tick_layout().type.get());
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].date, 20240604);
  EXPECT_EQ(r[0].time, 210000000);
  EXPECT_EQ(r[1].last, 70000);
  EXPECT_EQ(r[1].open_interest, 777);
  EXPECT_EQ(fake.count("is_suspended"), 0u);  // not a stock: no markers

  // A repeated stamp delivered apart from its twin: still the later one
  // counts. (A day's rows keep their delivery order.)
  fake.add_instrument("G", std::string(tessal::INSTRUMENT_TYPE::FUTURE));
  fake.day_bars["G"] = {20240605};
  add_ticks("G", 20240605, 20240605, {90000}, true, 6.0);
  add_ticks("G", 20240605, 20240604, {210000}, true, 5.0);
  add_ticks("G", 20240605, 20240605, {90000}, true, 7.0);
  _append_h5_tick(test_run(), "G", folder, std::nullopt, 20240605);
  EXPECT_EQ(read_file(file("F")), read_file(file("G")));
  // Delivered out of time order, without repeats: stored as delivered.
  fake.add_instrument("H", std::string(tessal::INSTRUMENT_TYPE::FUTURE));
  fake.day_bars["H"] = {20240605};
  add_ticks("H", 20240605, 20240605, {90000}, true, 7.0);
  add_ticks("H", 20240605, 20240604, {210000}, true, 5.0);
  _append_h5_tick(test_run(), "H", folder, std::nullopt, 20240605);
  const h5::File hf = h5::File::open(file("H"), h5::Mode::read);
  const h5::Dataset h = hf.open_dataset("20240605");
  std::vector<tessal::TickRecord> delivered(h.size());
  h.read(delivered.data(), tick_layout().type.get());
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(delivered[0].time, 90000000);
}

TEST_F(TickWriter, SuspensionMarkersOnlyForStocksAndNeverOverADay) {
  fake.suspended["S"] = {20240604, 20240606};
  fake.day_bars["S"] = {20240603, 20240604, 20240605, 20240606};
  PinClock c("2024-06-06 18:00:00");
  _append_h5_tick(test_run(), "S", folder, std::nullopt, 20240603);
  EXPECT_EQ(names(), (std::vector<std::string>{"20240603", "20240604", "20240605", "20240606"}));
  EXPECT_EQ(day("20240604").size(), 2u);  // has ticks: kept as it is
  h5::File f = h5::File::open(file(), h5::Mode::read);
  const h5::Dataset marker = f.open_dataset("20240606");
  EXPECT_EQ(marker.size(), 0u);
  EXPECT_TRUE(marker.filters().empty());
  EXPECT_FALSE(marker.chunk_rows().has_value());
}

TEST_F(TickWriter, RefusalAndLockAndForeignDatasetsAreLogged) {
  fake.fail_on = [](const std::string& c) {
    if (c.find(" tick ") != std::string::npos) throw quillonc::PermissionDenied("no ticks for you");
  };
  _append_h5_tick(test_run(), "S", folder, std::nullopt, 20240601);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "更新 " + file() + " 失败，您没有相关数据的使用权限，可联系星桥科技开通相关权限：0000-00000000");
  EXPECT_FALSE(flag.value());
  fake.fail_on = nullptr;
  // A first fill that fails leaves nothing under the file's name.
  EXPECT_FALSE(fs::exists(file()));
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  _append_h5_tick(test_run(), "S", folder, std::nullopt, 20240601);
  ASSERT_EQ(log.lines.size(), 1u);

  {
    HeldOpen held(file());
    _append_h5_tick(test_run(), "S", folder);
  }
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[1].rfind("更新 " + file() + " 失败，请检查文件的权限以及是否被其他进程占用\n", 0), 0u) << log.lines[1];

  // A minute-bar file put where a tick file belongs: "index" sorts last.
  const std::string minute = folder + "/M.h5";
  {
    h5::File f = h5::File::open(minute, h5::Mode::create);
    const std::int64_t v = 1;
    f.create_dataset("data", h5::Type(H5T_STD_I64LE, false), &v, 1, {});
    f.create_dataset("index", h5::Type(H5T_STD_I64LE, false), &v, 1, {});
    f.close();
  }
  const std::string before = read_file(minute);
  _append_h5_tick(test_run(), "M", folder);
  ASSERT_EQ(log.lines.size(), 3u);
  EXPECT_EQ(log.lines[2].rfind("更新 " + minute + " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\n", 0), 0u);
  EXPECT_EQ(read_file(minute), before);
}

// A tick file deleted by hand after a killed update, or rebuilt, is whole
// and has no journal left beside it: it equals a fresh build.
TEST_F(TickWriter, AHotJournalNeverOutlivesItsFile) {
  _append_h5_tick(test_run(), "S", dir / "fresh", std::nullopt, 20240601);
  const std::string fresh = read_file(dir / "fresh/S.h5");
  for (const bool rebuild : {false, true}) {
    SCOPED_TRACE(rebuild ? "rebuilt" : "deleted, then updated");
    fs::remove_all(folder);
    {
      PinClock earlier("2024-06-04 18:00:00");
      _append_h5_tick(test_run(), "S", folder, std::nullopt, 20240601);
    }
    crash_at_last_write(file(), [&] { _append_h5_tick(test_run(), "S", folder, std::nullopt, 20240601); });
    ASSERT_TRUE(fs::exists(h5::journal::journal_path(file())));
    if (!rebuild) fs::remove(file());
    _append_h5_tick(test_run(), "S", folder, std::nullopt, 20240601, rebuild);
    h5::File::open(file(), h5::Mode::read).close();
    EXPECT_EQ(read_file(file()), fresh);
    EXPECT_FALSE(fs::exists(h5::journal::journal_path(file())));
  }
  EXPECT_TRUE(flag.value());
}

// A value an integer field cannot hold (NaN, infinity, beyond its range) or
// a missing time stamp refuses the whole answer: logged with the id, the
// column and the time, and the file stays as it was.
TEST_F(TickWriter, AnAnswerTheRecordsCannotHoldIsRefused) {
  _append_h5_tick(test_run(), "S", folder, std::nullopt, 20240601);
  const std::string before = read_file(file());
  const std::vector<std::pair<const char*, double>> bad = {
      {"volume", std::nan("")}, {"a1", HUGE_VAL}, {"last", 1e300}};
  for (const auto& [column, value] : bad) {
    SCOPED_TRACE(column);
    quillonc::Table& t = fake.ticks["S"];
    const auto saved = t;
    for (auto& [name, col] : t.columns)
      if (name == column) col.back() = value;
    _append_h5_tick(test_run(), "S", folder);
    t = saved;
    ASSERT_FALSE(log.lines.empty());
    EXPECT_NE(log.lines.back().find(std::string("column '") + column + "' at 20240605093003"), std::string::npos)
        << log.lines.back();
    EXPECT_EQ(read_file(file()), before);
  }
  quillonc::Table& t = fake.ticks["S"];
  const auto saved = t;
  t.time.back() = util::make_timestamp(16770921);  // pandas' NaT, as a time stamp
  _append_h5_tick(test_run(), "S", folder);
  t = saved;
  EXPECT_NE(log.lines.back().find("missing time stamp"), std::string::npos) << log.lines.back();
  EXPECT_EQ(read_file(file()), before);
  EXPECT_EQ(log.lines.size(), bad.size() + 1);
}

TEST_F(TickWriter, RebuildKeepsTheOldFileUntilTheRefillIsComplete) {
  _append_h5_tick(test_run(), "S", folder, std::nullopt, 20240605);
  const std::string old = read_file(file());
  fake.fail_on = [](const std::string& c) {
    if (c.find(" tick ") != std::string::npos) throw quillonc::ServiceError("service down");
  };
  _append_h5_tick(test_run(), "S", folder, std::nullopt, 20240601, true);
  EXPECT_FALSE(flag.value());
  EXPECT_EQ(read_file(file()), old);
  fake.fail_on = nullptr;
  _append_h5_tick(test_run(), "S", folder, std::nullopt, 20240601, true);
  EXPECT_EQ(names().size(), 3u);
  std::vector<std::string> entries;
  for (const auto& e : fs::directory_iterator(folder)) entries.push_back(e.path().filename().string());
  EXPECT_EQ(entries, std::vector<std::string>{"S.h5"});
}

}  // namespace

namespace {
// A day too short for Blosc to shrink (one 256-byte tick) is stored as it
// is, not lost: a failing filter used to leave the day without its chunk,
// read back as zeros.
TEST_F(TickWriter, ADayOfOneTickIsStoredWhole) {
  fake.day_bars["T"] = {20240605};
  fake.add_instrument("T", "CS");
  add_ticks("T", 20240605, 20240605, {93000}, false, 12.34);
  _append_h5_tick(test_run(), "T", folder, std::nullopt, 20240605);
  EXPECT_TRUE(log.lines.empty()) << log.lines[0];
  h5::File f = h5::File::open(file("T"), h5::Mode::read);
  const h5::Dataset ds = f.open_dataset("20240605");
  ASSERT_EQ(ds.size(), 1u);
  std::vector<tessal::TickRecord> r(1);
  ds.read(r.data(), tick_layout().type.get());
  EXPECT_EQ(r[0].date, 20240605);
  EXPECT_EQ(r[0].last, 123400);
}
}  // namespace

namespace {
// Every stored chunk's bytes and filter mask, by dataset.
std::map<std::string, std::pair<std::uint32_t, std::string>> raw_chunks(const std::string& path) {
  std::map<std::string, std::pair<std::uint32_t, std::string>> out;
  h5::File f = h5::File::open(path, h5::Mode::read);
  for (const auto& name : f.root_names()) {
    const h5::Dataset ds = f.open_dataset(name);
    hsize_t offset[1] = {0}, size = 0;
    unsigned mask = 0;
    haddr_t addr = 0;
    if (ds.size() == 0 || H5Dget_chunk_info_by_coord(ds.get(), offset, &mask, &addr, &size) < 0) continue;
    std::string bytes(size, '\0');
    std::uint32_t filters = 0;
    H5Dread_chunk(ds.get(), H5P_DEFAULT, offset, &filters, bytes.data());
    out[name] = {filters, bytes};
  }
  return out;
}

// Chunks compressed by the writer itself are the bytes HDF5's Blosc filter
// writes. (A day Blosc cannot shrink, stored with the filter skipped, is
// read back in fake_host_tests, whose 72-byte days are too small for it.)
TEST_F(TickWriter, ChunksCompressedDirectlyEqualTheFiltersOwn) {
  fake.day_bars["S"].push_back(20240606);
  add_ticks("S", 20240606, 20240606, {93000});
  PinClock late("2024-06-06 18:00:00");
  h5::set_direct_blosc_writes(false);
  _append_h5_tick(test_run(), "S", folder, std::string("pipeline.h5"), 20240601);
  h5::set_direct_blosc_writes(true);
  _append_h5_tick(test_run(), "S", folder, std::string("direct.h5"), 20240601);
  const auto a = raw_chunks(folder + "/pipeline.h5"), b = raw_chunks(folder + "/direct.h5");
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.at("20240603").first, 0u);  // compressed by the filter
  EXPECT_EQ(read_file(folder + "/pipeline.h5"), read_file(folder + "/direct.h5"));
}
}  // namespace

namespace {
// Every field of every stored record against a plain row-by-row conversion:
// each column has its own values (negative ones and rounding edges too), the
// days differ in length (a long day first, so its record buffer is reused
// for the shorter ones) and repeated stamps drop rows inside a day, so a day
// is read as several runs of the answer.
TEST_F(TickWriter, EveryFieldOfEveryRecordIsItsScaledColumnValue) {
  fake.add_instrument("V", std::string(tessal::INSTRUMENT_TYPE::FUTURE));
  fake.day_bars["V"] = {20240603, 20240604, 20240605};
  const std::vector<std::pair<std::int32_t, std::vector<int>>> days = {
      {20240603, {90000, 90001, 90001, 90002, 90003, 90003, 90003, 90004, 90005, 90006}},
      {20240604, {90000, 90000}},
      {20240605, {90000, 90001, 90002, 90002, 90003}}};
  for (const auto& [d, times] : days) add_ticks("V", d, d, times, true);
  quillonc::Table& t = fake.ticks["V"];
  for (std::size_t c = 0; c < t.columns.size(); ++c)
    for (std::size_t r = 0; r < t.rows(); ++r) t.columns[c].second[r] = (r % 3 == 1 ? -1.0 : 1.0) * (c * 100.0 + r + 0.00005 * (r % 4));
  // Rounding edges in kept rows (fields of scale 1 see them as they are):
  // just below one half, and halves either side of zero.
  for (auto& [name, v] : t.columns) v[3] = 0.49999999999999994, v[6] = -2.5, v[7] = 2.5;
  _append_h5_tick(test_run(), "V", folder, std::nullopt, 20240603);
  ASSERT_TRUE(log.lines.empty()) << log.lines[0];

  const auto& fields = tick_layout().fields;
  const std::size_t itemsize = tick_layout().type.size();
  h5::File f = h5::File::open(file("V"), h5::Mode::read);
  std::size_t answer_row = 0;
  for (const auto& [d, times] : days) {
    // The rows kept: the last of each run of equal stamps.
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < times.size(); ++i, ++answer_row)
      if (i + 1 == times.size() || times[i + 1] != times[i]) kept.push_back(answer_row);
    const h5::Dataset ds = f.open_dataset(std::to_string(d));
    ASSERT_EQ(ds.size(), kept.size()) << d;
    std::vector<char> bytes(kept.size() * itemsize);
    ds.read(bytes.data(), tick_layout().type.get());
    for (std::size_t k = 0; k < kept.size(); ++k) {
      const std::size_t row = kept[k];
      for (const auto& field : fields) {
        const char* at = bytes.data() + k * itemsize + field.offset;
        double want;
        if (field.name == "date") want = d;
        else if (field.name == "time") want = times[row - (answer_row - times.size())] * 1000.0;
        else want = (*t.column(field.name))[row] * field.scale;
        SCOPED_TRACE(::testing::Message() << d << " record " << k << " field " << field.name);
        if (field.kind == tessal_plus::bundle::FieldKind::f64) {
          double got;
          std::memcpy(&got, at, sizeof got);
          EXPECT_EQ(got, want);
        } else if (field.kind == tessal_plus::bundle::FieldKind::i64) {
          std::int64_t got;
          std::memcpy(&got, at, sizeof got);
          EXPECT_EQ(got, std::llround(want));
        } else {
          std::int32_t got;
          std::memcpy(&got, at, sizeof got);
          EXPECT_EQ(got, static_cast<std::int32_t>(std::llround(want)));
        }
      }
    }
  }
}
}  // namespace
