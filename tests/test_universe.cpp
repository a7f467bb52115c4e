// Tags to ids with the session's BJSE coverage.
#include "support.hpp"
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
    return _merge_tags(test_run(), tags, deriv, bjse);
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
  host().set_warning_sink([&](const std::string& w) { shown.push_back(w); });
  _switch_of_bjse(test_run(), false);
  _init_quillon(test_run());
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(inits(), (std::vector<std::string>{"init false", "init false"}));
  fake.fail_on = [](const std::string& c) {
    if (c.rfind("init", 0) == 0) throw quillonc::ServiceError("refused");
  };
  EXPECT_THROW(_init_quillon(test_run(), true), quillonc::ServiceError);
  host().warn("after");
  EXPECT_EQ(shown, std::vector<std::string>{"after"});
  host().set_warning_sink({});
}

}  // namespace
