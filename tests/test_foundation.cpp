// What every later part stands on: the simulated market's determinism and
// rules, the HDF5 layer's error classification, the clock, the calendar
// file and the instrument-list pickle.
#include <sys/stat.h>

#include "h5/h5.hpp"
#include "quillonc/sim_market.hpp"
#include "support.hpp"
#include "util/npy.hpp"
#include "util/pickle.hpp"
#include "tessal_plus/bundle/constants.hpp"

using namespace testing_support;
using namespace std::string_literals;

namespace {

quillonc::SimMarket sim(const std::string& spec) { return quillonc::SimMarket(quillonc::SimSettings::parse(spec)); }
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

TEST(H5Layer, LockedMissingAndForeignFilesAreTold) {
  TempDir dir;
  const std::string good = dir / "good.h5";
  h5::File::open(good, h5::Mode::create).close();
  {
    HeldOpen held(good);
    try {
      h5::File::open(good, h5::Mode::read);
      FAIL() << "a file held for writing must not open";
    } catch (const h5::Error& e) {
      EXPECT_EQ(e.kind(), h5::ErrorKind::locked) << e.what();
      EXPECT_EQ(e.os_errno(), EAGAIN);
      EXPECT_TRUE(e.is_os_error());
      EXPECT_EQ(e.path(), good);
    }
  }
  EXPECT_NO_THROW(h5::File::open(good, h5::Mode::read));

  const std::string text = dir / "text.h5";
  write_file(text, "this is not an HDF5 file at all, just text");
  try {
    h5::File::open(text, h5::Mode::read);
    FAIL();
  } catch (const h5::Error& e) {
    EXPECT_EQ(e.kind(), h5::ErrorKind::damaged) << e.what();
    EXPECT_FALSE(e.is_os_error());
  }
  try {
    h5::File::open(dir / "absent.h5", h5::Mode::read);
    FAIL();
  } catch (const h5::Error& e) {
    EXPECT_EQ(e.kind(), h5::ErrorKind::not_found) << e.what();
  }
  EXPECT_TRUE(h5::blosc_available());
}

TEST(H5Layer, DeniedAccessIsAPermissionError) {
  TempDir dir;
  const std::string secret = dir / "secret.h5";
  h5::File::open(secret, h5::Mode::create).close();
  ::chmod(secret.c_str(), 0);  // denied to its owner too, unless root
  ::chmod(dir.path().c_str(), 0755);
  // Root reads any file, so as root the attempt runs as an unprivileged user.
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    try {
      h5::File::open(secret, h5::Mode::read);
      ::_exit(1);
    } catch (const h5::Error& e) {
      ::_exit(e.kind() == h5::ErrorKind::permission && e.os_errno() == EACCES && e.is_os_error() ? 0 : 2);
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: opened, 2: misclassified, 3: could not drop privileges";
}

TEST(Clock, PinnedClockAndConversions) {
  PinClock clock("2024-02-29 09:31:05.250");
  const auto now = tessal::datetime_now();
  EXPECT_EQ(tessal::convert_dt_to_int(now), 20240229093105);
  EXPECT_EQ(tessal::date_to_number(now), 20240229);
  EXPECT_EQ(tessal::time_to_number(now), 93105250);
  EXPECT_EQ(util::add_days(20240229, 1), 20240301);
  EXPECT_EQ(util::weekday(20240603), 0);
  EXPECT_THROW(util::parse_timestamp("2024-02-30 10:00:00"), std::invalid_argument);
}

TEST(TradingCalendarFile, RoundTripAndRejections) {
  TempDir dir;
  const std::string p = dir / "trading_dates.npy";
  util::npy::write_int64(p, {20240603, 20240604});
  EXPECT_EQ(util::npy::read_int_1d(p), (std::vector<std::int64_t>{20240603, 20240604}));
  const std::string header_f8 = "\x93NUMPY\x01\x00\x46\x00"s +
                                "{'descr': '<f8', 'fortran_order': False, 'shape': (0,), }" + std::string(13, ' ') + "\n";
  auto npy = [](const std::string& dict) {
    std::string h = dict;
    h.append(63 - (10 + h.size()) % 64, ' ');
    h += '\n';
    return "\x93NUMPY\x01\x00"s + static_cast<char>(h.size()) + '\0' + h;
  };
  for (const char* bad : {"{'descr': '<f8', 'fortran_order': False, 'shape': (0,), }",
                          "{'descr': '>i8', 'fortran_order': False, 'shape': (0,), }",
                          "{'descr': '<i8', 'fortran_order': True, 'shape': (0,), }",
                          "{'descr': '<i8', 'fortran_order': False, 'shape': (1, 1), }"}) {
    write_file(p, npy(bad) + std::string(8, '\0'));
    EXPECT_THROW(util::npy::read_int_1d(p), std::runtime_error) << bad;
  }
  write_file(p, npy("{'descr': '<i4', 'fortran_order': False, 'shape': (2,), }") + "\x01\x00\x00\x00\xff\xff\xff\xff"s);
  EXPECT_EQ(util::npy::read_int_1d(p), (std::vector<std::int64_t>{1, -1}));
  write_file(p, npy("{'descr': '<i8', 'fortran_order': False, 'shape': (3,), }") + std::string(8, '\0'));
  EXPECT_THROW(util::npy::read_int_1d(p), std::runtime_error);  // truncated data
  write_file(p, header_f8);
  EXPECT_THROW(util::npy::read_int_1d(p), std::runtime_error);
  write_file(p, "not numpy");
  try {
    util::npy::read_int_1d(p);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(p), std::string::npos);
  }
}

TEST(InstrumentPickle, ReadsOwnAndPythonPicklesAndRefusesCode) {
  TempDir dir;
  const std::string p = dir / "instruments.pk";
  util::pickle::write_records(p, {{{"order_book_id", "A"}, {"exchange", "XSHG"}}, {{"exchange", "BJSE"}}});
  const auto v = util::pickle::read(p);
  ASSERT_EQ(v.items.size(), 2u);
  EXPECT_EQ(v.items[1]->get("exchange")->s, "BJSE");
  EXPECT_EQ(v.items[0]->get("order_book_id")->s, "A");

  // pickle.dumps([{'exchange': 'XSHE', 'n': 3, 'x': 1.5, 'z': None, 'b': True}], protocol=4)
  const std::string proto4 =
      "\x80\x04\x95\x37\x00\x00\x00\x00\x00\x00\x00]\x94}\x94(\x8c\x08" "exchange\x94\x8c\x04XSHE\x94\x8c\x01n\x94K\x03"
      "\x8c\x01x\x94G?\xf8\x00\x00\x00\x00\x00\x00\x8c\x01z\x94N\x8c\x01" "b\x94\x88ua."s;
  const auto p4 = util::pickle::read_bytes(proto4, "p4");
  ASSERT_EQ(p4.items.size(), 1u);
  EXPECT_EQ(p4.items[0]->get("exchange")->s, "XSHE");
  EXPECT_EQ(p4.items[0]->get("n")->i, 3);
  EXPECT_DOUBLE_EQ(p4.items[0]->get("x")->d, 1.5);

  // A pickle that would call os.system: refused, never run.
  const std::string hostile = "\x80\x02" "cposix\nsystem\nq\x00X\x04\x00\x00\x00trueq\x01\x85q\x02Rq\x03."s;
  try {
    util::pickle::read_bytes(hostile, "evil.pk");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("not allowed"), std::string::npos) << e.what();
  }
  EXPECT_THROW(util::pickle::read_bytes(proto4.substr(0, 30), "cut.pk"), std::runtime_error);
}

TEST(RecordLayouts, SizesNamesAndBloscSettings) {
  using namespace tessal_plus::bundle;
  EXPECT_EQ(EQUITIES_DTYPE().type.size(), 56u);
  EXPECT_EQ(DERIVATIVES_DTYPE().type.size(), 64u);
  EXPECT_EQ(INDEX_DTYPE().type.size(), 8u);
  EXPECT_EQ(DERIVATIVES_DTYPE().type.member_names(), DERIVATIVES_DTYPE().names());
  EXPECT_EQ(TAG_MAP()[2].first, "fund");
  EXPECT_EQ(TAG_MAP()[2].second.size(), 3u);
  EXPECT_EQ(COMPRESSION_KWARGS().cd_values, (std::vector<unsigned>{0, 0, 0, 0, 9, 1, 1}));
  EXPECT_THROW(tessal::blosc_opts(9, "blosc:nope"), std::invalid_argument);
}

}  // namespace
