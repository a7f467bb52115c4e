// The module linked with a host other than the command line's: the fake
// host of tests/fakes, whose tick layout has five fields and other scales,
// and whose pool runs tasks in this process. Nothing of the native host or
// the simulated market is linked into this program.
#include "support.hpp"
#include "tessal_plus/bundle/checks.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/writers.hpp"
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
  std::shared_ptr<CountingService> svc = std::make_shared<CountingService>();
  CountingService& fake = *svc;
  TempDir dir;
  PinClock clock{"2024-06-05 18:00:00"};

  void SetUp() override {
    quillonc::install(svc);
    fake_host::log_lines.clear();
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
  void TearDown() override { quillonc::install(nullptr); }
};

TEST_F(FakeHost, TickWriterAndCheckFollowTheHostsLayout) {
  const std::string bundle = dir / "bundle";
  const std::string ticks = bundle + "/ticks";
  {
    tessal::SharedFlagOwner flag(true);
    tessal::data::bundle::process_init(flag.get());
    CaptureStdout quiet;
    _append_h5_tick("S", ticks, std::nullopt, 20240601);
    EXPECT_TRUE(flag.get()->value()) << (fake_host::log_lines.empty() ? "" : fake_host::log_lines[0]);
  }
  h5::File f = h5::File::open(ticks + "/S.h5", h5::Mode::read);
  EXPECT_EQ(f.root_names(), (std::vector<std::string>{"20240603", "20240604"}));
  const h5::Dataset ds = f.open_dataset("20240604");
  EXPECT_EQ(ds.type().size(), sizeof(ShortTick));
  EXPECT_EQ(ds.type().member_names(), (std::vector<std::string>{"date", "time", "last", "volume", "high"}));
  std::vector<ShortTick> rows(ds.size());
  ds.read(rows.data(), tessal::H5TicksLoader::DTYPES().get());
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
  check_tick_data(dir.path());
  EXPECT_NE(out.text().find("检测完成：tick数据质量良好！"), std::string::npos);
}

TEST_F(FakeHost, DriversRunOnTheHostsPoolAndReportFailuresThroughItsLog) {
  fake.add_equity_bars("S", {20240603, 20240604});
  {
    CaptureStdout quiet;
    EXPECT_TRUE(update_minbar(dir / "h5", {"S"}, false, 2));
  }
  EXPECT_EQ(fake_host::initializer_calls, 1);
  EXPECT_EQ(fake.worker_starts, 1);  // the client's per-worker hook ran in the worker
  EXPECT_TRUE(fs::exists(dir / "h5/equities/S.h5"));
  EXPECT_TRUE(fake_host::log_lines.empty());

  fake.fail_on = [](const std::string& c) {
    if (c.rfind("get_price S", 0) == 0) throw quillonc::ServiceError("service down");
  };
  {
    CaptureStdout quiet;
    EXPECT_FALSE(update_minbar(dir / "h5", {"S"}, false, 1));
  }
  ASSERT_EQ(fake_host::log_lines.size(), 1u);
  EXPECT_EQ(fake_host::log_lines[0].rfind("更新 " + dir / "h5/equities/S.h5" + " 失败，该文件可能已经损坏", 0), 0u);
}

}  // namespace
