// The simulated market: determinism, night sessions, exchanges, markets,
// suspensions and permissions.
#include "quillonc/sim_market.hpp"
#include "support.hpp"

using namespace testing_support;
using namespace std::string_literals;

namespace {

quillonc::SimMarket sim(const std::string& spec) { return quillonc::SimMarket(quillonc::SimSettings::parse(spec), quillonc::surroundings_of(host())); }
const char* kSpec = "sim:seed=7,start=20240102,tick_start=20240603,stocks=6,bjse=1,deny=600001.XSHG";

TEST(SimMarket, SameSeedSameAnswersOtherSeedOtherPrices) {
  PinClock clock("2024-06-05 18:00:00");
  auto a = sim(kSpec), b = sim(kSpec), c = sim("sim:seed=8,start=20240102,stocks=6");
  quillonc::Client &ca = a, &cb = b, &cc = c;
  const auto ta = ca.get_price("600000.XSHG", 20240102, 20240605, quillonc::Frequency::minute);
  const auto tb = cb.get_price("600000.XSHG", 20240102, 20240605, quillonc::Frequency::minute);
  ASSERT_TRUE(ta && tb);
  EXPECT_EQ(ta->time, tb->time);
  EXPECT_EQ(*ta->column("close"), *tb->column("close"));
  EXPECT_NE(*ta->column("close"), *cc.get_price("600000.XSHG", 20240102, 20240605, quillonc::Frequency::minute)->column("close"));
  EXPECT_EQ(ca.all_instruments().size(), cb.all_instruments().size());
}

TEST(SimMarket, NightBarsAndTicksBelongToTheNextTradingDay) {
  PinClock clock("2024-06-05 18:00:00");
  auto m = sim(kSpec);
  quillonc::Client& c = m;
  const auto futures = c.all_instruments(std::string(tessal::INSTRUMENT_TYPE::FUTURE));
  const auto au = std::find_if(futures.begin(), futures.end(), [](const auto& f) { return f.underlying_symbol == "AU"; });
  ASSERT_NE(au, futures.end());
  for (auto freq : {quillonc::Frequency::minute, quillonc::Frequency::tick}) {
    const auto t = c.get_price(au->order_book_id, 20240604, 20240604, freq);
    ASSERT_TRUE(t && t->trading_date);
    std::size_t night = 0;
    for (std::size_t r = 0; r < t->rows(); ++r) {
      EXPECT_EQ(util::timestamp_date((*t->trading_date)[r]), 20240604);
      if (util::timestamp_time_of_day(t->time[r]) >= 18 * 3600 * util::kMicrosPerSecond) {
        EXPECT_EQ(util::timestamp_date(t->time[r]), 20240603);
        ++night;
      }
    }
    EXPECT_GT(night, 0u);
  }
}

TEST(SimMarket, ExchangesMarketsSuspensionsAndPermissions) {
  PinClock clock("2024-06-05 18:00:00");
  auto m = sim(kSpec);
  quillonc::Client& c = m;
  auto has_bjse = [&] {
    const auto all = c.all_instruments();
    return std::any_of(all.begin(), all.end(), [](const auto& i) { return i.exchange == "BJSE"; });
  };
  c.init(false);
  EXPECT_FALSE(has_bjse());
  c.init(true);
  EXPECT_TRUE(has_bjse());
  EXPECT_TRUE(c.bjse_enabled());

  EXPECT_TRUE(c.instruments("00700.XHKG", "cn").empty());
  EXPECT_FALSE(c.instruments("00700.XHKG", "hk").empty());
  EXPECT_FALSE(c.get_price("00700.XHKG", 20240603, 20240603, quillonc::Frequency::minute, "cn").has_value());
  EXPECT_TRUE(c.get_price("00700.XHKG", 20240603, 20240603, quillonc::Frequency::minute, "hk").has_value());

  // Some stock has suspension days in half a year, and no bars on them.
  std::size_t checked = 0;
  for (const auto& i : c.all_instruments(std::string(tessal::INSTRUMENT_TYPE::CS))) {
    if (i.order_book_id == "600001.XSHG") continue;
    for (const auto& [day, suspended] : c.is_suspended(i.order_book_id, 20240102, 20240605)) {
      if (!suspended) continue;
      ++checked;
      EXPECT_FALSE(c.get_price(i.order_book_id, day, day, quillonc::Frequency::minute).has_value());
      EXPECT_FALSE(c.has_price(i.order_book_id, day, quillonc::Frequency::minute));
    }
  }
  EXPECT_GT(checked, 0u);

  EXPECT_THROW(c.get_price("600001.XSHG", 20240603, 20240603, quillonc::Frequency::minute), quillonc::PermissionDenied);
  auto no_ticks = sim("sim:start=20240102,tick_perm=0,bjse_perm=0");
  quillonc::Client& nt = no_ticks;
  EXPECT_THROW(nt.get_price("600000.XSHG", 20240603, 20240603, quillonc::Frequency::tick), quillonc::PermissionDenied);
  EXPECT_NO_THROW(nt.get_price("600000.XSHG", 20240603, 20240603, quillonc::Frequency::minute));
  EXPECT_THROW(nt.probe_price("830000.BJSE"), quillonc::PermissionDenied);
  EXPECT_THROW(quillonc::SimSettings::parse("sim:stocks=many"), std::invalid_argument);
  EXPECT_THROW(quillonc::SimSettings::parse("sim:colour=blue"), std::invalid_argument);
}

}  // namespace
