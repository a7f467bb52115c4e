// The health page's inputs from a check document and its size: whatever the
// document holds, the page stays small enough to mail.
#include <cstdio>

#include "support.hpp"
#include "tessal_plus/bundle/health_page.hpp"

using namespace testing_support;
using namespace tessal_plus::bundle;

namespace {

// A check document of `files` files, each with `per_file` findings.
std::string check_document(std::size_t files, std::size_t per_file) {
  std::string doc = R"({"command":"check-minbar","outcomes":[)";
  for (std::size_t i = 0; i < files; ++i) {
    doc += fmt::format(R"({}{{"id":"{:06}.XSHE","path":"/b/h5/equities/{:06}.XSHE.h5","outcome":"good","findings":[)", i ? "," : "", i, i);
    for (std::size_t k = 0; k < per_file; ++k)
      doc += fmt::format(R"({}{{"rule":"ohlc_order","first":{},"count":1}})", k ? "," : "", 20240607093100 - static_cast<std::int64_t>(k) * 1000000);
    doc += R"(],"heal":null})";
  }
  return doc + "]}";
}

TEST(HealthPage, CheckDocumentsAreReadAsThePageShowsThem) {
  // A file's findings: the first ones, how many in all, the earliest of all.
  const CheckMarks c = read_check_marks_text(check_document(2, kFindingsShown + 5), "doc.json");
  ASSERT_EQ(c.marks.size(), 2u);
  EXPECT_EQ(c.files, 2u);
  EXPECT_EQ(c.marks[1].findings.size(), kFindingsShown);
  EXPECT_EQ(c.marks[1].findings_total, kFindingsShown + 5);
  EXPECT_EQ(c.marks[1].earliest, 20240607093100 - static_cast<std::int64_t>(kFindingsShown + 4) * 1000000);
  // Past the page's lists, only the bundle's files are kept; all are counted.
  std::string broken = R"({"command":"check-tick","outcomes":[)";
  for (std::size_t i = 0; i < kFilesListed + 500; ++i)
    broken += fmt::format(R"({}{{"id":"{}","outcome":"broken"}})", i ? "," : "", i);
  const std::set<std::string> bundle{"7", std::to_string(kFilesListed + 100)};
  const CheckMarks few = read_check_marks_text(broken + "]}", "doc.json", &bundle);
  EXPECT_EQ(few.broken, kFilesListed + 500);
  ASSERT_EQ(few.marks.size(), kFilesListed + 1);
  EXPECT_EQ(few.marks.back().id, std::to_string(kFilesListed + 100));
  // A long text is cut where a character begins; what the page does not
  // read (the log, say) is passed over, however it is built.
  const std::string long_id(kTextKept - 1, 'x');
  const CheckMarks cut = read_check_marks_text(
      R"({"log":["x",{"y":[1,null,true]}],"outcomes":[{"id":")" + long_id + "\u4e2d" +
          R"(","outcome":"locked","kind":"permission","path":"/b/p.h5","reason":{"why":["x"]}},{"id":")" + long_id + R"(x","outcome":"broken"}],"command":"check-tick"})",
      "doc.json");
  ASSERT_EQ(cut.marks.size(), 2u);
  EXPECT_EQ(cut.marks[0].id, long_id + "\u2026");
  EXPECT_EQ(std::tuple(cut.marks[0].outcome, cut.marks[0].kind, cut.marks[0].path), std::tuple("locked", "permission", "/b/p.h5"));
  EXPECT_EQ(cut.marks[1].id, long_id + "x");

  // Not check documents: refused at the first wrong value, nesting included.
  const std::string deep = R"({"command":"check-minbar","outcomes":[],"log":)" + std::string(100000, '[');
  for (const std::string& bad :
       {deep, std::string(R"({"command":"check-minbar"})"), std::string(R"({"command":"status","outcomes":[]})"),
        std::string(R"([{"command":"check-minbar","outcomes":[]}])"),
        std::string(R"({"command":"check-minbar","outcomes":[{"id":"A"}]})"),
        std::string(R"({"command":"check-minbar","outcomes":[{"id":"A","outcome":"good","findings":[{"rule":"no_rule","first":1,"count":1}]}]})"),
        std::string(R"({"command":"check-minbar","outcomes":[{"id":"A","outcome":"good","findings":[{"rule":"ohlc_order","first":1}]}]})"),
        std::string(R"({"command":"check-minbar","outcomes":[{"id":"A","outcome":"good","heal":{"outcome":"x"}}]})"),
        std::string(R"({"command":"check-minbar","outcomes":[]} trailing)")}) {
    try {
      read_check_marks_text(bad, "doc.json");
      ADD_FAILURE() << bad.substr(0, 120) << " was accepted";
    } catch (const util::Error& e) {
      EXPECT_EQ(e.kind(), util::ErrorKind::invalid_input) << bad.substr(0, 120);
    }
  }
}

// A store of 5,000 files with findings in every one, and more findings per
// file than the page shows.
TEST(HealthPage, StaysSmallForAFindingInEveryFileOfALargeStore) {
  constexpr std::size_t kFiles = 5000;
  BundleStatus b;
  b.bundle = "/b/bundle";
  b.calendar = weekdays(20210104, 20240607);
  b.calendar_last = b.horizon = b.calendar.back();
  StoreStatus& s = b.stores.emplace_back();
  s.name = "equities";
  s.first_day = b.calendar.front();
  s.last_day = b.calendar.back();
  for (std::size_t i = 0; i < kFiles; ++i) {
    FileStatus& f = s.files.emplace_back();
    f.id = fmt::format("{:06}.XSHE", i);
    f.path = "/b/h5/equities/" + f.id + ".h5";
    f.days = b.calendar;
    f.first_day = s.first_day;
    f.last_day = s.last_day;
  }
  HealthInputs in;
  in.check = read_check_marks_text(check_document(kFiles, kFindingsShown + 1), "check.json");
  const std::string page = health_page(host(), b, in);
  std::printf("health page of %zu files with %zu findings each: %zu bytes\n", kFiles, kFindingsShown + 1, page.size());
  EXPECT_LT(page.size(), 3u << 20);
  EXPECT_NE(page.find("and 1 more"), std::string::npos);
  EXPECT_NE(page.find(fmt::format("and {} more (the check document lists them all)", kFiles - kFilesListed)), std::string::npos);
}

}  // namespace
