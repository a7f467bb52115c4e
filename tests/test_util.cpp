// Helpers of src/util: the descriptor owner, the trading-calendar file and
// the instrument pickle.
#include "support.hpp"
#include "util/fd.hpp"
#include "util/npy.hpp"
#include "util/pickle.hpp"

using namespace testing_support;
using namespace std::string_literals;

namespace {

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(Fd, OneOwnerClosesOnceAndKeepsErrno) {
  util::Fd a(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int raw = a.get();
  ASSERT_TRUE(a.valid());
  util::Fd b(std::move(a));
  EXPECT_FALSE(a.valid());
  EXPECT_EQ(b.get(), raw);
  b.reset();
  EXPECT_FALSE(is_open(raw));
  {
    const util::Fd stale(raw);  // closed already: closing it fails (EBADF)
    errno = ENOSPC;
  }
  EXPECT_EQ(errno, ENOSPC);  // a failure's errno survives the clean-up
  util::Fd c(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int kept = c.release();
  c.reset();
  EXPECT_TRUE(is_open(kept));
  util::Fd d(kept);
  EXPECT_EQ(d.close(), 0);
  EXPECT_FALSE(is_open(kept));
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

}  // namespace
