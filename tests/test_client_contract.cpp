// What the module relies on from any market-data client, run against the
// simulated market and against the tests' scripted service, so the two
// cannot drift apart from each other or from the module's expectations.
#include <algorithm>

#include "quillonc/sim_market.hpp"
#include "support.hpp"
#ifdef TB_WITH_PYTHON
#include "apps/tessal-bundle/python_service.hpp"
#endif

using namespace testing_support;

namespace {

// A client with the ids the contract asks about.
struct Subject {
  std::shared_ptr<quillonc::Client> client;
  std::string stock, future, denied;
  std::int32_t after_20240607 = 20240610;  // its next trading day (a holiday may follow the weekend)
};

Subject simulated() {
  auto sim = std::make_shared<quillonc::SimMarket>(
      quillonc::SimSettings::parse("sim:seed=3,start=20240102,tick_start=20240603,stocks=4,bjse=1,deny=600001.XSHG"), quillonc::surroundings_of(host()));
  quillonc::Client& c = *sim;
  const auto futures = c.all_instruments(std::string(tessal::INSTRUMENT_TYPE::FUTURE));
  return {sim, "600000.XSHG", futures.at(0).order_book_id, "600001.XSHG"};
}

Subject scripted() {
  auto fake = std::make_shared<FakeService>();
  fake->calendar = weekdays(20240101, 20241231);
  fake->add_instrument("S", "CS");
  fake->add_instrument("B", "CS", "0000-00-00", "BJSE");
  fake->add_instrument("F", "Future", "0000-00-00", "SHFE");
  fake->table_futures.push_back(fake->records["F"][0]);
  fake->add_equity_bars("S", weekdays(20240102, 20240607));
  // Futures bars: a night bar at 21:01 of the day before, then day bars.
  quillonc::Table& t = fake->minute["F"];
  t.trading_date.emplace();
  for (const char* c : {"open", "high", "low", "close", "open_interest", "volume", "total_turnover"}) t.add_column(c);
  for (auto d : weekdays(20240102, 20240607)) {
    const std::int32_t prev = *std::prev(std::lower_bound(fake->calendar.begin(), fake->calendar.end(), d));
    for (auto when : {util::make_timestamp(prev, 21, 1), util::make_timestamp(d, 9, 1)}) {
      t.time.push_back(when);
      t.trading_date->push_back(util::make_timestamp(d));
      for (auto& col : t.columns) col.second.push_back(1.0);
    }
  }
  fake->fail_on = [](const std::string& call) {
    if (call.rfind("get_price D ", 0) == 0) throw quillonc::PermissionDenied("not permitted: D");
  };
  fake->add_instrument("D", "CS");
  return {fake, "S", "F", "D"};
}

#ifdef TB_WITH_PYTHON
// The Python client over the package's test double of the service, in an
// interpreter embedded as the command line embeds it (--service python:).
Subject python_double() {
  static const std::shared_ptr<quillonc::Client> client = [] {
    const std::string doubles = std::string(TB_SOURCE_DIR) + "/tests/py/doubles";
    ::setenv("PYTHONPATH", (doubles + ":" + doubles + "/namespace").c_str(), 1);
    ::setenv("QUILLONC_DOUBLE_CONFIG", R"({"denied_ids": ["000001.XSHE"], "bars_per_day": 8})", 1);
    return cli::start_python_service("quillonc", [] { return false; });
  }();
  return {client, "600000.XSHG", "AU2412", "000001.XSHE", 20240611};
}
#endif

class ClientContract : public ::testing::TestWithParam<Subject (*)()> {
 protected:
  PinClock clock{"2024-06-10 18:00:00"};
  Subject s = GetParam()();
  quillonc::Client& c = *s.client;
};

TEST_P(ClientContract, BarsAscendWithFullColumnsAndNothingForAnEmptySpan) {
  const auto t = c.get_price(s.stock, 20240603, 20240607, quillonc::Frequency::minute, "cn");
  ASSERT_TRUE(t && !t->empty());
  EXPECT_TRUE(std::is_sorted(t->time.begin(), t->time.end()));
  for (const char* col : {"open", "high", "low", "close", "volume", "total_turnover"}) {
    ASSERT_NE(t->column(col), nullptr) << col;
    EXPECT_EQ(t->column(col)->size(), t->rows()) << col;
  }
  for (auto when : t->time) {
    EXPECT_GE(util::timestamp_date(when), 20240603);
    EXPECT_LE(util::timestamp_date(when), 20240607);
  }
  // A weekend holds no bars: the answer is nothing, not an empty table.
  EXPECT_FALSE(c.get_price(s.stock, 20240608, 20240609, quillonc::Frequency::minute, "cn").has_value());
}

TEST_P(ClientContract, NightBarsCarryTheNextTradingDay) {
  const auto t = c.get_price(s.future, 20240604, 20240604, quillonc::Frequency::minute, "cn");
  ASSERT_TRUE(t && t->trading_date);
  ASSERT_EQ(t->trading_date->size(), t->rows());
  ASSERT_NE(t->column("open_interest"), nullptr);
  bool night = false;
  for (std::size_t r = 0; r < t->rows(); ++r) {
    EXPECT_EQ(util::timestamp_date((*t->trading_date)[r]), 20240604);
    night |= util::timestamp_date(t->time[r]) == 20240603;
  }
  EXPECT_TRUE(night);
}

TEST_P(ClientContract, InstrumentsCalendarAndRefusals) {
  EXPECT_TRUE(c.instruments("NO.SUCH", "cn").empty());
  const auto rec = c.instruments(s.stock, "cn");
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(rec[0].type, tessal::INSTRUMENT_TYPE::CS);
  EXPECT_EQ(rec[0].de_listed_date, "0000-00-00");
  EXPECT_EQ(c.get_next_trading_date(20240607, "cn"), s.after_20240607);  // over the weekend
  EXPECT_EQ(c.get_next_trading_date(20240603, "cn"), 20240604);
  const auto flags = c.is_suspended(s.stock, 20240603, 20240607);
  ASSERT_EQ(flags.size(), 5u);
  EXPECT_EQ(flags.front().first, 20240603);
  EXPECT_EQ(flags.back().first, 20240607);
  try {
    c.get_price(s.denied, 20240603, 20240607, quillonc::Frequency::minute, "cn");
    FAIL() << "a refused id must raise";
  } catch (const quillonc::PermissionDenied& e) {
    EXPECT_EQ(e.kind(), util::ErrorKind::denied);
  }
}

TEST_P(ClientContract, SessionCoverageFollowsInit) {
  auto has_bjse = [&] {
    const auto all = c.all_instruments();
    return std::any_of(all.begin(), all.end(), [](const auto& i) { return i.exchange == "BJSE"; });
  };
  c.init(true);
  EXPECT_TRUE(c.bjse_enabled());
  EXPECT_TRUE(has_bjse());
  c.init(false);
  EXPECT_FALSE(c.bjse_enabled());
  EXPECT_FALSE(has_bjse());
}

Subject (*const kClients[])() = {&simulated, &scripted,
#ifdef TB_WITH_PYTHON
                                 &python_double
#endif
};
std::string client_name(const ::testing::TestParamInfo<Subject (*)()>& info) {
  static const char* const names[] = {"SimMarket", "FakeService", "PythonDouble"};
  return names[info.index];
}
INSTANTIATE_TEST_SUITE_P(Clients, ClientContract, ::testing::ValuesIn(kClients), client_name);

}  // namespace
