// The minute-bar writer: where files go, what is fetched, how an existing
// file is continued or repaired, and how failures are reported.
#include "h5/journal.hpp"
#include "minbar_files.hpp"
#include "h5/column.hpp"
#include "support.hpp"
#include "tessal_plus/bundle/writers.hpp"

using namespace testing_support;
using namespace tessal_plus::bundle;

namespace {

class MinbarWriter : public WriterTest {
 protected:
  std::unique_ptr<PinClock> clock = std::make_unique<PinClock>("2024-06-05 18:00:00");
  std::string root = dir / "h5";

  void SetUp() override {
    fake.calendar = weekdays(20050103, 20241231);
    fake.add_instrument("A", "CS");
    fake.add_equity_bars("A", {20240603, 20240604, 20240605});
  }
  std::string file(const std::string& id = "A", const std::string& folder = "equities") { return root + "/" + folder + "/" + id + ".h5"; }
  std::vector<std::string> price_calls() const {
    std::vector<std::string> out;
    for (const auto& c : fake.calls)
      if (c.rfind("get_price", 0) == 0) out.push_back(c);
    return out;
  }
  void set_clock(const std::string& now) {
    clock.reset();
    clock = std::make_unique<PinClock>(now);
  }
};

TEST(EndDate, CutOffAtHalfPastFiveAndCalendarBoundaries) {
  struct Case {
    const char* now;
    std::int32_t expected;
  } cases[] = {
      {"2024-06-05 17:29:59", 20240604},        {"2024-06-05 17:30:00", 20240604},
      {"2024-06-05 17:30:00.000001", 20240605}, {"2024-03-01 00:00:01", 20240229},
      {"2023-03-01 00:00:01", 20230228},        {"2024-01-01 00:00:01", 20231231},
  };
  for (const auto& c : cases) {
    PinClock clock(c.now);
    EXPECT_EQ(_get_end_date(host()), c.expected) << c.now;
  }
}

TEST(RemoveH5, AbsentFileIsNoErrorAndFolderIsAnError) {
  TempDir dir;
  const std::string f = dir / "x.h5";
  EXPECT_NO_THROW(remove_h5(f));
  write_file(f, "x");
  remove_h5(f);
  EXPECT_FALSE(fs::exists(f));
  EXPECT_NO_THROW(remove_h5(f));
  fs::create_directories(dir / "folder.h5");
  EXPECT_THROW(remove_h5(dir / "folder.h5"), util::Error);
}

TEST_F(MinbarWriter, NewFileStartsAtTheDefaultOrGivenStartDate) {
  _append_h5(test_run(), "A", root);
  EXPECT_EQ(price_calls(), std::vector<std::string>{"get_price A 20050104 20240605 1m cn"});
  const auto m = read_minute_file(file());
  ASSERT_EQ(m.index.size(), 3u);
  EXPECT_EQ(m.index[0].date, 20240603);
  EXPECT_EQ(m.index[0].line_no, 0u);
  EXPECT_EQ(m.index[2].line_no, 6u);
  ASSERT_EQ(m.datetimes.size(), 9u);
  EXPECT_EQ(m.datetimes[0], 20240603093100);
  EXPECT_EQ(m.datetimes[8], 20240605093300);

  fake.calls.clear();
  _append_h5(test_run(), "A", root, "other.h5", 20240604);
  EXPECT_EQ(price_calls(), std::vector<std::string>{"get_price A 20240604 20240605 1m cn"});
  const auto o = read_minute_file(root + "/equities/other.h5");
  ASSERT_EQ(o.index.size(), 2u);
  EXPECT_EQ(o.index[0].date, 20240604);
  EXPECT_EQ(o.index[0].line_no, 0u);
  EXPECT_TRUE(flag.value());
}

TEST_F(MinbarWriter, NothingIsCreatedForUnknownDelistedOrOtherInstruments) {
  try {
    _append_h5(test_run(), "NOPE", root);
    FAIL() << "an unknown id must raise";
  } catch (const util::Error& e) {
    EXPECT_EQ(e.kind(), util::ErrorKind::invalid_input);
    EXPECT_STREQ(e.what(), "标的 NOPE 不存在");
  }
  fake.add_instrument("OLD", "CS", "2004-12-31");
  fake.add_equity_bars("OLD", {20040105});
  _append_h5(test_run(), "OLD", root);
  fake.add_instrument("R", "Repo");
  fake.add_equity_bars("R", {20240603});
  _append_h5(test_run(), "R", root);
  EXPECT_FALSE(fs::exists(root));
  // A new file is created only when there are bars.
  fake.add_instrument("EMPTY", "CS");
  _append_h5(test_run(), "EMPTY", root, std::nullopt, 20240601);
  EXPECT_FALSE(fs::exists(root + "/equities/EMPTY.h5"));
  EXPECT_TRUE(flag.value());
}

TEST_F(MinbarWriter, DelistingDecidesTheEndDay) {
  // Several records: one still listed counts as listed.
  quillonc::Instrument r{"M", "CS", "XSHG", "2010-01-01", "", "", ""};
  fake.records["M"] = {r, r};
  fake.records["M"][1].de_listed_date = "0000-00-00";
  fake.add_equity_bars("M", {20240603});
  _append_h5(test_run(), "M", root);
  EXPECT_EQ(price_calls().back(), "get_price M 20050104 20240605 1m cn");
  // Otherwise the latest de-listing date is the end day.
  fake.records["M"][1].de_listed_date = "2024-06-04";
  fake.records["M"][0].de_listed_date = "2024-05-01";
  _append_h5(test_run(), "M", root, "M2.h5");
  EXPECT_EQ(price_calls().back(), "get_price M 20050104 20240604 1m cn");
}

TEST_F(MinbarWriter, EndDayFollowsTheClock) {
  set_clock("2024-06-05 17:30:00");
  _append_h5(test_run(), "A", root);
  EXPECT_EQ(price_calls().back(), "get_price A 20050104 20240604 1m cn");
  EXPECT_EQ(read_minute_file(file()).index.size(), 2u);
}

TEST_F(MinbarWriter, HongKongIdsAskTheHongKongMarket) {
  fake.add_instrument("00700.XHKG", "CS", "0000-00-00", "XHKG");
  fake.market_of["00700.XHKG"] = "hk";
  fake.add_equity_bars("00700.XHKG", {20240605});
  _append_h5(test_run(), "00700.XHKG", root);
  EXPECT_EQ(fake.calls.front(), "instruments 00700.XHKG hk");
  EXPECT_EQ(price_calls().back(), "get_price 00700.XHKG 20050104 20240605 1m hk");
  EXPECT_TRUE(fs::exists(file("00700.XHKG")));
}

TEST_F(MinbarWriter, UpToDateFileMakesNoBarRequestAndKeepsItsBytes) {
  _append_h5(test_run(), "A", root);
  const std::string before = read_file(file());
  fake.calls.clear();
  EXPECT_EQ(_append_h5(test_run(), "A", root).status, TaskStatus::up_to_date);
  EXPECT_TRUE(price_calls().empty());
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"instruments A cn", "next 20240605 cn"}));
  EXPECT_EQ(read_file(file()), before);
}

TEST_F(MinbarWriter, AppendedLineNumbersContinueAfterStoredRows) {
  set_clock("2024-06-04 18:00:00");
  _append_h5(test_run(), "A", root);
  EXPECT_EQ(read_minute_file(file()).datetimes.size(), 6u);
  set_clock("2024-06-05 18:00:00");
  EXPECT_EQ(_append_h5(test_run(), "A", root).status, TaskStatus::written);
  EXPECT_EQ(price_calls().back(), "get_price A 20240605 20240605 1m cn");
  const auto m = read_minute_file(file());
  ASSERT_EQ(m.index.size(), 3u);
  EXPECT_EQ(m.index[2].date, 20240605);
  EXPECT_EQ(m.index[2].line_no, 6u);
  EXPECT_EQ(m.datetimes.size(), 9u);
}

// Another writer's file may order the same members differently: its rows
// are read by member name, never as our records' bytes.
TEST_F(MinbarWriter, AFileWithItsMembersInAnotherOrderIsContinuedByName) {
  set_clock("2024-06-04 18:00:00");
  _append_h5(test_run(), "A", root);
  const auto ours = read_minute_file(file());
  {
    h5::Type data_type = h5::Type::compound(sizeof(EquitiesBar)), index_type = h5::Type::compound(sizeof(IndexRecord));
    const auto& fields = EQUITIES_DTYPE().fields;
    for (std::size_t i = 0; i < fields.size(); ++i)
      data_type.insert(fields[i].name.c_str(), 8 * (fields.size() - 1 - i), H5T_STD_I64LE);
    index_type.insert("line_no", 0, H5T_STD_U32LE).insert("date", 4, H5T_STD_I32LE);
    // The same values, each record's members in the reverse order.
    std::vector<std::int64_t> data;
    for (const auto t : ours.datetimes)
      for (std::int64_t member : {std::int64_t{6}, std::int64_t{5}, std::int64_t{4}, std::int64_t{3}, std::int64_t{2}, std::int64_t{1}, t})
        data.push_back(member);
    std::vector<std::uint32_t> index;
    for (const auto& r : ours.index) index.insert(index.end(), {r.line_no, static_cast<std::uint32_t>(r.date)});
    h5::File f = h5::File::open(file(), h5::Mode::create);
    f.create_dataset("data", data_type, data.data(), ours.datetimes.size(), {true, 64, 9, std::nullopt});
    f.create_dataset("index", index_type, index.data(), ours.index.size(), {true, 64, 9, std::nullopt});
    f.close();
  }
  const std::string before = read_file(file());
  EXPECT_EQ(_append_h5(test_run(), "A", root).status, TaskStatus::up_to_date);
  EXPECT_EQ(read_file(file()), before);
  set_clock("2024-06-05 18:00:00");
  fake.calls.clear();
  EXPECT_EQ(_append_h5(test_run(), "A", root).status, TaskStatus::written);
  EXPECT_EQ(price_calls(), std::vector<std::string>{"get_price A 20240605 20240605 1m cn"});
  const auto m = read_minute_file(file());
  ASSERT_EQ(m.index.size(), 3u);
  EXPECT_EQ(m.index[2].line_no, 6u);
  EXPECT_EQ(m.datetimes.size(), 9u);
}

TEST_F(MinbarWriter, InterruptedUpdateIsCutBackAndFetchedAgain) {
  _append_h5(test_run(), "A", root);
  {
    // An update stopped after appending `index`, before `data`.
    h5::File f = h5::File::open(file(), h5::Mode::read_write);
    h5::Dataset index = f.open_dataset("index");
    IndexRecord extra{20240606, 9};
    index.resize(4);
    index.write_rows(3, 1, &extra, INDEX_DTYPE().type.get());
    f.close();
  }
  fake.add_equity_bars("A", {20240606});
  set_clock("2024-06-06 18:00:00");
  fake.calls.clear();
  _append_h5(test_run(), "A", root);
  EXPECT_EQ(price_calls(), std::vector<std::string>{"get_price A 20240605 20240606 1m cn"});
  const auto m = read_minute_file(file());
  ASSERT_EQ(m.index.size(), 4u);
  EXPECT_EQ(m.index[2].date, 20240605);
  EXPECT_EQ(m.index[2].line_no, 6u);
  EXPECT_EQ(m.index[3].line_no, 9u);
  ASSERT_EQ(m.datetimes.size(), 12u);
  EXPECT_EQ(m.datetimes[6], 20240605093100);
}

TEST_F(MinbarWriter, IndexEmptiedByTheRepairRestartsAfterTheEarliestDate) {
  fs::create_directories(root + "/equities");
  write_minute_file(file(), {{20240603, 0}}, {20240604093100});
  _append_h5(test_run(), "A", root);
  EXPECT_EQ(price_calls(), std::vector<std::string>{"get_price A 20050105 20240605 1m cn"});
  const auto m = read_minute_file(file());
  EXPECT_EQ(m.index.size(), 3u);
  EXPECT_EQ(m.datetimes.front(), 20240603093100);
}

TEST_F(MinbarWriter, FileWithoutIndexIsFilledAnew) {
  fs::create_directories(root + "/equities");
  write_minute_file(file(), {}, {20200101093100, 20200101093200}, /*with_index=*/false);
  _append_h5(test_run(), "A", root, std::nullopt, 20240604);
  const auto m = read_minute_file(file());
  ASSERT_EQ(m.index.size(), 2u);
  EXPECT_EQ(m.datetimes.front(), 20240604093100);
  EXPECT_TRUE(flag.value());
}

TEST_F(MinbarWriter, IndexWithoutDataIsReportedAsDamaged) {
  fs::create_directories(root + "/equities");
  write_minute_file(file(), {{20240603, 0}}, {}, true, /*with_data=*/false);
  _append_h5(test_run(), "A", root);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].rfind("更新 " + file() + " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\n", 0), 0u)
      << log.lines[0];
  EXPECT_FALSE(flag.value());
}

TEST_F(MinbarWriter, FileHeldByAnotherProcessIsReportedAsOccupied) {
  _append_h5(test_run(), "A", root);
  HeldOpen held(file());
  fake.add_equity_bars("A", {20240606});
  set_clock("2024-06-06 18:00:00");
  _append_h5(test_run(), "A", root);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].rfind("更新 " + file() + " 失败，请检查文件的权限以及是否被其他进程占用\n", 0), 0u) << log.lines[0];
  EXPECT_FALSE(flag.value());
}

// The same bars delivered in time order and shuffled: stored in time order,
// the first delivered of a repeated stamp kept.
TEST_F(MinbarWriter, DuplicateTimeStampsKeepTheFirstAndTradingDatesComeFromTheService) {
  struct Bar {
    std::int32_t day;
    int h, m;
    double close;
    std::int32_t trading_day;
  };
  const std::vector<Bar> bars = {{20240604, 21, 1, 1.0, 20240605},  // night session of the next trading day
                                 {20240605, 9, 1, 2.0, 20240605},
                                 {20240605, 9, 1, 3.0, 20240605},  // repeated stamp: dropped
                                 {20240605, 9, 2, 4.0, 20240605}};
  fake.add_instrument("F", std::string(tessal::INSTRUMENT_TYPE::FUTURE));
  for (const std::vector<int>& order : {std::vector<int>{0, 1, 2, 3}, std::vector<int>{3, 1, 0, 2}}) {
    SCOPED_TRACE(order[0] == 0 ? "in time order" : "shuffled");
    quillonc::Table& t = fake.minute["F"];
    t = quillonc::Table{};
    for (const char* c : {"open", "high", "low", "close", "open_interest", "volume", "total_turnover"}) t.add_column(c);
    t.trading_date.emplace();
    for (int k : order) {
      const Bar& b = bars[k];
      t.time.push_back(util::make_timestamp(b.day, b.h, b.m));
      t.trading_date->push_back(util::make_timestamp(b.trading_day));
      for (auto& [n, v] : t.columns) v.push_back(n == "close" ? b.close : n == "open_interest" ? 12344.5 : 1.0);
    }
    fs::remove(file("F", "future"));
    _append_h5(test_run(), "F", root);
    const auto m = read_minute_file(file("F", "future"));
    ASSERT_EQ(m.index.size(), 1u);
    EXPECT_EQ(m.index[0].date, 20240605);
    EXPECT_EQ(m.datetimes, (std::vector<std::int64_t>{20240604210100, 20240605090100, 20240605090200}));
    EXPECT_EQ(m.close, (std::vector<double>{1.0, 2.0, 4.0}));
    // Integer fields follow the ticks' rule: rounded half away from zero.
    const h5::File f = h5::File::open(file("F", "future"), h5::Mode::read);
    EXPECT_EQ(h5::read_int64_member(f.open_dataset("data"), "open_interest", sizeof(DerivativesBar)),
              std::vector<std::int64_t>(3, 12345));
  }
}

TEST_F(MinbarWriter, RebuildReplacesTheFileOnlyWhenTheRefillIsComplete) {
  _append_h5(test_run(), "A", root, std::nullopt, 20240605);
  const std::string old = read_file(file());
  // A refill that fails leaves the old file as it was.
  fake.fail_on = [](const std::string& c) {
    if (c.rfind("get_price", 0) == 0) throw quillonc::ServiceError("service down");
  };
  EXPECT_THROW(_append_h5(test_run(), "A", root, std::nullopt, MIN_START_DATE, true), quillonc::ServiceError);
  EXPECT_EQ(read_file(file()), old);
  fake.fail_on = nullptr;
  // A complete refill replaces it and leaves no temporary file behind.
  _append_h5(test_run(), "A", root, std::nullopt, MIN_START_DATE, true);
  EXPECT_EQ(read_minute_file(file()).index.size(), 3u);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(root + "/equities")) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"A.h5"});
  // An answer of no bars removes the file.
  fake.minute.erase("A");
  _append_h5(test_run(), "A", root, std::nullopt, MIN_START_DATE, true);
  EXPECT_FALSE(fs::exists(file()));
  EXPECT_TRUE(flag.value());
}

// A killed update leaves a hot journal. A file then deleted by hand and
// updated again, or rebuilt, is whole: no journal outlives the file it was
// left for, and the new file equals a fresh build byte for byte. A rebuild
// of a file another process holds leaves it alone and says it is held.
TEST_F(MinbarWriter, AHotJournalNeverOutlivesItsFile) {
  _append_h5(test_run(), "A", dir / "fresh");
  const std::string fresh = read_file(dir / "fresh/equities/A.h5");
  for (const bool rebuild : {false, true}) {
    SCOPED_TRACE(rebuild ? "rebuilt" : "deleted, then updated");
    fs::remove_all(root);
    set_clock("2024-06-04 18:00:00");
    _append_h5(test_run(), "A", root);
    set_clock("2024-06-05 18:00:00");
    crash_at_last_write(file(), [&] { _append_h5(test_run(), "A", root); });
    ASSERT_TRUE(fs::exists(h5::journal::journal_path(file())));
    if (!rebuild) fs::remove(file());
    _append_h5(test_run(), "A", root, std::nullopt, MIN_START_DATE, rebuild);
    h5::File::open(file(), h5::Mode::read).close();
    EXPECT_EQ(read_file(file()), fresh);
    EXPECT_FALSE(fs::exists(h5::journal::journal_path(file())));
  }
  EXPECT_TRUE(flag.value());
  {
    HeldOpen held(file());
    _append_h5(test_run(), "A", root, std::nullopt, MIN_START_DATE, true);
  }
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].rfind("更新 " + file() + " 失败，请检查文件的权限以及是否被其他进程占用\n", 0), 0u) << log.lines[0];
  EXPECT_EQ(read_file(file()), fresh);
  EXPECT_EQ(fs::directory_iterator(root + "/equities")->path(), file()) << "no temporary file left";
}

// Every byte of both datasets, for comparing a repaired file with a fresh one.
std::pair<std::string, std::string> dataset_bytes(const std::string& path) {
  h5::File f = h5::File::open(path, h5::Mode::read);
  auto bytes = [&](const char* name) {
    const h5::Dataset ds = f.open_dataset(name);
    const h5::Type t = ds.type();
    std::string out(ds.size() * t.size(), '\0');
    ds.read(out.data(), t.get());
    return out;
  };
  return {bytes("index"), bytes("data")};
}

class FuturesRepair : public MinbarWriter {
 protected:
  void SetUp() override {
    fake.calendar = weekdays(20240101, 20241231);
    fake.add_instrument("F", "Future", "0000-00-00", "SHFE");
    quillonc::Table& t = fake.minute["F"];
    t.trading_date.emplace();
    for (const char* c : {"open", "high", "low", "close", "open_interest", "volume", "total_turnover"}) t.add_column(c);
    std::int32_t prev = 20240531;
    for (auto d : {20240603, 20240604, 20240605}) {
      // Night session on the evening before, then the day session.
      for (auto when : {util::make_timestamp(prev, 21, 1), util::make_timestamp(prev, 21, 2), util::make_timestamp(d, 9, 1),
                        util::make_timestamp(d, 9, 2)}) {
        t.time.push_back(when);
        t.trading_date->push_back(util::make_timestamp(d));
        for (auto& col : t.columns) col.second.push_back(static_cast<double>(t.time.size()));
      }
      prev = d;
    }
  }
  // The file of one uninterrupted update up to 2024-06-05.
  std::pair<std::string, std::string> fresh() {
    _append_h5(test_run(), "F", dir / "fresh");
    return dataset_bytes(dir / "fresh/future/F.h5");
  }
};

TEST_F(FuturesRepair, IndexAheadOrDataAheadEndsEqualToAnUninterruptedUpdate) {
  set_clock("2024-06-05 18:00:00");
  const auto expected = fresh();
  for (bool index_ahead : {true, false}) {
    fs::remove_all(root);
    set_clock("2024-06-04 18:00:00");
    _append_h5(test_run(), "F", root);
    {
      // Stopped half-way through the update of 2024-06-05: one dataset grew,
      // the other did not.
      h5::File f = h5::File::open(file("F", "future"), h5::Mode::read_write);
      h5::Dataset index = f.open_dataset("index"), data = f.open_dataset("data");
      if (index_ahead) {
        const IndexRecord extra{20240605, static_cast<std::uint32_t>(data.size())};
        index.resize(index.size() + 1);
        index.write_rows(index.size() - 1, 1, &extra, INDEX_DTYPE().type.get());
      } else {
        const auto full = dataset_bytes(dir / "fresh/future/F.h5").second;
        const hsize_t have = data.size();
        data.resize(have + 4);
        data.write_rows(have, 4, full.data() + have * 64, DERIVATIVES_DTYPE().type.get());
      }
      f.close();
    }
    set_clock("2024-06-05 18:00:00");
    _append_h5(test_run(), "F", root);
    EXPECT_TRUE(log.lines.empty());
    const auto repaired = dataset_bytes(file("F", "future"));
    EXPECT_EQ(repaired.first, expected.first) << (index_ahead ? "index ahead" : "data ahead");
    EXPECT_EQ(repaired.second, expected.second) << (index_ahead ? "index ahead" : "data ahead");
  }
}

TEST_F(MinbarWriter, FilesWithoutTheMembersTheWriterNeedsOrDeclaringRowsTheyDoNotStoreAreReportedNotRewritten) {
  fs::create_directories(root + "/equities");
  const IndexRecord today{20240605, 0};
  struct Case {
    const char* expected;
    std::function<void(h5::File&)> damage;
  } cases[] = {
      {"has no member 'datetime'",
       [&](h5::File& f) {
         const std::int64_t v = 1;
         f.create_dataset("data", h5::Type(H5T_STD_I64LE, false), &v, 1, {true, 64, 9, std::nullopt});
       }},
      // Up to date by its index, but a search of its rows would run for ever.
      {"stores only",
       [&](h5::File& f) {
         std::vector<char> bar(EQUITIES_DTYPE().type.size());
         const std::int64_t close_of_today = 20240605150000;
         std::memcpy(bar.data(), &close_of_today, sizeof close_of_today);  // `datetime` leads the record
         f.create_dataset("data", EQUITIES_DTYPE().type, bar.data(), 1, {true, 64, 9, std::nullopt}).resize(hsize_t{1} << 40);
       }},
  };
  for (const auto& c : cases) {
    log.lines.clear();
    {
      h5::File f = h5::File::open(file(), h5::Mode::create);
      c.damage(f);
      f.create_dataset("index", INDEX_DTYPE().type, &today, 1, {true, 64, 9, std::nullopt});
      f.close();
    }
    const std::string before = read_file(file());
    _append_h5(test_run(), "A", root);
    ASSERT_EQ(log.lines.size(), 1u) << c.expected;
    EXPECT_NE(log.lines[0].find(c.expected), std::string::npos) << log.lines[0];
    EXPECT_FALSE(flag.value());
    EXPECT_TRUE(read_file(file()) == before) << c.expected;
  }
}

}  // namespace
