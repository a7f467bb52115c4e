// The store checks and their report: what counts as broken, locked or
// good, what the service is asked, and the yes/no clean-up.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <new>

#include "minbar_files.hpp"
#include "support.hpp"
#include "util/npy.hpp"
#include "tessal_plus/bundle/checks.hpp"
#include "tessal_plus/bundle/checks/internal.hpp"

using namespace testing_support;
using namespace tessal_plus::bundle;

namespace {

// The symbols listed under `header` in a report, as a set.
std::set<std::string> listed(const std::string& text, const std::string& header) {
  std::set<std::string> out;
  const auto at = text.find(header);
  if (at == std::string::npos) return out;
  const auto open = text.find('[', at), close = text.find(']', at);
  std::string body = text.substr(open + 1, close - open - 1);
  std::size_t p = 0;
  while ((p = body.find('\'', p)) != std::string::npos) {
    const auto q = body.find('\'', p + 1);
    out.insert(body.substr(p + 1, q - p - 1));
    p = q + 1;
  }
  return out;
}
void minute_check(const std::string& data_bundle_path) { check_min_bar_data(test_run(), data_bundle_path); }
void tick_check(const std::string& data_bundle_path) { check_tick_data(test_run(), data_bundle_path); }
void deep_tick_check(const std::string& data_bundle_path) { check_tick_data(test_run(), data_bundle_path, true); }

const char* kBroken = "数据异常标的如下:";
const char* kLocked = "被其他进程占用或没有权限的文件如下:";

class Checks : public ::testing::Test {
 protected:
  WithFake svc;
  FakeService& fake = *svc.fake;
  TempDir dir;
  std::string bundle = dir / "bundle";
  std::vector<std::int32_t> calendar = weekdays(20240603, 20240628);

  void SetUp() override {
    fs::create_directories(bundle);
    util::npy::write_int64(bundle + "/trading_dates.npy", std::vector<std::int64_t>(calendar.begin(), calendar.end()));
  }
  std::string minute(const std::string& group, const std::string& name, const std::vector<IndexRecord>& index,
                     const std::vector<std::int64_t>& datetimes) {
    fs::create_directories(bundle + "/h5/" + group);
    const std::string p = bundle + "/h5/" + group + "/" + name + ".h5";
    write_minute_file(p, index, datetimes);
    return p;
  }
  // A one-bar-per-day equities file over `days`.
  std::string equities(const std::string& name, const std::vector<std::int32_t>& days, int hhmmss = 93100) {
    std::vector<IndexRecord> index;
    std::vector<std::int64_t> dts;
    for (auto d : days) {
      index.push_back({d, static_cast<std::uint32_t>(dts.size())});
      dts.push_back(static_cast<std::int64_t>(d) * 1000000 + hhmmss);
    }
    return minute("equities", name, index, dts);
  }
  std::string run(const std::function<void(const std::string&)>& check, const std::string& answer = "no\n") {
    FeedStdin in(answer);
    CaptureStdout out;
    check(dir.path());
    return out.text();
  }
};

TEST_F(Checks, MinuteCheckEarlyExits) {
  fs::remove(bundle + "/trading_dates.npy");
  equities("A", {20240603});
  EXPECT_EQ(run(minute_check), "当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!\n");
  EXPECT_TRUE(fake.calls.empty());  // no session opened
  SetUp();
  fs::remove_all(bundle + "/h5");
  fs::create_directories(bundle + "/h5/equities/deeper");
  write_minute_file(bundle + "/h5/direct.h5", {}, {});
  write_minute_file(bundle + "/h5/equities/deeper/deep.h5", {}, {});
  write_minute_file(bundle + "/h5/equities/.hidden.h5", {}, {});
  EXPECT_EQ(run(minute_check), "当前目录下不存在分钟数据!\n");
  EXPECT_EQ(fake.calls, std::vector<std::string>{"init false"});
}

TEST_F(Checks, MinuteDayRulesAndStructure) {
  const auto days = std::vector<std::int32_t>{20240603, 20240604, 20240605};
  equities("good", days);
  equities("early", days, 93000);
  equities("late", days, 93200);
  fs::create_directories(bundle + "/h5/equities");
  h5::File::open(bundle + "/h5/equities/nothing.h5", h5::Mode::create).close();
  write_minute_file(bundle + "/h5/equities/noindex.h5", {}, {20240603093100}, /*with_index=*/false);
  write_minute_file(bundle + "/h5/equities/nodata.h5", {{20240603, 0}}, {}, true, /*with_data=*/false);
  equities("emptyindex", {});
  minute("equities", "pastend", {{20240603, 0}, {20240604, 5}}, {20240603093100, 20240604093100});
  {
    // `data` without the member the day rules read.
    h5::File f = h5::File::open(bundle + "/h5/equities/nodatetime.h5", h5::Mode::create);
    const h5::Type t = h5::Type::column("stamp", H5T_STD_I64LE);
    const std::int64_t v = 20240603093100;
    f.create_dataset("data", t, &v, 1, {});
    const IndexRecord r{20240603, 0};
    f.create_dataset("index", INDEX_DTYPE().type, &r, 1, {});
    f.close();
  }
  write_file(bundle + "/h5/equities/text.h5", "plain text, not HDF5");
  {
    const std::string whole = read_file(bundle + "/h5/equities/good.h5");
    write_file(bundle + "/h5/equities/truncated.h5", whole.substr(0, whole.size() / 2));
  }
  // Futures: night bars belong to the next trading day.
  minute("future", "night_ok", {{20240604, 0}, {20240605, 1}}, {20240603210100, 20240605175900});
  minute("future", "night_bad", {{20240603, 0}}, {20240603210100});
  minute("option", "capped", {{20240627, 0}, {20240628, 1}}, {20240627090100, 20240628210100});
  minute("Future", "case", {{20240604, 0}}, {20240603210100});
  minute("futures", "plural", {{20240604, 0}}, {20240603210100});

  const std::string text = run(minute_check);
  EXPECT_NE(text.find("共有16个分钟数据文件!\n"), std::string::npos) << text;
  EXPECT_EQ(listed(text, kBroken), (std::set<std::string>{"early", "late", "noindex", "nodata", "emptyindex", "pastend",
                                                           "nodatetime", "text", "truncated", "night_bad", "case", "plural"}));
  EXPECT_NE(text.find("\n检测完成：共有12个标的分钟数据存在异常，0个文件被其他进程占用或没有权限。\n"), std::string::npos);
  EXPECT_EQ(fake.count("has_price"), 0u);
}

TEST_F(Checks, MinuteGapsAreAskedOneDayAtATime) {
  equities("suspended", {20240603, 20240605});
  equities("traded", {20240603, 20240607});  // 0604, 0605, 0606 missing
  fake.has_data[{"traded", 20240605}] = true;
  equities("third", {20240610, 20240614});  // only 0613 has data
  fake.has_data[{"third", 20240613}] = true;
  const std::string text = run(minute_check);
  EXPECT_EQ(listed(text, kBroken), (std::set<std::string>{"traded", "third"}));
  const auto& c = fake.calls;
  auto asked = [&](const std::string& id) {
    std::vector<std::string> out;
    for (const auto& call : c)
      if (call.rfind("has_price " + id + " ", 0) == 0) out.push_back(call.substr(call.find(' ', 10) + 1));
    return out;
  };
  EXPECT_EQ(asked("suspended"), std::vector<std::string>{"20240604 1m"});
  EXPECT_EQ(asked("traded"), (std::vector<std::string>{"20240604 1m", "20240605 1m"}));
  EXPECT_EQ(asked("third"), (std::vector<std::string>{"20240611 1m", "20240612 1m", "20240613 1m"}));
}

TEST_F(Checks, LockedFilesAreListedOnceAndTheRunGoesOn) {
  const std::string held_path = equities("held", {20240603});
  equities("bad", {20240603}, 93000);
  HeldOpen held(held_path);
  const std::string text = run(minute_check);
  EXPECT_EQ(listed(text, kLocked), std::set<std::string>{"held"});
  EXPECT_EQ(listed(text, kBroken), std::set<std::string>{"bad"});
  EXPECT_NE(text.find("共有1个标的分钟数据存在异常，1个文件被其他进程占用或没有权限。"), std::string::npos);
}

class TickChecks : public Checks {
 protected:
  void SetUp() override {
    Checks::SetUp();
    fs::create_directories(bundle + "/ticks");
    h5::File s = h5::File::open(bundle + "/suspended_days.h5", h5::Mode::create);
    const std::int64_t d = 20240605;
    s.create_dataset("SUSP", h5::Type(H5T_STD_I64LE, false), &d, 1, {});
    // The same day as other tools write it: a real, and a byte string.
    const double real = 20240605;
    s.create_dataset("SUSPF", h5::Type(H5T_IEEE_F64LE, false), &real, 1, {});
    h5::Type text(H5Tcopy(H5T_C_S1));
    H5Tset_size(text.get(), 8);
    s.create_dataset("SUSPS", text, "20240605", 1, {});
    s.close();
  }
  // A tick file with one record of the host's layout per day.
  std::string ticks(const std::string& id, const std::vector<std::string>& days) {
    const std::string p = bundle + "/ticks/" + id + ".h5";
    h5::File f = h5::File::open(p, h5::Mode::create);
    const h5::Type& type = tick_layout().type;
    const std::string record(type.size(), '\0');
    for (const auto& d : days) f.create_dataset(d, type, record.data(), 1, {false, 0, -1, host().blosc_opts(9, "blosc:lz4")});
    f.close();
    return p;
  }
};

// A real that is not a whole day, or is out of range, is no suspension day.
TEST_F(TickChecks, SuspensionDaysThatAreNoDaysAreRefused) {
  for (const double bad : {20240605.5, -20240605.0}) {
    const std::string path = dir / "suspended.h5";
    h5::File s = h5::File::open(path, h5::Mode::create);
    s.create_dataset("X", h5::Type(H5T_IEEE_F64LE, false), &bad, 1, {});
    s.close();
    EXPECT_THROW(suspensions_of(path, {"X"}), util::Error) << bad;
  }
}

TEST_F(TickChecks, EarlyExits) {
  fs::remove(bundle + "/suspended_days.h5");
  ticks("A", {"20240603"});
  EXPECT_EQ(run(tick_check), "当前目录下不存在 suspended_days.h5 文件，请先下载 base 数据!\n");
  EXPECT_TRUE(fake.calls.empty());
  SetUp();
  fs::remove(bundle + "/ticks/A.h5");
  EXPECT_EQ(run(tick_check), "当前目录下不存在tick数据!\n");
}

TEST_F(TickChecks, GapsSuspensionsAndTheService) {
  ticks("empty", {});
  ticks("complete", {"20240603", "20240604", "20240605"});
  for (const char* id : {"SUSP", "SUSPF", "SUSPS"}) ticks(id, {"20240604", "20240606"});  // miss their suspension day
  ticks("NOSUSP", {"20240604", "20240606"});              // same gap, no suspension: asked
  ticks("extra", {"20240607", "20240608", "20240610"});   // a Saturday dataset, nothing missing
  ticks("traded", {"20240603", "20240606", "20240607"});  // 0604 and 0605 missing
  fake.has_data[{"traded", 20240605}] = true;
  write_file(bundle + "/ticks/text.h5", "not HDF5");
  const std::string text = run(tick_check);
  EXPECT_NE(text.find("共有9个tick数据文件!\n"), std::string::npos);
  EXPECT_EQ(listed(text, kBroken), (std::set<std::string>{"traded", "text"}));
  EXPECT_EQ(fake.count("has_price complete"), 0u);
  EXPECT_EQ(fake.count("has_price SUSP"), 0u);  // nor SUSPF, SUSPS: the prefix counts them too
  EXPECT_EQ(fake.count("has_price NOSUSP 20240605 tick"), 1u);
  EXPECT_EQ(fake.count("has_price extra"), 0u);
  std::vector<std::string> traded;
  for (const auto& c : fake.calls)
    if (c.rfind("has_price traded", 0) == 0) traded.push_back(c);
  EXPECT_EQ(traded, (std::vector<std::string>{"has_price traded 20240604 tick", "has_price traded 20240605 tick"}));
}

TEST_F(TickChecks, SuspendedAndUnsuspendedGapsAreBothAskedInOrder) {
  ticks("SUSP", {"20240603", "20240607"});  // 0604, 0605 (suspended), 0606 missing
  ticks("LOCK", {"20240603"});
  HeldOpen held(bundle + "/ticks/LOCK.h5");
  const std::string text = run(tick_check);
  EXPECT_EQ(listed(text, kLocked), std::set<std::string>{"LOCK"});
  EXPECT_TRUE(listed(text, kBroken).empty());
  std::vector<std::string> asked;
  for (const auto& c : fake.calls)
    if (c.rfind("has_price SUSP", 0) == 0) asked.push_back(c.substr(15, 8));
  EXPECT_EQ(asked, (std::vector<std::string>{"20240604", "20240605", "20240606"}));
}

TEST(CheckReport, GoodOutcomeAndTheAnswers) {
  {
    CaptureStdout out;
    deal_with_check_result(test_run(), {}, {}, "分钟");
    EXPECT_EQ(out.text(), "\n检测完成：分钟数据质量良好！\n");
  }
  TempDir dir;
  auto files = [&](std::vector<std::string> names) {
    std::vector<std::string> paths;
    for (const auto& n : names) {
      paths.push_back(dir / n);
      write_file(paths.back(), "x");
    }
    return paths;
  };
  auto answer = [&](const std::vector<std::string>& err, const std::vector<std::string>& blocked, const std::string& a) {
    FeedStdin in(a);
    CaptureStdout out;
    deal_with_check_result(test_run(), err, blocked, "tick");
    return out.text();
  };
  const auto locked = files({"L.h5"});
  EXPECT_EQ(answer({}, locked, "yes\n"),
            "\n检测完成：共有0个标的tick数据存在异常，1个文件被其他进程占用或没有权限。\n被其他进程占用或没有权限的文件如下:\n['L']\n\n"
            "是否删除异常数据(yes/no):\n准备删除异常数据！\n\n删除完成！共删除0个标的。\n");
  EXPECT_TRUE(fs::exists(locked[0]));

  for (const char* yes : {"Y\n", "YES\n", "Yes\n", "y\n"}) {
    const auto broken = files({"A.h5", "B.h5.h5", "C"});
    const std::string text = answer(broken, {}, yes);
    EXPECT_NE(text.find("数据异常标的如下:\n['A', 'B', 'C']\n\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n删除完成！共删除3个标的。\n"), std::string::npos);
    for (const auto& p : broken) EXPECT_FALSE(fs::exists(p));
  }
  for (const auto& [a, message] : std::vector<std::pair<std::string, std::string>>{
           {"NO\n", "\n异常数据未删除！\n"}, {"n\n", "\n异常数据未删除！\n"}, {" yes\n", "\n输入异常！异常数据未删除!\n"}, {"maybe\n", "\n输入异常！异常数据未删除!\n"}}) {
    const auto broken = files({"K.h5"});
    const std::string text = answer(broken, {}, a);
    EXPECT_EQ(text.substr(text.size() - message.size()), message) << a;
    EXPECT_TRUE(fs::exists(broken[0]));
  }
  const auto kept = files({"E.h5"});
  EXPECT_THROW(answer(kept, {}, ""), std::runtime_error);
  EXPECT_TRUE(fs::exists(kept[0]));
}

TEST(CheckReport, QuotingAndFailedDeletion) {
  TempDir dir;
  FeedStdin in("no\n");
  CaptureStdout out;
  // The ends of the ranges Python escapes: U+00A0 and U+200B are, U+00A1 is not.
  deal_with_check_result(test_run(),
                         {dir / "it's.h5", dir / "back\\slash.h5", dir / "tab\there.h5", dir / "中文.h5", dir / "nb\u00a0\u00a1.h5",
                          dir / "zw\u200b.h5", dir / "rtl\u202e.h5"},
                         {}, "分钟");
  EXPECT_NE(out.text().find("[\"it's\", 'back\\\\slash', 'tab\\there', '中文', 'nb\\xa0\u00a1', 'zw\\u200b', 'rtl\\u202e']"), std::string::npos)
      << out.text();

  write_file(dir / "first.h5", "x");
  write_file(dir / "third.h5", "x");
  FeedStdin yes("y\n");
  CaptureStdout out2;
  EXPECT_THROW(deal_with_check_result(test_run(), {dir / "first.h5", dir / "gone.h5", dir / "third.h5"}, {}, "tick"), util::Error);
  EXPECT_EQ(out2.text().find("删除完成"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "first.h5"));
  EXPECT_TRUE(fs::exists(dir / "third.h5"));

  // Only store files are deleted: a FIFO, a folder or a link (even to a
  // store file) at a store's name is reported, left alone, and not counted.
  ASSERT_EQ(::mkfifo((dir / "fifo.h5").c_str(), 0600), 0);
  fs::create_directory(dir / "folder.h5");
  fs::create_symlink(dir / "third.h5", dir / "link.h5");
  FeedStdin yes_again("yes\n");
  CaptureStdout out3;
  deal_with_check_result(test_run(), {dir / "fifo.h5", dir / "folder.h5", dir / "link.h5", dir / "third.h5"}, {}, "tick");
  for (const char* odd : {"fifo.h5: not a store file (a FIFO)", "folder.h5: not a store file (a folder)",
                          "link.h5: not a store file (a symbolic link)"})
    EXPECT_NE(out3.text().find(odd), std::string::npos) << out3.text();
  EXPECT_NE(out3.text().find("\n删除完成！共删除1个标的。\n"), std::string::npos) << out3.text();
  EXPECT_TRUE(fs::is_fifo(dir / "fifo.h5") && fs::is_directory(dir / "folder.h5") && fs::is_symlink(dir / "link.h5"));
  EXPECT_FALSE(fs::exists(dir / "third.h5"));
}

// The last line of a check that found nothing to delete says "good" only
// when nothing else was found either.
TEST(CheckReport, ClosingLineIsGoodOnlyWhenNothingWasFound) {
  const auto closing = [](std::size_t with_findings, std::size_t unchecked, bool healing) {
    CaptureStdout out;
    checking::print_closing_line(test_run().console, "分钟", with_findings, unchecked, healing);
    return out.text();
  };
  EXPECT_EQ(closing(0, 0, false), "\n检测完成：分钟数据质量良好！\n");
  EXPECT_EQ(closing(41, 0, false), "\n检测完成：分钟数据未发现异常文件，41个文件有内容问题（见上），均已保留。\n");
  EXPECT_EQ(closing(2, 1, true), "\n检测完成：分钟数据未发现异常文件，2个文件有内容问题（见上），1个文件未能检测（见上）。\n");
  EXPECT_EQ(closing(0, 3, false), "\n检测完成：分钟数据未发现异常文件，3个文件未能检测（见上）。\n");
}

// Overwrites the stored bytes of one chunk of `data`, header included, as a
// failing disk or an interrupted write would leave it.
void damage_chunk(const std::string& path, hsize_t chunk) {
  haddr_t addr = 0;
  hsize_t size = 0;
  {
    h5::File f = h5::File::open(path, h5::Mode::read);
    const h5::Dataset data = f.open_dataset("data");
    const hid_t space = H5Dget_space(data.get());
    hsize_t offset[1];
    unsigned mask = 0;
    ASSERT_GE(H5Dget_chunk_info(data.get(), space, chunk, offset, &mask, &addr, &size), 0);
    H5Sclose(space);
  }
  std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
  out.seekp(static_cast<std::streamoff>(addr));
  const std::string junk(size, '\xff');
  out.write(junk.data(), static_cast<std::streamsize>(junk.size()));
}

TEST_F(Checks, ADamagedChunkAnywhereInDataMakesTheFileBroken) {
  // Four days of 100 bars in 64-row chunks: chunks 2 and 6 (the last) hold
  // no day's first bar, so only reading every row finds them damaged.
  std::vector<IndexRecord> index;
  std::vector<std::int64_t> dts;
  for (auto d : {20240603, 20240604, 20240605, 20240606}) {
    index.push_back({d, static_cast<std::uint32_t>(dts.size())});
    for (int k = 0; k < 100; ++k) dts.push_back(static_cast<std::int64_t>(d) * 1000000 + 93100 + 100 * (k % 59) + 10000 * (k / 59));
  }
  for (const char* name : {"FIRST", "MIDDLE", "LAST", "GOOD"}) minute("equities", name, index, dts);
  damage_chunk(bundle + "/h5/equities/FIRST.h5", 0);
  damage_chunk(bundle + "/h5/equities/MIDDLE.h5", 2);
  damage_chunk(bundle + "/h5/equities/LAST.h5", 6);
  const std::string text = run(minute_check);
  EXPECT_EQ(listed(text, kBroken), (std::set<std::string>{"FIRST", "MIDDLE", "LAST"})) << text;
}

TEST_F(Checks, AnIndexOutOfOrderIsBroken) {
  // Each listed row is the right day's first bar, but the rows go back, or
  // one row is listed twice; the same rows once each are good.
  std::vector<std::int64_t> dts(30, 20240603093200);
  dts[0] = 20240603093100, dts[10] = 20240605093100, dts[20] = 20240604093100;
  minute("equities", "SHUFFLED", {{20240603, 0}, {20240604, 20}, {20240605, 10}}, dts);
  minute("equities", "REPEATED", {{20240603, 0}, {20240604, 20}, {20240604, 20}}, dts);
  minute("equities", "ONCE", {{20240603, 0}, {20240604, 20}}, dts);
  const std::string text = run(minute_check);
  EXPECT_EQ(listed(text, kBroken), (std::set<std::string>{"SHUFFLED", "REPEATED"})) << text;
}

// AddressSanitizer reserves terabytes of address space up front, so no cap
// on it can bound a check run under it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

TEST_F(Checks, AnIndexDeclaringMoreRowsThanItStoresIsBrokenWithoutReadingThem) {
  if (kAddressSanitizer) GTEST_SKIP() << "no address-space cap under AddressSanitizer";
  // 2^27 rows (a GiB) declared over the few KB of a two-day file.
  const std::string path = equities("HUGE", {20240603, 20240604});
  {
    h5::File f = h5::File::open(path, h5::Mode::read_write);
    f.open_dataset("index").resize(hsize_t{1} << 27);
    f.close();
  }
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The cap keeps a check that believed the header from taking the
    // machine's memory. Such a check would still say "broken" inside it (a
    // failed allocation counts as damage), so the attempt itself ends the
    // child with a status of its own.
    constexpr rlim_t kCap = rlim_t{1} << 30;
    const rlimit cap{kCap, kCap};
    ::setrlimit(RLIMIT_AS, &cap);
    std::set_new_handler([] { ::_exit(3); });
    int status = 2;
    try {
      status = listed(run(minute_check), kBroken) == std::set<std::string>{"HUGE"} ? 0 : 1;
    } catch (...) {
    }
    ::_exit(status);
  }
  int status = 0;
  rusage usage{};
  ASSERT_EQ(::wait4(pid, &status, 0, &usage), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "exit " << WEXITSTATUS(status) << " (1: not listed broken, 2: the check threw, 3: it allocated the declared rows)";
  EXPECT_LT(usage.ru_maxrss, 100L << 10) << "KiB";
}

TEST_F(Checks, DaysPastAnOldCalendarAreNotJudged) {
  // The calendar ends on Friday 2024-06-28; the file already holds Monday's
  // trading day, whose night bars carry Friday's date.
  minute("future", "AU2412", {{20240627, 0}, {20240628, 2}, {20240701, 4}},
         {20240626210000, 20240627090100, 20240627210000, 20240628090100, 20240628210000, 20240701090100});
  const std::string text = run(minute_check);
  EXPECT_NE(text.find("检测完成：分钟数据质量良好！"), std::string::npos) << text;
  EXPECT_NE(text.find("只到 20240628"), std::string::npos) << text;  // told once
  EXPECT_EQ(text.find("只到 20240628"), text.rfind("只到 20240628"));

  util::npy::write_int64(bundle + "/trading_dates.npy", {20240603, 20240605, 20240604});
  try {
    run(minute_check);
    FAIL() << "an unsorted calendar must stop the check";
  } catch (const util::Error& e) {
    EXPECT_EQ(e.kind(), util::ErrorKind::damaged);
    EXPECT_NE(std::string(e.what()).find("trading_dates.npy"), std::string::npos);
  }
}

TEST_F(TickChecks, DaysThatCannotBeReadOrCannotHaveBeenStoredAreBroken) {
  ticks("GOOD", {"20240603", "20240604"});
  ticks("FAR", {"20240603", "99991231"});  // would stop every later update
  ticks("NAME", {"20240603", "abc"});
  const std::string foreign = ticks("FOREIGN", {"20240603"});
  {
    h5::File f = h5::File::open(foreign, h5::Mode::read_write);
    const std::int64_t v = 1;
    f.create_dataset("20240604", h5::Type(H5T_STD_I64LE, false), &v, 1, {});
    f.close();
  }
  // A day whose chunk was never written, as a full disk can leave it.
  const std::string lost = ticks("LOST", {"20240603"});
  {
    h5::File f = h5::File::open(lost, h5::Mode::read_write);
    f.create_dataset("20240604", tick_layout().type, nullptr, 0, {true, 1, -1, host().blosc_opts(9, "blosc:lz4")});
    f.open_dataset("20240604").resize(1);
    f.close();
  }
  const std::string text = run(tick_check);
  EXPECT_EQ(listed(text, kBroken), (std::set<std::string>{"FAR", "NAME", "FOREIGN", "LOST"})) << text;

  // Reading every tick finds a damaged chunk the quick check cannot see.
  fs::remove(lost);
  const std::string damaged = ticks("DAMAGED", {"20240603"});
  haddr_t addr = 0;
  hsize_t size = 0;
  {
    h5::File f = h5::File::open(damaged, h5::Mode::read);
    const h5::Dataset ds = f.open_dataset("20240603");
    const hid_t space = H5Dget_space(ds.get());
    hsize_t offset[1];
    unsigned mask = 0;
    ASSERT_GE(H5Dget_chunk_info(ds.get(), space, 0, offset, &mask, &addr, &size), 0);
    H5Sclose(space);
  }
  {
    std::fstream out(damaged, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(static_cast<std::streamoff>(addr));
    const std::string junk(size, '\x7f');
    out.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  EXPECT_FALSE(listed(run(tick_check), kBroken).count("DAMAGED"));
  EXPECT_TRUE(listed(run(deep_tick_check), kBroken).count("DAMAGED"));
}

TEST_F(TickChecks, ChecksInSeveralProcessesPrintExactlyWhatOneProcessPrints) {
  // Minute files: good, broken in several ways, locked, and a gap the
  // service says had trading.
  for (int k = 0; k < 12; ++k) equities("G" + std::to_string(k), {20240603, 20240604, 20240605});
  equities("LATE", {20240603}, 93200);
  write_minute_file(bundle + "/h5/equities/NODATA.h5", {{20240603, 0}}, {}, true, false);
  equities("GAP", {20240603, 20240605});
  fake.has_data[{"GAP", 20240604}] = true;
  const std::string locked = equities("HELD", {20240603});
  write_file(bundle + "/h5/equities/TEXT.h5", "not HDF5");
  // Tick files the same way.
  ticks("T1", {"20240603", "20240604"});
  ticks("T2", {"20240603", "abc"});
  ticks("TRADED", {"20240603", "20240606"});
  fake.has_data[{"TRADED", 20240604}] = true;
  const std::string tick_locked = ticks("TLOCK", {"20240603"});
  HeldOpen held(locked), held_tick(tick_locked);
  for (const auto& answer : {std::string("no\n"), std::string("maybe\n")}) {
    const std::string one = run([](const std::string& p) { check_min_bar_data(test_run(), p, 1); }, answer);
    const std::string two = run([](const std::string& p) { check_min_bar_data(test_run(), p, 3); }, answer);
    EXPECT_EQ(two, one);
    EXPECT_EQ(listed(one, kBroken), (std::set<std::string>{"LATE", "NODATA", "GAP", "TEXT"})) << one;
    EXPECT_EQ(listed(one, kLocked), std::set<std::string>{"HELD"});
    const std::string t_one = run([](const std::string& p) { check_tick_data(test_run(), p, false, 1); }, answer);
    const std::string t_two = run([](const std::string& p) { check_tick_data(test_run(), p, false, 2); }, answer);
    EXPECT_EQ(t_two, t_one);
    EXPECT_EQ(listed(t_one, kBroken), (std::set<std::string>{"T2", "TRADED"})) << t_one;
    EXPECT_EQ(listed(t_one, kLocked), std::set<std::string>{"TLOCK"});
  }
  // "yes" deletes the same files, in the listed order, from either.
  const std::string deleted = run([](const std::string& p) { check_min_bar_data(test_run(), p, 2); }, "yes\n");
  EXPECT_NE(deleted.find("删除完成！共删除4个标的。"), std::string::npos) << deleted;
  EXPECT_FALSE(fs::exists(bundle + "/h5/equities/GAP.h5"));
  EXPECT_TRUE(fs::exists(bundle + "/h5/equities/G0.h5"));
}

// While a heal holds its refilled file, a walk of the stores for "*.h5"
// (as a host lists its instruments) meets only the stores' own files.
TEST_F(Checks, AHealsStageIsOutsideEveryStore) {
  const std::string file = equities("G", {20240603, 20240604});
  std::vector<std::string> seen;
  checking::StoreCheck store{"分钟", bundle + "/h5", [](const std::string&, checking::FileOutcome&) { return false; },
                             [&](const tessal_plus::bundle::Run&, const std::string& path, const std::string& stage) {
                               const std::string staged = stage + "/equities/G.h5";
                               fs::create_directories(stage + "/equities");
                               fs::copy_file(path, staged);
                               for (const char* root : {"/h5", "/ticks"})
                                 for (const auto& e : fs::recursive_directory_iterator(bundle + root))
                                   if (e.path().extension() == ".h5") seen.push_back(e.path().string());
                               return staged;
                             }};
  fs::create_directories(bundle + "/ticks");
  const auto healed = checking::heal_all(test_run(), {file}, store);
  ASSERT_EQ(healed.size(), 1u);
  EXPECT_EQ(healed[0].outcome, "healed") << healed[0].message;
  EXPECT_EQ(seen, std::vector<std::string>{file});
}

// A checking process that dies is no verdict on its file: the kernel's
// signal says whether the reader crashed on the file's bytes or was killed
// from outside, and the file is judged again in a fresh process. Whatever
// the caller did with SIGCHLD.
TEST(CheckPool, ADeadReaderIsJudgedAgainAndOnlyRepeatedCrashesCondemn) {
  using checking::Verdict;
  TempDir dir;
  // The first task dies too: a pool that loses track of task 0 is caught.
  const std::vector<std::string> names{"once", "crash", "good0", "killed", "good1", "good2"};
  std::vector<std::string> files;
  for (const auto& n : names) files.push_back(dir / n);
  const checking::FileCheck check = [&](const std::string& path, checking::FileOutcome&) {
    const std::string name = fs::path(path).filename().string();
    if (name == "crash") {
      const rlimit no_core{0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      ::raise(SIGSEGV);
    }
    if (name == "killed" || (name == "once" && fs::remove(dir / "once.mark"))) ::raise(SIGKILL);
    return false;
  };
  for (const auto chld : {SIG_DFL, SIG_IGN}) {
    write_file(dir / "once.mark", "");
    struct sigaction set{}, before{}, after{};
    set.sa_handler = chld;
    ::sigaction(SIGCHLD, &set, &before);
    const auto out = checking::judge_files(test_run(), files, check, 2);
    ::sigaction(SIGCHLD, nullptr, &after);
    EXPECT_EQ(after.sa_handler, chld) << "the pool put the caller's SIGCHLD back";
    ::sigaction(SIGCHLD, &before, nullptr);
    std::vector<Verdict> verdicts;
    for (const auto& o : out) verdicts.push_back(o.verdict);
    EXPECT_EQ(verdicts, (std::vector<Verdict>{Verdict::good, Verdict::broken, Verdict::good, Verdict::unchecked, Verdict::good,
                                              Verdict::good}))
        << (chld == SIG_IGN ? "with SIGCHLD ignored" : "");
    EXPECT_NE(out[1].message.find("signal 11"), std::string::npos) << out[1].message;
    EXPECT_NE(out[3].message.find("signal 9"), std::string::npos) << out[3].message;
    EXPECT_FALSE(fs::exists(dir / "once.mark")) << "the killed reader ran first";
  }
}

}  // namespace

// Verifying against the service matches records by time stamp and compares
// them value for value: a changed field, a record only the file has and one
// only the service has are each counted under their rule (the earliest
// time and its field kept), a day the service lacks under its own; the
// days drawn are the newest and others fixed by the seed and the file's
// name alone, so a refill is verified on the same days.
TEST(Verify, RecordsAreComparedByTimeAndValueOnDaysTheSeedFixes) {
  const RecordLayout& layout = EQUITIES_DTYPE();
  const auto close = std::find_if(layout.fields.begin(), layout.fields.end(), [](const RecordField& f) { return f.name == "close"; });
  const auto rows = [&](const std::vector<std::pair<std::int64_t, double>>& bars) {
    std::vector<char> out(bars.size() * layout.itemsize, 0);
    for (std::size_t i = 0; i < bars.size(); ++i) {
      std::memcpy(out.data() + i * layout.itemsize + layout.fields.front().offset, &bars[i].first, sizeof(std::int64_t));
      std::memcpy(out.data() + i * layout.itemsize + close->offset, &bars[i].second, sizeof(double));
    }
    return out;
  };
  const auto stored = rows({{20240603093100, 10.0}, {20240603093200, 10.1}, {20240603093300, 10.2}});
  std::vector<Finding> found;
  checking::compare_day(layout, 20240603000000, stored.data(), 3, rows({{20240603093100, 10.0}, {20240603093200, 10.11}, {20240603093400, 10.3}}),
                        found);
  checking::compare_day(layout, 20240604000000, stored.data(), 3, std::nullopt, found);
  EXPECT_EQ(found, (std::vector<Finding>{{Rule::differs_from_service, 20240603093200, 2, "close"},
                                         {Rule::extra_at_service, 20240603093400, 1},
                                         {Rule::missing_at_service, 20240604000000, 3}}));

  // A day the service now holds fewer records of: each stored one it lacks differs, by its time.
  std::vector<Finding> fewer;
  checking::compare_day(layout, 20240603000000, stored.data(), 3, rows({{20240603093100, 10.0}}), fewer);
  EXPECT_EQ(fewer, (std::vector<Finding>{{Rule::differs_from_service, 20240603093200, 2, "datetime"}}));

  // Ticks are matched by date and time; a layout with neither time cannot be verified.
  EXPECT_TRUE(checking::RecordTime(host().tick_layout()).usable());
  EXPECT_FALSE(checking::RecordTime(RecordLayout::of({{"date", FieldKind::i32, 1, 0}}, 4)).usable());

  const auto days = checking::days_to_verify(100, 3, 7, "A.h5");
  EXPECT_EQ(days.size(), 3u);
  EXPECT_EQ(days.back(), 99u);
  EXPECT_EQ(days, checking::days_to_verify(100, 3, 7, "A.h5"));
  EXPECT_NE(days, checking::days_to_verify(100, 3, 8, "A.h5"));
  EXPECT_EQ(checking::days_to_verify(2, 5, 7, "A.h5"), (std::vector<std::size_t>{0, 1}));
  EXPECT_TRUE(checking::days_to_verify(5, 0, 7, "A.h5").empty());

  // The service refusing or failing leaves the file unverified, with why;
  // any other error is the check's own and goes on up.
  CheckOptions options;
  options.verify = 2;
  const auto read = [&](std::size_t, std::vector<char>& into) {
    into = stored;
    return checking::StoredDay{20240603, 3};
  };
  for (const auto kind : {util::ErrorKind::service, util::ErrorKind::denied, util::ErrorKind::network, util::ErrorKind::damaged}) {
    checking::FileOutcome out;
    const auto verify = [&] {
      checking::verify_file_days("A.h5", 5, layout, 1000000, options, read,
                                 [&](std::int32_t) -> std::optional<std::vector<char>> { util::fail(kind, "", "no answer"); }, out);
    };
    if (kind == util::ErrorKind::damaged) {
      EXPECT_THROW(verify(), util::Error);
    } else {
      EXPECT_NO_THROW(verify()) << util::kind_name(kind);
      EXPECT_EQ(out.message, "not verified: no answer");
    }
  }
}
