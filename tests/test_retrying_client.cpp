// The retrying client: which failures it retries, how often, how long it
// waits, and that it answers what the wrapped client answers.
#include "quillonc/sim_market.hpp"
#include "support.hpp"
#include "tessal_plus/bundle/retrying_client.hpp"

using namespace testing_support;

namespace {

// The simulated market, counting the requests that reach it.
class CountingSim : public quillonc::SimMarket {
 public:
  using SimMarket::SimMarket;
  std::optional<quillonc::Table> get_price(const std::string& id, std::int32_t s, std::int32_t e, quillonc::Frequency f,
                                           const std::string& m) override {
    ++requests;
    return SimMarket::get_price(id, s, e, f, m);
  }
  std::vector<std::pair<std::int32_t, bool>> is_suspended(const std::string& id, std::int32_t s, std::int32_t e) override {
    ++requests;
    return SimMarket::is_suspended(id, s, e);
  }
  int requests = 0;
};

struct Harness {
  PinClock clock{"2024-06-05 18:00:00"};
  std::shared_ptr<CountingSim> sim;
  std::vector<std::string> log;
  std::vector<std::uint32_t> waits;
  std::unique_ptr<tessal_plus::bundle::RetryingClient> client;
  Harness(const std::string& extra, int retries) {
    sim = std::make_shared<CountingSim>(quillonc::SimSettings::parse("sim:seed=3,start=20240520,stocks=4,deny=600001.XSHG" + extra), quillonc::surroundings_of(host()));
    client = std::make_unique<tessal_plus::bundle::RetryingClient>(
        sim, tessal_plus::bundle::RetryPolicy{retries, 100, 1000}, [this](const std::string& m) { log.push_back(m); },
        [this](std::uint32_t ms) { waits.push_back(ms); });
  }
  quillonc::Client& c() { return *client; }
};

TEST(RetryingClient, TransientFailuresAreRetriedWithGrowingWaitsUntilTheAnswerComes) {
  Harness h(",flaky=600000.XSHG,flaky_times=3", 3);
  const auto t = h.c().get_price("600000.XSHG", 20240520, 20240605, quillonc::Frequency::minute);
  ASSERT_TRUE(t);
  quillonc::Client& direct = *h.sim;
  EXPECT_EQ(t->time, direct.get_price("600000.XSHG", 20240520, 20240605, quillonc::Frequency::minute)->time);
  EXPECT_EQ(h.sim->requests, 5);  // 3 failures, the answer, the direct request
  ASSERT_EQ(h.waits.size(), 3u);
  // base * 2^(n-1), of which jitter takes off at most half.
  for (std::size_t i = 0; i < 3; ++i) {
    const std::uint32_t full = 100u << i;
    EXPECT_GE(h.waits[i], full / 2) << i;
    EXPECT_LE(h.waits[i], full) << i;
  }
  ASSERT_EQ(h.log.size(), 3u);
  EXPECT_NE(h.log[0].find("retry 1/3 of get_price 600000.XSHG"), std::string::npos) << h.log[0];
  EXPECT_NE(h.log[2].find("failure 3 of 3"), std::string::npos) << h.log[2];
}

TEST(RetryingClient, GivesUpAfterItsRetriesWithTheLastFailure) {
  Harness h(",flaky=600000.XSHG,flaky_times=3", 2);
  try {
    h.c().has_price("600000.XSHG", 20240604, quillonc::Frequency::minute);
    FAIL() << "no failure";
  } catch (const util::Error& e) {
    EXPECT_EQ(e.kind(), util::ErrorKind::network);
    EXPECT_NE(std::string(e.what()).find("failure 3 of 3"), std::string::npos) << e.what();
  }
  EXPECT_EQ(h.waits.size(), 2u);
}

TEST(RetryingClient, RefusalsAndUnknownInstrumentsAreNeverRetried) {
  Harness h("", 5);
  EXPECT_THROW(h.c().get_price("600001.XSHG", 20240520, 20240605, quillonc::Frequency::minute), quillonc::PermissionDenied);
  EXPECT_THROW(h.c().probe_price("600001.XSHG"), quillonc::PermissionDenied);
  EXPECT_EQ(h.sim->requests, 1);
  EXPECT_THROW(h.c().is_suspended("NOPE.XSHG", 20240520, 20240605), quillonc::ServiceError);
  EXPECT_EQ(h.sim->requests, 2);
  EXPECT_TRUE(h.waits.empty());
  EXPECT_TRUE(h.log.empty());
}

TEST(RetryingClient, WaitsStopGrowingAtTheCap) {
  Harness h("", 40);
  for (int n = 1; n <= 40; ++n) EXPECT_LE(h.client->delay_ms(n), 1000u) << n;
  EXPECT_GE(h.client->delay_ms(40), 500u);
  EXPECT_TRUE(tessal_plus::bundle::RetryingClient::transient(util::ErrorKind::service));
  EXPECT_TRUE(tessal_plus::bundle::RetryingClient::transient(util::ErrorKind::network));
  EXPECT_FALSE(tessal_plus::bundle::RetryingClient::transient(util::ErrorKind::denied));
  EXPECT_FALSE(tessal_plus::bundle::RetryingClient::transient(util::ErrorKind::damaged));
}

}  // namespace
