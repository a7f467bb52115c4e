// Tags to ids with the session's BJSE coverage, the worker pool with its
// shared flag, and the drivers' announcement.
#include <signal.h>

#include "support.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/universe.hpp"

using namespace testing_support;
using namespace tessal_plus::bundle;
namespace IT = tessal::INSTRUMENT_TYPE;

namespace {

class Universe : public ::testing::Test {
 protected:
  WithFake svc;
  FakeService& fake = *svc.fake;

  void SetUp() override {
    auto row = [&](const std::string& id, std::string_view type, const std::string& exch = "XSHG", const std::string& sym = "",
                   const std::string& under = "") {
      quillonc::Instrument i{id, std::string(type), exch, "0000-00-00", "2000-01-04", sym, under};
      fake.table_all.push_back(i);
      if (type == IT::OPTION) fake.table_options.push_back(i);
      if (type == IT::FUTURE) fake.table_futures.push_back(i);
      if (type == IT::CONVERTIBLE) fake.table_convertibles.push_back(i);
    };
    row("S1", IT::CS);
    row("S2", IT::CS);
    row("B1", IT::CS, "BJSE");
    row("E1", IT::ETF);
    row("L1", IT::LOF);
    row("I1", IT::INDX);
    row("C1", IT::CONVERTIBLE);
    row("IF01", IT::FUTURE, "CCFX", "IF", "I1");
    row("AU01", IT::FUTURE, "SHFE", "AU", "");
    row("AU02", IT::FUTURE, "SHFE", "AU", "");
    row("O1", IT::OPTION, "SHFE", "AU", "AU01");
    row("O2", IT::OPTION, "XSHG", "E1", "E1");
    fake.stock_code["C1"] = "S2";
    fake.table_hk.push_back({"H1.XHKG", std::string(IT::CS), "XHKG", "0000-00-00", "", "", ""});
  }
  std::set<std::string> merge(std::vector<std::string> tags, bool deriv = false, bool bjse = false) {
    return _merge_tags(tags, deriv, bjse);
  }
  std::vector<std::string> inits() const {
    std::vector<std::string> out;
    for (const auto& c : fake.calls)
      if (c.rfind("init", 0) == 0) out.push_back(c);
    return out;
  }
};

using Ids = std::set<std::string>;

TEST_F(Universe, StockTagAndBjseCoverage) {
  EXPECT_EQ(merge({"stock"}), (Ids{"S1", "S2"}));
  EXPECT_EQ(inits(), std::vector<std::string>{"init false"});
  fake.calls.clear();
  EXPECT_EQ(merge({"stock"}, false, true), (Ids{"S1", "S2", "B1"}));
  EXPECT_EQ(fake.calls.front(), "init true");  // widened before the tables are fetched
  EXPECT_EQ(inits(), (std::vector<std::string>{"init true", "init false"}));
  fake.calls.clear();
  // Without the tag "stock" the session is widened whatever enable_bjse says.
  const auto all = merge({"all"});
  EXPECT_TRUE(all.count("B1") && all.count("O2") && all.count("IF01") && all.count("C1"));
  EXPECT_EQ(inits(), (std::vector<std::string>{"init true", "init false"}));
  // A session that covered BJSE keeps it untouched.
  fake.bjse = true;
  fake.calls.clear();
  merge({"fund"});
  EXPECT_TRUE(inits().empty());
}

TEST_F(Universe, ClassesSymbolsOptionsConvertiblesAndHongKong) {
  EXPECT_EQ(merge({"fund"}), (Ids{"E1", "L1", "I1"}));
  EXPECT_EQ(merge({"fund", "index"}), (Ids{"E1", "L1", "I1"}));
  EXPECT_EQ(merge({"AU"}), (Ids{"AU01", "AU02"}));
  EXPECT_EQ(merge({"AU"}, true), (Ids{"AU01", "AU02", "O1"}));
  EXPECT_EQ(merge({"index"}, true), (Ids{"I1", "IF01"}));
  EXPECT_EQ(merge({"O2"}), (Ids{"O2", "E1"}));
  EXPECT_EQ(merge({"C1"}), (Ids{"C1", "S2"}));
  EXPECT_EQ(fake.count("all_instruments CS hk"), 0u);
  EXPECT_EQ(merge({"H1.XHKG"}), (Ids{"H1.XHKG"}));
  EXPECT_EQ(fake.count("all_instruments CS hk"), 1u);
}

TEST_F(Universe, UnsupportedTagsArePrintedAndDropped) {
  CaptureStdout out;
  const auto ids = merge({"bogus", "stock", "ZZ9"});
  EXPECT_EQ(ids, (Ids{"S1", "S2"}));
  EXPECT_EQ(out.text(),
            "不支持的参数值:[ZZ9, bogus]，\n可选的参数值有 [stock, futures, fund, index, option, convertible] 或 "
            "underlying_symbol 或 order_book_id\n");
}

TEST_F(Universe, SessionIsRestoredWhenAServiceCallFails) {
  fake.fail_on = [](const std::string& c) {
    if (c == "all_instruments Option cn") throw quillonc::ServiceError("table unavailable");
  };
  EXPECT_THROW(merge({"fund"}), quillonc::ServiceError);
  EXPECT_EQ(inits(), (std::vector<std::string>{"init true", "init false"}));
  EXPECT_FALSE(fake.bjse);
}

TEST_F(Universe, ServiceWarningsAreSilencedOnlyDuringInit) {
  std::vector<std::string> shown;
  tessal::warnings::set_sink([&](const std::string& w) { shown.push_back(w); });
  _switch_of_bjse(false);
  _init_quillon();
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(inits(), (std::vector<std::string>{"init false", "init false"}));
  fake.fail_on = [](const std::string& c) {
    if (c.rfind("init", 0) == 0) throw quillonc::ServiceError("refused");
  };
  EXPECT_THROW(_init_quillon(true), quillonc::ServiceError);
  tessal::warnings::warn("after");
  EXPECT_EQ(shown, std::vector<std::string>{"after"});
  tessal::warnings::set_sink({});
}

TEST(Announcement, RendersAtMostSixIdsAndShortensLongOnes) {
  EXPECT_EQ(render_id_set({}), "set()");
  EXPECT_EQ(render_id_set({"A"}), "{'A'}");
  EXPECT_EQ(render_id_set({"H", "G", "F", "E", "D", "C", "B", "A"}), "{'A', 'B', 'C', 'D', 'E', 'F', ...}");
  const std::string long_id = "ABCDEFGHIJKLMNOPQRSTUVWXYZ123";  // 29 characters
  EXPECT_EQ(render_id_set({long_id}), "{'ABCDEFGHIJKL...QRSTUVWXYZ123'}");
  EXPECT_EQ(render_id_set({long_id.substr(0, 28)}), "{'" + long_id.substr(0, 28) + "'}");
}

// The pool sends a task as a function and its arguments; the behaviour of
// the test's task is set here before the workers fork.
std::function<void(int)> g_pool_task;
void pool_task(const std::string& order_book_id, const std::string&, bool) { g_pool_task(std::stoi(order_book_id)); }

TEST(ProcessPool, FlagCrossesProcessesAndDeadWorkersDoNotHang) {
  TempDir dir;
  auto run = [&](std::function<void(int)> task, int n) {
    tessal::SharedFlagOwner flag(true);
    g_pool_task = std::move(task);
    {
      tessal::data::bundle::ProgressedProcessPoolExecutor pool(2, tessal::data::bundle::process_init, flag.get());
      for (int i = 0; i < n; ++i) pool.submit(pool_task, std::to_string(i), "", false);
    }
    return flag.get()->value.load();
  };
  auto mark = [&](int i) { write_file(dir / std::to_string(i), "done"); };
  EXPECT_TRUE(run(mark, 5));
  // A writer that clears the flag in its worker makes the run fail.
  EXPECT_FALSE(run([&](int i) {
    mark(i);
    if (i == 2) tessal::data::bundle::sval()->value.store(false);
  }, 5));
  // A task that raises counts as failed too.
  EXPECT_FALSE(run([&](int i) {
    if (i == 1) throw std::runtime_error("boom");
    mark(i);
  }, 4));
  // A worker killed mid-task: the run ends, fails, and the rest is done.
  fs::remove_all(dir.path());
  fs::create_directories(dir.path());
  EXPECT_FALSE(run([&](int i) {
    if (i == 3) ::kill(::getpid(), SIGKILL);
    mark(i);
  }, 8));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(fs::exists(dir / std::to_string(i)), i != 3) << i;
}

TEST(Drivers, EmptySelectionAnnouncesZeroAndOnlyTheTickDriverMakesItsFolder) {
  WithFake svc;
  TempDir dir;
  CaptureStdout out;
  EXPECT_TRUE(update_tick(dir / "ticks", {"nothing"}, false, 2));
  EXPECT_TRUE(update_minbar(dir / "h5", {}, false, 2));
  EXPECT_TRUE(fs::is_directory(dir / "ticks"));
  EXPECT_FALSE(fs::exists(dir / "h5"));
  const std::string text = out.text();
  EXPECT_NE(text.find("开始更新 0 只标的的tick数据：set()\n"), std::string::npos);
  EXPECT_NE(text.find("开始更新 0 只标的的分钟线数据：set()\n"), std::string::npos);
}

TEST(Drivers, OneFailingWriterMakesTheRunFalse) {
  WithFake svc;
  TempDir dir;
  PinClock clock("2024-06-05 18:00:00");
  auto& fake = *svc.fake;
  fake.calendar = weekdays(20240101, 20241231);
  for (const char* id : {"A", "B", "C"}) {
    fake.add_instrument(id, "CS");
    fake.add_equity_bars(id, {20240604, 20240605});
  }
  CaptureStdout out;
  EXPECT_TRUE(update_minbar(dir / "h5", {"A", "B", "C"}, false, 2));
  for (const char* id : {"A", "B", "C"}) EXPECT_TRUE(fs::exists(dir / (std::string("h5/equities/") + id + ".h5")));
  // Damage B: `index` without `data`.
  {
    h5::File f = h5::File::open(dir / "h5/equities/B.h5", h5::Mode::read_write);
    f.unlink("data");
    f.close();
  }
  EXPECT_FALSE(update_minbar(dir / "h5", {"A", "B", "C"}, false, 2));
  EXPECT_NE(out.text().find("开始更新 3 只标的的分钟线数据：{'A', 'B', 'C'}"), std::string::npos);
  // rebuild reaches every task: the damaged file is refilled.
  EXPECT_TRUE(update_minbar(dir / "h5", {"B"}, false, 1, /*rebuild=*/true));
  h5::File f = h5::File::open(dir / "h5/equities/B.h5", h5::Mode::read);
  EXPECT_EQ(f.open_dataset("data").size(), 6u);
}

}  // namespace
