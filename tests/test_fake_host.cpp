// The module handed a host other than the command line's: the fake host of
// tests/fakes, whose tick layout has five fields and other scales, and whose
// pool runs tasks in this process; and two hosts and two clients, one run
// after the other, in this one process.
#include "support.hpp"
#include "tessal_plus/bundle/checks.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/writers.hpp"
#include "quillonc/sim_market.hpp"
#include "tests/fakes/fake_host.hpp"
#include "util/npy.hpp"

using namespace testing_support;
using namespace tessal_plus::bundle;

namespace {

#pragma pack(push, 1)
struct ShortTick {
  std::int32_t date, time;
  double last;
  std::int64_t volume;
  std::uint8_t high;
};
#pragma pack(pop)

class CountingService : public FakeService {
 public:
  int worker_starts = 0;
  void on_worker_start() override { ++worker_starts; }
};

class FakeHost : public ::testing::Test {
 protected:
  CountingService fake;
  fake_host::FakeHost host;
  TempDir dir;
  PinClock clock{"2024-06-05 18:00:00"};
  tessal_plus::bundle::Run run() { return tessal_plus::bundle::Run(host, fake); }

  void SetUp() override {
    fake.calendar = weekdays(20240101, 20241231);
    fake.add_instrument("S", "CS");
    fake.day_bars["S"] = {20240603, 20240604};
    quillonc::Table& t = fake.ticks["S"];
    t.trading_date.emplace();
    for (const char* c : {"last", "volume", "high"}) t.add_column(c);
    for (auto d : fake.day_bars["S"])
      for (int k = 0; k < 3; ++k) {
        t.time.push_back(util::make_timestamp(d, 9, 30, 3 * k));
        t.trading_date->push_back(util::make_timestamp(d));
        t.columns[0].second.push_back(10.25 + k);
        t.columns[1].second.push_back(1.237 * (k + 1));
        t.columns[2].second.push_back(99);
      }
  }
};

TEST_F(FakeHost, TickWriterAndCheckFollowTheHostsLayout) {
  const std::string bundle = dir / "bundle";
  const std::string ticks = bundle + "/ticks";
  {
    const auto flag = host.make_flag(true);
    host.process_init(*flag);
    CaptureStdout quiet;
    _append_h5_tick(run(), "S", ticks, std::nullopt, 20240601);
    EXPECT_TRUE(flag->value()) << (host.log_lines.empty() ? "" : host.log_lines[0]);
  }
  h5::File f = h5::File::open(ticks + "/S.h5", h5::Mode::read);
  EXPECT_EQ(f.root_names(), (std::vector<std::string>{"20240603", "20240604"}));
  const h5::Dataset ds = f.open_dataset("20240604");
  EXPECT_EQ(ds.type().size(), sizeof(ShortTick));
  EXPECT_EQ(ds.type().member_names(), (std::vector<std::string>{"date", "time", "last", "volume", "high"}));
  std::vector<ShortTick> rows(ds.size());
  ds.read(rows.data(), host.tick_layout().type.get());
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].date, 20240604);
  EXPECT_EQ(rows[1].time, 93003000);
  EXPECT_DOUBLE_EQ(rows[1].last, 2 * 11.25);   // scale 2, kept as a real
  EXPECT_EQ(rows[2].volume, 371);              // 1.237 x 3 x 100, rounded
  EXPECT_EQ(rows[2].high, 99);                 // a one-byte integer field
  f.close();

  util::npy::write_int64(bundle + "/trading_dates.npy", {20240603, 20240604, 20240605});
  h5::File::open(bundle + "/suspended_days.h5", h5::Mode::create).close();
  CaptureStdout out;
  check_tick_data(run(), dir.path());
  EXPECT_NE(out.text().find("检测完成：tick数据质量良好！"), std::string::npos);
}

TEST_F(FakeHost, DriversRunOnTheHostsPoolAndReportFailuresThroughItsLog) {
  fake.add_equity_bars("S", {20240603, 20240604});
  {
    CaptureStdout quiet;
    EXPECT_TRUE(update_minbar(run(), dir / "h5", {"S"}, false, 2).succeeded);
  }
  EXPECT_EQ(host.initializer_calls, 1);
  EXPECT_EQ(fake.worker_starts, 1);  // the client's per-worker hook ran in the worker
  EXPECT_TRUE(fs::exists(dir / "h5/equities/S.h5"));
  EXPECT_TRUE(host.log_lines.empty());

  fake.fail_on = [](const std::string& c) {
    if (c.rfind("get_price S", 0) == 0) throw quillonc::ServiceError("service down");
  };
  {
    CaptureStdout quiet;
    EXPECT_FALSE(update_minbar(run(), dir / "h5", {"S"}, false, 1).succeeded);
  }
  ASSERT_EQ(host.log_lines.size(), 1u);
  EXPECT_EQ(host.log_lines[0].rfind("更新 " + dir / "h5/equities/S.h5" + " 失败，该文件可能已经损坏", 0), 0u);
}

// The same update through two hosts and two clients, one after the other in
// this process: the native host's forked pool with the simulated market,
// then the fake host's in-process pool with a second market of the same
// settings. Nothing of the first run stays behind to shape the second: the
// files are byte for byte the same.
TEST(TwoHosts, OneUpdateEachInOneProcessWriteTheSameFiles) {
  PinClock clock("2024-06-07 18:00:00");
  TempDir dir;
  const auto settings = quillonc::SimSettings::parse("sim:seed=5,stocks=3,futures=1,history=30,tick_days=2");
  const std::vector<std::string> tags = {"stock", "IF"};
  const auto update = [&](tessal::Host& host, quillonc::Client& client, const std::string& where) {
    CaptureStdout quiet;
    tessal_plus::bundle::Run run(host, client);
    EXPECT_TRUE(update_bundle_from_quillonc(run, 2, where, false, tags, {"600000.XSHG"}, false).succeeded);
  };
  quillonc::SimMarket native_market(settings, quillonc::surroundings_of(testing_support::host()));
  update(testing_support::host(), native_market, dir / "native");
  fake_host::FakeHost fake;
  quillonc::SimMarket fake_market(settings, quillonc::surroundings_of(fake));
  update(fake, fake_market, dir / "fake");
  EXPECT_EQ(fake.initializer_calls, 2);  // the fake host's pool ran both drivers
  EXPECT_TRUE(fake.log_lines.empty());
  std::size_t compared = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir / "native/bundle/h5")) {
    if (!e.is_regular_file()) continue;
    const std::string other = dir / ("fake/" + fs::relative(e.path(), dir / "native").string());
    EXPECT_EQ(read_file(e.path()), read_file(other)) << other;
    ++compared;
  }
  EXPECT_GE(compared, 4u);
}

}  // namespace
