// The pickle and .npy readers against hostile input: nesting, memo indices
// and declared shapes that would exhaust the stack or memory if trusted;
// the whole-file reader's bound and the atomic writer under them.
#include <sys/stat.h>

#include "support.hpp"
#include "util/error.hpp"
#include "util/files.hpp"
#include "util/npy.hpp"
#include "util/pickle.hpp"

using namespace testing_support;
using namespace std::string_literals;

namespace {

// The message of the util::Error that `f` throws; fails the test otherwise.
template <class F>
util::Error error_of(F f) {
  try {
    f();
  } catch (const util::Error& e) {
    return e;
  }
  ADD_FAILURE() << "no util::Error thrown";
  return util::Error(util::ErrorKind::os, "", "");
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// N empty lists, each appended into the one before: nesting N deep.
std::string nested_lists(std::size_t n) { return "\x80\x02"s + std::string(n, ']') + std::string(n - 1, 'a') + "."; }
// The same through MARK ... TUPLE, another way of building containers.
std::string nested_tuples(std::size_t n) { return "\x80\x02"s + std::string(n, '(') + std::string(n, 't') + "."; }

TEST(PickleLimits, NestingIsBoundedWhicheverOpcodesBuildIt) {
  const auto ok = util::pickle::read_bytes(nested_lists(util::pickle::MAX_DEPTH), "ok.pk");
  EXPECT_EQ(ok.depth, util::pickle::MAX_DEPTH);
  EXPECT_EQ(util::pickle::read_bytes(nested_tuples(util::pickle::MAX_DEPTH), "ok.pk").depth, util::pickle::MAX_DEPTH);
  for (const std::string& deep : {nested_lists(util::pickle::MAX_DEPTH + 1), nested_lists(200'000),
                                  nested_tuples(util::pickle::MAX_DEPTH + 1), nested_tuples(200'000)}) {
    const auto e = error_of([&] { util::pickle::read_bytes(deep, "deep.pk"); });
    EXPECT_EQ(e.kind(), util::ErrorKind::damaged);
    EXPECT_TRUE(contains(e.what(), "'deep.pk'")) << e.what();
    EXPECT_TRUE(contains(e.what(), "deeper than 1000")) << e.what();
  }
  // A dict value counts as a level as well.
  std::string dict_chain = "\x80\x02"s + "}";
  for (int i = 0; i < 1000; ++i) dict_chain += "K\x01}";
  for (int i = 0; i < 1000; ++i) dict_chain += "s";
  dict_chain += ".";
  EXPECT_TRUE(contains(error_of([&] { util::pickle::read_bytes(dict_chain, "d.pk"); }).what(), "deeper than"));
}

TEST(PickleLimits, MemoIndicesAreBoundedByTheStreamAndCyclesRefused) {
  // LONG_BINPUT at 2^24 in a stream of a dozen bytes: refused at once,
  // without allocating a table of that size.
  const std::string big = "\x80\x02N" "r\x00\x00\x00\x01" "."s;
  const auto e = error_of([&] { util::pickle::read_bytes(big, "memo.pk"); });
  EXPECT_TRUE(contains(e.what(), "memo index 16777216")) << e.what();
  EXPECT_TRUE(contains(e.what(), "'memo.pk'")) << e.what();
  EXPECT_THROW(util::pickle::read_bytes("\x80\x02N" "r\xff\xff\xff\xff" "."s, "m.pk"), util::Error);

  // Sharing as Python writes it: one dict stored, then referred to again.
  const std::string shared = "\x80\x02](}r\x07\x00\x00\x00X\x01\x00\x00\x00kK\x05sh\x07" "e."s;
  const auto v = util::pickle::read_bytes(shared, "shared.pk");
  ASSERT_EQ(v.items.size(), 2u);
  EXPECT_EQ(v.items[0], v.items[1]);
  EXPECT_EQ(v.items[1]->get("k")->i, 5);

  // A list appended into itself, and items added to a shared dict later.
  for (const std::string& cyclic : {"\x80\x02]q\x00h\x00" "a."s, "\x80\x02}q\x00h\x00" "0K\x01h\x00s."s}) {
    const auto c = error_of([&] { util::pickle::read_bytes(cyclic, "cycle.pk"); });
    EXPECT_TRUE(contains(c.what(), "cycle")) << c.what();
  }
  EXPECT_TRUE(contains(error_of([&] { util::pickle::read_bytes("\x80\x02Nh\x03."s, "g.pk"); }).what(), "memo entry not set"));
}

TEST(PickleLimits, ErrorsFromFilesNameTheFile) {
  TempDir dir;
  const std::string p = dir / "instruments.pk";
  write_file(p, nested_lists(5000));
  const auto e = error_of([&] { util::pickle::read(p); });
  EXPECT_EQ(e.path(), p);
  EXPECT_TRUE(contains(e.what(), p)) << e.what();
  const auto missing = error_of([&] { util::pickle::read(dir / "none.pk"); });
  EXPECT_EQ(missing.kind(), util::ErrorKind::not_found);
}

std::string npy(const std::string& dict, const std::string& data = "") {
  std::string h = dict;
  h.append(63 - (10 + h.size()) % 64, ' ');
  h += '\n';
  return "\x93NUMPY\x01\x00"s + static_cast<char>(h.size() & 0xff) + static_cast<char>(h.size() >> 8) + h + data;
}

TEST(NpyLimits, DeclaredShapeIsCheckedAgainstTheBytesPresent) {
  const std::string eight(8, '\x01');
  EXPECT_EQ(util::npy::read_int_1d_bytes(npy("{'descr': '<i8', 'fortran_order': False, 'shape': (1,), }", eight), "a").size(), 1u);
  EXPECT_EQ(util::npy::read_int_1d_bytes(npy("{'descr': '|u1', 'fortran_order': False, 'shape': (8,), }", eight), "a"),
            std::vector<std::int64_t>(8, 1));
  struct Case {
    std::string shape, message;
  } cases[] = {
      {"(1152921504606846976,)", "declares 1152921504606846976 elements of 8 bytes, but only 8 bytes"},
      {"(2,)", "declares 2 elements"},
      {"(18446744073709551615,)", "declares 18446744073709551615"},
      {"(99999999999999999999999999,)", "too large"},
      {"('x',)", "malformed shape"},
      {"(-1,)", "malformed shape"},
      {"()", "0-dimensional"},
      {"(1, 1)", "2-dimensional"},
  };
  for (const auto& c : cases) {
    const auto e = error_of([&] {
      util::npy::read_int_1d_bytes(npy("{'descr': '<i8', 'fortran_order': False, 'shape': " + c.shape + ", }", eight), "cal.npy");
    });
    EXPECT_EQ(e.kind(), util::ErrorKind::damaged) << c.shape;
    EXPECT_TRUE(contains(e.what(), c.message)) << c.shape << ": " << e.what();
    EXPECT_TRUE(contains(e.what(), "'cal.npy'")) << e.what();
  }
}

TEST(NpyLimits, MalformedHeadersGiveMessagesNotLibraryExceptions) {
  const std::string eight(8, '\0');
  for (const std::string& bad :
       {"{'descr': '<i8', 'fortran_order': False, 'shape': (1,), } trailing"s, "{'descr': '<i8', 'fortran_order': Fals, 'shape': (1,)}"s,
        "{'descr': '<i8', 'fortran_order': False}"s, "{'descr': '<i8, 'fortran_order': False, 'shape': (1,)}"s,
        "{'descr': '<i16', 'fortran_order': False, 'shape': (1,)}"s, "{'descr': '<i8', 'fortran_order': False, 'shape': (1,), 'x': 1}"s,
        "{'descr': '<i8' 'fortran_order': False, 'shape': (1,)}"s, std::string(60000, '{')}) {
    const auto e = error_of([&] { util::npy::read_int_1d_bytes(npy(bad, eight), "h.npy"); });
    EXPECT_TRUE(contains(e.what(), "'h.npy' is not a usable trading calendar")) << e.what();
  }
  // A version 2 header length past the bytes present.
  const auto e = error_of([&] { util::npy::read_int_1d_bytes("\x93NUMPY\x02\x00\xff\xff\x00\x00{"s, "v2.npy"); });
  EXPECT_TRUE(contains(e.what(), "truncated header")) << e.what();
  EXPECT_TRUE(contains(error_of([&] { util::npy::read_int_1d_bytes("\x93NUMPY\x02"s, "s.npy"); }).what(), "no .npy magic"));
}

// Only the file itself is left in the folder, whatever happened.
std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path().filename().string());
  return out;
}

TEST(SmallFiles, WrittenAtomicallyAndReadUnderACap) {
  TempDir dir;
  const std::string p = dir / "f.bin";
  const std::string bytes("\0ab\xff", 4);
  write_file(p, "old");
  util::write_atomically(p, bytes);
  EXPECT_EQ(util::read_small_file(p, bytes.size()), bytes);
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"f.bin"});

  const util::Error big = error_of([&] { util::read_small_file(p, bytes.size() - 1); });
  EXPECT_EQ(big.kind(), util::ErrorKind::damaged);
  EXPECT_EQ(big.os_errno(), EFBIG);
  EXPECT_EQ(big.path(), p);
  const util::Error missing = error_of([&] { util::read_small_file(dir / "none", 10); });
  EXPECT_EQ(missing.kind(), util::ErrorKind::not_found);
  EXPECT_EQ(missing.path(), dir / "none");
  // A folder in the way fails the rename: the temporary file goes with it.
  const std::string folder = dir / "sub";
  fs::create_directories(folder + "/inner");
  const util::Error in_the_way = error_of([&] { util::write_atomically(folder, bytes); });
  EXPECT_NE(in_the_way.os_errno(), 0);
  EXPECT_EQ(in_the_way.path(), folder);
  auto left = names_in(dir.path());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"f.bin", "sub"}));

  // What is not a regular file is refused unread: a FIFO without a writer
  // (waiting on it would never end), a device that never ends, a folder, and
  // a link to any of them.
  TempDir odd_dir;
  ASSERT_EQ(::mkfifo((odd_dir / "fifo").c_str(), 0600), 0);
  fs::create_directory(odd_dir / "folder");
  fs::create_symlink("/dev/zero", odd_dir / "zero");
  for (const std::string& odd : {odd_dir / "fifo", std::string("/dev/zero"), odd_dir / "folder", odd_dir / "zero"}) {
    const util::Error e = error_of([&] { util::read_small_file(odd, util::kDocumentCap); });
    EXPECT_EQ(e.kind(), util::ErrorKind::invalid_input) << odd;
    EXPECT_NE(std::string(e.what()).find("not a regular file"), std::string::npos) << e.what();
  }
}

}  // namespace
