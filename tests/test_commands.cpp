// The full and smart update commands: the BJSE probe, the rebuild prompt,
// the base files, the success rules and which files the smart update picks.
#include <signal.h>

#include "support.hpp"
#include "util/npy.hpp"
#include "util/pickle.hpp"
#include "tessal_plus/bundle/commands.hpp"

using namespace testing_support;
using namespace tessal_plus::bundle;

namespace {

class Commands : public ::testing::Test {
 protected:
  WithFake svc;
  FakeService& fake = *svc.fake;
  TempDir dir;
  PinClock clock{"2024-06-05 18:00:00"};
  std::optional<Shard> shard;

  void SetUp() override {
    fake.calendar = weekdays(20240101, 20241231);
    fake.add_instrument("A", "CS");
    fake.add_equity_bars("A", {20240604, 20240605});
  }
  // Runs the full update; returns its result, or the exit status as a negative number.
  int full(const std::string& input, bool base, std::vector<std::string> minbar, bool rebuild, bool bjse, std::string* text = nullptr) {
    FeedStdin in(input);
    CaptureStdout out;
    int r;
    try {
      tessal_plus::bundle::Run run = test_run();
      run.shard = shard;
      r = update_bundle_from_quillonc(run, 2, dir.path(), base, minbar, {}, false, rebuild, bjse).succeeded ? 1 : 0;
    } catch (const ProgramExit& e) {
      r = -100 - e.status();
    }
    if (text) *text = out.text();
    return r;
  }
};

const std::string kPrompt = "本次会将指定的[合约分钟]和[合约tick]的h5文件从头进行更新，是否确认?[Y/n]\n";
const std::string kNoBjse = "没有 enable_bjse 参数，详情可联系星桥科技：0000-00000000\n";

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

TEST_F(Commands, RebuildConfirmation) {
  std::string text;
  EXPECT_EQ(full("Y\n", false, {}, true, false, &text), 1);
  EXPECT_EQ(text, kPrompt);
  EXPECT_EQ(full("y\nN\nY\n", false, {}, true, false, &text), 1);
  EXPECT_EQ(occurrences(text, kPrompt), 3u);
  EXPECT_EQ(full("yes\n\nno\n", false, {"A"}, true, false, &text), -100);
  EXPECT_EQ(occurrences(text, kPrompt), 3u);
  EXPECT_FALSE(fs::exists(dir / "bundle"));
  EXPECT_EQ(full("n\nY\n", false, {"A"}, true, false, &text), -100);
  EXPECT_EQ(text, kPrompt);
  EXPECT_EQ(full("", false, {}, false, false, &text), 1);  // no rebuild: no prompt
  EXPECT_EQ(text, "");
  FeedStdin nothing("");  // end of input at the prompt
  CaptureStdout quiet;
  EXPECT_THROW(update_bundle_from_quillonc(test_run(), 1, dir.path(), false, {}, {}, false, true, false), std::runtime_error);
}

TEST_F(Commands, BjseProbeEndsTheProgramWithoutPermission) {
  std::string text;
  EXPECT_EQ(full("", true, {"A"}, false, true, &text), -100);  // no BJSE stock listed
  EXPECT_EQ(text, kNoBjse);
  fake.add_instrument("830000.BJSE", "CS", "0000-00-00", "BJSE");
  fake.bjse = true;
  fake.fail_on = [](const std::string& c) {
    if (c.rfind("probe", 0) == 0) throw quillonc::PermissionDenied("not for you");
  };
  EXPECT_EQ(full("", true, {"A"}, false, true, &text), -100);
  EXPECT_EQ(text, kNoBjse);
  EXPECT_FALSE(fs::exists(dir / "bundle"));
  fake.fail_on = nullptr;
  EXPECT_EQ(full("", false, {}, false, true, &text), 1);
  EXPECT_EQ(fake.calls.back(), "probe 830000.BJSE");
}

TEST_F(Commands, BaseFilesAndTheSuccessRules) {
  std::string text;
  EXPECT_EQ(full("", true, {"A"}, false, false, &text), 1);
  EXPECT_EQ(text.substr(0, text.find('\n')), "开始更新日线及基础数据");
  EXPECT_EQ(util::npy::read_int_1d(dir / "bundle/trading_dates.npy").back(), 20240605);
  EXPECT_TRUE(fs::exists(dir / "bundle/suspended_days.h5"));
  EXPECT_EQ(util::pickle::read(dir / "bundle/instruments.pk").items.size(), 1u);
  EXPECT_TRUE(fs::exists(dir / "bundle/h5/equities/A.h5"));
  // An existing folder is updated in place.
  EXPECT_EQ(full("", true, {}, false, false), 1);
  // The day-bar updater's failure is the result even when the drivers succeed.
  fake.fail_on = [n = 0](const std::string& c) mutable {
    if (c == "all_instruments - cn" && n++ == 0) throw quillonc::ServiceError("base data unavailable");
  };
  EXPECT_EQ(full("", true, {"A"}, false, false), 0);
  fake.fail_on = nullptr;
  // A failing minute-bar driver does not keep the tick driver from running.
  fs::remove(dir / "bundle/h5/equities/A.h5");
  fs::create_directories(dir / "bundle/h5/equities/A.h5");  // a folder where the file belongs
  FeedStdin in("");
  CaptureStdout out;
  EXPECT_FALSE(update_bundle_from_quillonc(test_run(), 2, dir.path(), false, {"A"}, {"A"}, false).succeeded);
  EXPECT_NE(out.text().find("开始更新 1 只标的的tick数据"), std::string::npos);
}

TEST_F(Commands, SmartUpdatePicksExactlyTheExistingFiles) {
  const std::string b = dir / "bundle";
  for (const char* p : {"h5/equities/a.h5", "h5/future/b.h5", "h5/equities/c-sample.h5", "h5/ticks/x.h5", "h5/direct.h5",
                        "ticks/d.h5", "ticks/notes.txt", "ticks/e-sample.h5"}) {
    fs::create_directories(fs::path(b + "/" + p).parent_path());
    write_file(b + "/" + p, "");
  }
  util::pickle::write_records(b + "/instruments.pk", {{{"exchange", "XSHG"}}, {{"exchange", "XSHE"}}, {{"exchange", "BJSE"}}, {}});
  for (const char* id : {"a", "b", "d", "x", "direct"}) fake.add_instrument(id, "CS");
  CaptureStdout out;
  update_bundle_from_exist_file(test_run(), 2, dir.path());
  const std::string text = out.text();
  EXPECT_EQ(text.substr(0, text.find("开始更新 ")), "开始智能更新已下载数据\n开始更新日线及基础数据\n");
  EXPECT_NE(text.find("开始更新 2 只标的的分钟线数据：{'a', 'b'}"), std::string::npos) << text;
  EXPECT_NE(text.find("开始更新 1 只标的的tick数据：{'d'}"), std::string::npos) << text;
  // BJSE found in the third record reaches the day-bar updater only.
  EXPECT_EQ(fake.calls.front(), "init true");
}

TEST_F(Commands, SmartUpdateRefusesHostileOrIncompleteInstrumentLists) {
  const std::string b = dir / "bundle";
  fs::create_directories(b);
  util::pickle::write_records(b + "/instruments.pk", {{{"order_book_id", "A"}}});
  EXPECT_THROW(update_bundle_from_exist_file(test_run(), 1, dir.path()), std::runtime_error);
  write_file(b + "/instruments.pk", std::string("\x80\x02" "cos\nsystem\n."));
  try {
    update_bundle_from_exist_file(test_run(), 1, dir.path());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("instruments.pk"), std::string::npos) << e.what();
  }
  // Without a list and without stores only the day-bar updater runs.
  fs::remove(b + "/instruments.pk");
  CaptureStdout out;
  EXPECT_TRUE(update_bundle_from_exist_file(test_run(), 1, dir.path()).succeeded);
  EXPECT_EQ(out.text(), "开始智能更新已下载数据\n开始更新日线及基础数据\n");
}

TEST(Announcement, RendersAtMostSixIdsAndShortensLongOnes) {
  EXPECT_EQ(render_id_set({}), "set()");
  EXPECT_EQ(render_id_set({"A"}), "{'A'}");
  EXPECT_EQ(render_id_set({"H", "G", "F", "E", "D", "C", "B", "A"}), "{'A', 'B', 'C', 'D', 'E', 'F', ...}");
  const std::string long_id = "ABCDEFGHIJKLMNOPQRSTUVWXYZ123";  // 29 characters
  EXPECT_EQ(render_id_set({long_id}), "{'ABCDEFGHIJKL...QRSTUVWXYZ123'}");
  EXPECT_EQ(render_id_set({long_id.substr(0, 28)}), "{'" + long_id.substr(0, 28) + "'}");
}


TEST(Drivers, EmptySelectionAnnouncesZeroAndOnlyTheTickDriverMakesItsFolder) {
  WithFake svc;
  TempDir dir;
  CaptureStdout out;
  EXPECT_TRUE(update_tick(test_run(), dir / "ticks", {"nothing"}, false, 2).succeeded);
  EXPECT_TRUE(update_minbar(test_run(), dir / "h5", {}, false, 2).succeeded);
  EXPECT_TRUE(fs::is_directory(dir / "ticks"));
  EXPECT_FALSE(fs::exists(dir / "h5"));
  const std::string text = out.text();
  EXPECT_NE(text.find("开始更新 0 只标的的tick数据：set()\n"), std::string::npos);
  EXPECT_NE(text.find("开始更新 0 只标的的分钟线数据：set()\n"), std::string::npos);
}

// Three stocks with two days of bars each, on a service of their own.
struct ThreeStocks : ::testing::Test {
  WithFake svc;
  TempDir dir;
  PinClock clock{"2024-06-05 18:00:00"};
  FakeService& fake = *svc.fake;
  void SetUp() override {
    fake.calendar = weekdays(20240101, 20241231);
    for (const char* id : {"A", "B", "C"}) {
      fake.add_instrument(id, "CS");
      fake.add_equity_bars(id, {20240604, 20240605});
    }
  }
};

TEST_F(ThreeStocks, OneFailingWriterMakesTheRunFalse) {
  CaptureStdout out;
  EXPECT_TRUE(update_minbar(test_run(), dir / "h5", {"A", "B", "C"}, false, 2).succeeded);
  for (const char* id : {"A", "B", "C"}) EXPECT_TRUE(fs::exists(dir / (std::string("h5/equities/") + id + ".h5")));
  // Damage B: `index` without `data`.
  {
    h5::File f = h5::File::open(dir / "h5/equities/B.h5", h5::Mode::read_write);
    f.unlink("data");
    f.close();
  }
  EXPECT_FALSE(update_minbar(test_run(), dir / "h5", {"A", "B", "C"}, false, 2).succeeded);
  EXPECT_NE(out.text().find("开始更新 3 只标的的分钟线数据：{'A', 'B', 'C'}"), std::string::npos);
  // rebuild reaches every task: the damaged file is refilled. A temporary
  // file of a killed writer goes; one another run's writer holds stays.
  const std::string dead = dir / "h5/equities/.B.h5.rebuild-1-dead", live = dir / "h5/equities/.C.h5.rebuild-2-live";
  write_file(dead, "half a file");
  h5::File::open(live, h5::Mode::create).close();
  {
    HeldOpen held(live);
    EXPECT_TRUE(update_minbar(test_run(), dir / "h5", {"B"}, false, 1, /*rebuild=*/true).succeeded);
  }
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_TRUE(fs::exists(live));
  h5::File f = h5::File::open(dir / "h5/equities/B.h5", h5::Mode::read);
  EXPECT_EQ(f.open_dataset("data").size(), 6u);
}

// A worker killed in the middle of its task (the first one submitted, or
// another): the driver fails, and its record names that id as died from
// what the pool reported; the log lines (swallowed here, in the worker as
// in the parent) play no part.
TEST_F(ThreeStocks, AWorkerKilledMidTaskIsRecordedAsDied) {
  CaptureLog swallowed;
  CaptureStdout out;
  for (const std::string victim : {"A", "B"}) {
    SCOPED_TRACE(victim);
    fs::remove_all(dir / "h5");
    fake.fail_on = [victim](const std::string& call) {
      if (call.rfind("get_price " + victim + " ", 0) == 0) ::kill(::getpid(), SIGKILL);
    };
    const DriverRecord record = update_minbar(test_run(), dir / "h5", {"A", "B", "C"}, false, 2);
    EXPECT_FALSE(record.succeeded);
    std::map<std::string, std::string> outcomes, expected{{"A", "written"}, {"B", "written"}, {"C", "written"}};
    expected[victim] = "died";
    for (const auto& o : record.outcomes) outcomes[o.order_book_id] = tessal_plus::bundle::status_name(o.status);
    EXPECT_EQ(outcomes, expected);
  }
}

}  // namespace

// The shard hash is documented as FNV-1a 64, so other tools (a scheduler's
// script, say) can compute the same split: it must give the published
// test values.
TEST(Shards, HashIsFnv1a64AndShardsPartitionTheIds) {
  EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(fnv1a64("foobar"), 0x85944171f73967e8ULL);
  std::vector<int> per_shard(3);
  for (int i = 0; i < 300; ++i) {
    const std::string id = fmt::format("{:06d}.XSHG", 600000 + i);
    const auto s = shard_of(id, 3);
    ASSERT_LT(s, 3u);
    EXPECT_EQ(s, fnv1a64(id) % 3);
    ++per_shard[s];
  }
  // No shard is left nearly empty by the hash on ids that differ in a digit.
  for (int n : per_shard) EXPECT_GT(n, 60);
  EXPECT_THROW(checked_shard(3, 3), util::Error);
  EXPECT_THROW(checked_shard(0, 0), util::Error);
}

TEST_F(Commands, AShardRunsOnlyItsIdsAndTheSmartUpdateLeavesTheBaseFilesAlone) {
  for (const char* id : {"B", "C", "D", "E", "F"}) {
    fake.add_instrument(id, "CS");
    fake.add_equity_bars(id, {20240604, 20240605});
  }
  const std::vector<std::string> all = {"A", "B", "C", "D", "E", "F"};
  std::set<std::string> seen;
  for (std::uint32_t k = 0; k < 2; ++k) {
    shard = checked_shard(k, 2);
    std::string text;
    EXPECT_EQ(full("", false, all, false, false, &text), 1);  // succeeded
    std::set<std::string> mine;
    for (const auto& id : all)
      if (shard_of(id, 2) == k) mine.insert(id);
    EXPECT_NE(text.find(fmt::format("开始更新 {} 只标的的分钟线数据：{}", mine.size(), render_id_set(mine))), std::string::npos) << text;
    seen.insert(mine.begin(), mine.end());
  }
  EXPECT_EQ(seen.size(), all.size());
  for (const auto& id : all) EXPECT_TRUE(fs::exists(dir.path() + "/bundle/h5/equities/" + id + ".h5")) << id;

  CaptureStdout out;
  tessal_plus::bundle::Run run = test_run();
  run.shard = shard;
  EXPECT_TRUE(update_bundle_from_exist_file(run, 1, dir.path()).succeeded);
  EXPECT_EQ(out.text().find("开始更新日线及基础数据"), std::string::npos) << out.text();
  EXPECT_FALSE(fs::exists(dir.path() + "/bundle/trading_dates.npy"));
}
