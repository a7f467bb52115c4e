// Updates of existing HDF5 files are all or nothing: a write that fails, a
// process that dies, an exception between open and close, at any point of
// an update, leave the file exactly as before it; the next open gets there
// by itself; a file held by a live writer is told as locked and left alone.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>

#include <fmt/format.h>

#include "h5/journal.hpp"
#include "support.hpp"
#include "tessal/ticks_layout.hpp"
#include "tessal_plus/bundle/constants.hpp"

using namespace testing_support;
using tessal_plus::bundle::EquitiesBar;
using tessal_plus::bundle::IndexRecord;
namespace journal = h5::journal;

namespace {

constexpr int kCrashed = 77;  // exit status of the crash hook

bool exists(const std::string& p) {
  struct stat st{};
  return ::lstat(p.c_str(), &st) == 0;
}

// A file's bytes and its journal's, to put a scene back between runs.
struct Scene {
  std::string file;
  std::optional<std::string> journal;
  static Scene take(const std::string& path) {
    Scene s{read_file(path), std::nullopt};
    if (exists(journal::journal_path(path))) s.journal = read_file(journal::journal_path(path));
    return s;
  }
  void put(const std::string& path) const {
    write_file(path, file);
    if (journal) write_file(journal::journal_path(path), *journal);
    else std::remove(journal::journal_path(path).c_str());
  }
};

// Every dataset of the root with its stored records, byte for byte.
std::map<std::string, std::string> contents(const std::string& path) {
  std::map<std::string, std::string> out;
  h5::File f = h5::File::open(path, h5::Mode::read);
  for (const auto& name : f.root_names()) {
    const h5::Dataset ds = f.open_dataset(name);
    const h5::Type t = ds.type();
    std::string bytes(ds.size() * t.size(), '\0');
    ds.read(bytes.data(), t.get());
    out[name] = std::move(bytes);
  }
  return out;
}

// ---- a minute-bar file: `data` (datetime + 6 prices) and `index` ----

std::vector<EquitiesBar> day_bars(int day) {
  std::vector<EquitiesBar> rows(240);
  for (int m = 0; m < 240; ++m) {
    const double p = 10.0 + day * 0.01 + m * 0.001;
    rows[static_cast<std::size_t>(m)] = EquitiesBar{(20240000LL + day) * 1000000 + 93000 + m, p, p + 0.02, p - 0.01, p + 0.01,
                                                    1000.0 + m, (1000.0 + m) * p};
  }
  return rows;
}

void make_minute_file(const std::string& path, int days) {
  using namespace tessal_plus::bundle;
  std::vector<EquitiesBar> data;
  std::vector<IndexRecord> index;
  for (int d = 1; d <= days; ++d) {
    index.push_back(IndexRecord{20240000 + d, static_cast<std::uint32_t>(data.size())});
    const auto rows = day_bars(d);
    data.insert(data.end(), rows.begin(), rows.end());
  }
  h5::File f = h5::File::open(path, h5::Mode::create);
  f.create_dataset("data", EQUITIES_DTYPE().type, data.data(), data.size(), h5::DatasetOptions{true, 128, 9, std::nullopt});
  f.create_dataset("index", INDEX_DTYPE().type, index.data(), index.size(), h5::DatasetOptions{true, 512, 9, std::nullopt});
  f.close();
}

// Appends one day to both datasets, as the minute-bar writer does.
void append_minute_day(const std::string& path, int day) {
  using namespace tessal_plus::bundle;
  h5::File f = h5::File::open(path, h5::Mode::append);
  h5::Dataset data = f.open_dataset("data");
  h5::Dataset index = f.open_dataset("index");
  const auto rows = day_bars(day);
  const hsize_t n = data.size(), m = index.size();
  const IndexRecord r{20240000 + day, static_cast<std::uint32_t>(n)};
  index.resize(m + 1);
  index.write_rows(m, 1, &r, INDEX_DTYPE().type.get());
  data.resize(n + rows.size());
  data.write_rows(n, rows.size(), rows.data(), EQUITIES_DTYPE().type.get());
  f.close();
}

// ---- a tick file: one Blosc-compressed dataset per day ----

std::vector<tessal::TickRecord> day_ticks(int day, int count) {
  std::vector<tessal::TickRecord> ticks(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    auto& t = ticks[static_cast<std::size_t>(i)];
    std::memset(&t, 0, sizeof t);
    t.date = 20240000 + day;
    t.time = 93000000 + i * 3000;
    t.last = 100000 + (day * 37 + i * 11) % 500;
    t.volume = 100LL * i;
    t.total_turnover = 1.5 * i;
    t.a1 = t.last + 10;
    t.b1 = t.last - 10;
  }
  return ticks;
}

void put_tick_day(h5::File& f, int day, int count) {
  const std::string name = std::to_string(20240000 + day);
  if (f.contains(name)) f.unlink(name);
  const auto ticks = day_ticks(day, count);
  if (count == 0) {
    f.create_dataset(name, tick_layout().type, nullptr, 0, h5::DatasetOptions{});
  } else {
    f.create_dataset(name, tick_layout().type, ticks.data(), ticks.size(),
                     h5::DatasetOptions{false, 0, -1, host().blosc_opts(9, "blosc:lz4")});
  }
}

void make_tick_file(const std::string& path, int days) {
  h5::File f = h5::File::open(path, h5::Mode::create);
  for (int d = 1; d <= days; ++d) put_tick_day(f, d, d % 7 == 0 ? 0 : 300 + d);
  f.close();
}

// Fetches the last stored day again (unlink + create) and adds new days,
// one of them without ticks, as the tick writer does.
void update_ticks(const std::string& path, int last_day) {
  h5::File f = h5::File::open(path, h5::Mode::append);
  put_tick_day(f, last_day, 350);
  put_tick_day(f, last_day + 1, 400);
  put_tick_day(f, last_day + 2, 0);
  put_tick_day(f, last_day + 3, 420);
  f.close();
}

// ---- fork helpers ----

// The writes an update of a file holding `bytes` makes, counted on a copy.
long writes_of(const std::string& bytes, const std::string& scratch, const std::function<void(const std::string&)>& update) {
  write_file(scratch, bytes);
  journal::testing::count_writes();
  update(scratch);
  const long n = journal::testing::writes_seen();
  journal::testing::disarm();
  std::remove(scratch.c_str());
  return n;
}

// Held in memory until the close (the default), or written out as it goes.
class HoldAtMost {
 public:
  explicit HoldAtMost(std::size_t bytes) { journal::testing::hold_at_most(bytes); }
  ~HoldAtMost() { journal::testing::hold_at_most(8 << 20); }
};
const std::vector<std::size_t> kHolds{8 << 20, 4096};

// Removes the last stored days and writes the new last one again with
// fewer ticks: the file gets shorter, so its cut tail must come back whole.
void shrink_ticks(const std::string& path, int last_day) {
  h5::File f = h5::File::open(path, h5::Mode::append);
  for (int d = last_day; d > last_day - 3; --d) f.unlink(std::to_string(20240000 + d));
  put_tick_day(f, last_day - 3, 40);
  f.close();
}

struct Case {
  const char* name;
  std::function<void(const std::string&)> make;
  std::function<void(const std::string&)> update;
  bool shrinks = false;
};

std::vector<Case> cases() {
  return {
      {"minute bars", [](const std::string& p) { make_minute_file(p, 60); }, [](const std::string& p) { append_minute_day(p, 61); }},
      {"ticks", [](const std::string& p) { make_tick_file(p, 30); }, [](const std::string& p) { update_ticks(p, 30); }},
      {"ticks, shrinking", [](const std::string& p) { make_tick_file(p, 30); }, [](const std::string& p) { shrink_ticks(p, 30); },
       true},
  };
}

}  // namespace

// Makes the case's file at `path` and one uninterrupted update of a copy at
// `reference`: the bytes before and after.
std::pair<std::string, std::string> before_and_after(const Case& c, const std::string& path, const std::string& reference) {
  c.make(path);
  const std::string before = read_file(path);
  write_file(reference, before);
  c.update(reference);
  const std::string after = read_file(reference);
  EXPECT_EQ(after.size() < before.size(), c.shrinks) << c.name;
  return {before, after};
}

// For every write of an update, a failure there (half written, then ENOSPC
// or EIO) is reported as an operating-system error with that errno, leaves
// the file byte-identical with no journal, and the update run again ends
// as an uninterrupted one does.
TEST(H5Journal, AFailedWriteAnywhereLeavesTheFileAsItWas) {
  TempDir dir;
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / "file.h5";
    const auto [before, after] = before_and_after(c, path, dir / "reference.h5");
    const auto after_contents = contents(dir / "reference.h5");
    ASSERT_NE(after, before);

    for (const std::size_t hold : kHolds) {
      SCOPED_TRACE(::testing::Message() << "holding " << hold << " bytes");
      const HoldAtMost holding(hold);
      const long total = writes_of(before, dir / "scratch.h5", c.update);
      ASSERT_GT(total, 3);
      for (long n = 1; n <= total; ++n) {
        SCOPED_TRACE(::testing::Message() << "write " << n << " of " << total);
        write_file(path, before);
        const int err = n % 2 ? ENOSPC : EIO;
        journal::testing::fail_nth_write(n, err);
        try {
          c.update(path);
          ADD_FAILURE() << "the update did not fail";
        } catch (const h5::Error& e) {
          EXPECT_EQ(e.kind(), h5::ErrorKind::os) << e.what();
          EXPECT_EQ(e.os_errno(), err) << e.what();
          EXPECT_EQ(e.path(), path);
        }
        journal::testing::disarm();
        EXPECT_EQ(read_file(path), before) << "not rolled back";
        EXPECT_FALSE(exists(journal::journal_path(path)));
        c.update(path);
        EXPECT_EQ(contents(path), after_contents);
        EXPECT_EQ(read_file(path), after);
      }
    }
  }
}

// A process killed at any write of an update leaves a hot journal; the next
// open, read-only (a store check) or writable, puts the file back byte for
// byte before reading it, and the update then completes.
TEST(H5Journal, ACrashAnywhereIsRolledBackByTheNextOpen) {
  TempDir dir;
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / "file.h5";
    const auto [before, after] = before_and_after(c, path, dir / "reference.h5");

    for (const std::size_t hold : kHolds) {
      SCOPED_TRACE(::testing::Message() << "holding " << hold << " bytes");
      const HoldAtMost holding(hold);
      const long total = writes_of(before, dir / "scratch.h5", c.update);
      int hot = 0;
      for (long n = 1; n <= total; ++n) {
        SCOPED_TRACE(::testing::Message() << "write " << n << " of " << total);
        write_file(path, before);
        const int status = in_child([&] {
          journal::testing::crash_at_nth_write(n);
          c.update(path);
          return 0;
        });
        ASSERT_EQ(status, kCrashed);
        if (exists(journal::journal_path(path))) ++hot;
        if (n % 2) {
          EXPECT_NO_THROW(h5::File::open(path, h5::Mode::read).close());
        } else {
          EXPECT_NO_THROW(h5::File::open(path, h5::Mode::read_write).close());
        }
        EXPECT_EQ(read_file(path), before);
        EXPECT_FALSE(exists(journal::journal_path(path)));
        c.update(path);
        EXPECT_EQ(read_file(path), after);
      }
      EXPECT_EQ(hot, total) << "every write of an update happens with its journal in place";
    }
  }
}

// A file with another name (a snapshot made with `cp -al`) is never changed
// in place: an update, whole or killed at any of its writes (the copy's
// included), leaves the other name's bytes as they were, and the file's own
// name ends as an uninterrupted update leaves it once the update runs again.
TEST(H5Journal, AnUpdateNeverWritesThroughAHardLink) {
  TempDir dir;
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / "file.h5", snapshot = dir / "snapshot.h5";
    const auto [before, after] = before_and_after(c, path, dir / "reference.h5");
    const auto linked = [&] {
      std::remove(path.c_str());
      std::remove(snapshot.c_str());
      write_file(path, before);
      std::filesystem::create_hard_link(path, snapshot);
    };
    linked();
    journal::testing::count_writes();
    c.update(path);
    const long total = journal::testing::writes_seen();
    journal::testing::disarm();
    EXPECT_EQ(read_file(snapshot), before);
    EXPECT_EQ(read_file(path), after);
    EXPECT_EQ(std::filesystem::hard_link_count(path), 1u);
    for (long n = 1; n <= total; ++n) {
      SCOPED_TRACE(::testing::Message() << "killed at write " << n << " of " << total);
      linked();
      ASSERT_EQ(in_child([&] {
                  journal::testing::crash_at_nth_write(n);
                  c.update(path);
                  return 0;
                }),
                kCrashed);
      EXPECT_EQ(read_file(snapshot), before);
      c.update(path);
      EXPECT_EQ(read_file(snapshot), before);
      EXPECT_EQ(read_file(path), after);
    }
  }
}

// Journals set aside stay for a month to be looked at; the file's next
// update removes older ones (regular files only), and nothing else.
TEST(H5Journal, TheNextUpdateRemovesJournalsSetAsideLongAgo) {
  TempDir dir;
  const auto all = cases();
  const Case& c = all.front();
  const std::string path = dir / "file.h5";
  c.make(path);
  const auto aside = [&](std::int64_t days_ago) {
    return fmt::format("{}.set-aside-{}-0badcafe", journal::journal_path(path), std::time(nullptr) - days_ago * 86400);
  };
  const std::string old = aside(31), recent = aside(29), folder = aside(40), other = dir / ".other.h5.journal.set-aside-1-0";
  for (const auto& p : {old, recent, other}) write_file(p, "x");
  std::filesystem::create_directory(folder);
  c.update(path);
  EXPECT_FALSE(exists(old));
  EXPECT_TRUE(exists(recent) && exists(folder) && exists(other));
}

// A rewrite in place longer than a journal record is saved, and its after
// image kept, in several whole records; a kill after it is rolled back whole.
TEST(H5Journal, ARewriteLongerThanARecordIsRolledBackWhole) {
  TempDir dir;
  const std::string path = dir / "file.h5";
  const hsize_t n = 3 << 20;
  const h5::Type byte(H5T_NATIVE_UINT8, false);
  h5::File made = h5::File::open(path, h5::Mode::create_new);
  made.create_dataset("raw", byte, std::string(n, 'a').data(), n, {});
  made.close();
  const std::string before = read_file(path);
  crash_at_last_write(path, [&] {
    h5::File f = h5::File::open(path, h5::Mode::read_write);
    f.open_dataset("raw").write_rows(0, n, std::string(n, 'b').data(), H5T_NATIVE_UINT8);
    f.close();
  });
  ASSERT_NE(read_file(path), before);
  EXPECT_NO_THROW(h5::File::open(path, h5::Mode::read).close());
  EXPECT_EQ(read_file(path), before);
}

// Rolling back is itself interrupted at each of its writes; the open after
// that finishes the job.
TEST(H5Journal, AnInterruptedRollbackIsFinishedByTheNextOpen) {
  TempDir dir;
  const std::string path = dir / "file.h5";
  make_minute_file(path, 60);
  const std::string before = read_file(path);
  const long total = writes_of(before, dir / "scratch.h5", [](const std::string& p) { append_minute_day(p, 61); });
  ASSERT_EQ(in_child([&] {
              journal::testing::crash_at_nth_write(total);
              append_minute_day(path, 61);
              return 0;
            }),
            kCrashed);
  const Scene crashed = Scene::take(path);
  ASSERT_TRUE(crashed.journal.has_value());
  ASSERT_NE(crashed.file, before);

  int interrupted = 0;
  for (long k = 1;; ++k) {
    crashed.put(path);
    const int status = in_child([&] {
      journal::testing::crash_at_nth_write(k);
      h5::File::open(path, h5::Mode::read_write).close();
      return 0;
    });
    if (status == 0) break;
    ASSERT_EQ(status, kCrashed);
    ++interrupted;
    EXPECT_TRUE(exists(journal::journal_path(path)));
    h5::File::open(path, h5::Mode::read).close();
    EXPECT_EQ(read_file(path), before) << "rollback interrupted at its write " << k;
    EXPECT_FALSE(exists(journal::journal_path(path)));
  }
  EXPECT_GE(interrupted, 2);  // at least one restored range and the truncation
}

// A writer that is alive holds the file: other processes are told "locked"
// (EAGAIN) whatever their mode, and its journal is not touched. Killed, it
// leaves a hot journal that the next open rolls back.
TEST(H5Journal, ALiveWritersFileIsLockedAndItsJournalLeftAlone) {
  TempDir dir;
  const std::string path = dir / "file.h5";
  const std::string jpath = journal::journal_path(path);
  EXPECT_EQ(jpath, dir / ".file.h5.journal");
  make_minute_file(path, 20);
  const std::string before = read_file(path);
  const std::string reference = dir / "reference.h5";
  write_file(reference, before);
  append_minute_day(reference, 21);

  for (const bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "writer commits" : "writer is killed");
    write_file(path, before);
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
      journal::testing::hold_at_most(4096);  // writes reach the disk as they come
      h5::File f = h5::File::open(path, h5::Mode::read_write);
      {
        h5::Dataset data = f.open_dataset("data");
        h5::Dataset index = f.open_dataset("index");
        const auto rows = day_bars(21);
        const hsize_t n = data.size();
        const IndexRecord r{20240021, static_cast<std::uint32_t>(n)};
        index.resize(index.size() + 1);
        index.write_rows(index.size() - 1, 1, &r, tessal_plus::bundle::INDEX_DTYPE().type.get());
        data.resize(n + rows.size());
        data.write_rows(n, rows.size(), rows.data(), tessal_plus::bundle::EQUITIES_DTYPE().type.get());
      }
      H5Fflush(f.get(), H5F_SCOPE_GLOBAL);  // out of HDF5's caches: the file is half-updated on disk now
      char c = 1;
      [[maybe_unused]] auto w = ::write(ready[1], &c, 1);
      [[maybe_unused]] auto r = ::read(go[0], &c, 1);
      f.close();
      ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_TRUE(exists(jpath));
    const std::string half = read_file(path);
    const std::string half_journal = read_file(jpath);
    for (const h5::Mode mode : {h5::Mode::read, h5::Mode::read_write, h5::Mode::append}) {
      try {
        h5::File::open(path, mode);
        ADD_FAILURE() << "a file held by a live writer must not open";
      } catch (const h5::Error& e) {
        EXPECT_EQ(e.kind(), h5::ErrorKind::locked) << e.what();
        EXPECT_EQ(e.os_errno(), EAGAIN);
      }
    }
    EXPECT_EQ(read_file(path), half);
    EXPECT_EQ(read_file(jpath), half_journal);
    if (commit) {
      ASSERT_EQ(::write(go[1], &c, 1), 1);
    } else {
      ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
    if (commit) {
      EXPECT_FALSE(exists(jpath));
      EXPECT_EQ(contents(path), contents(reference));
    } else {
      EXPECT_TRUE(exists(jpath));
      EXPECT_EQ(contents(path).at("data").size(), 20u * 240 * sizeof(EquitiesBar));
      EXPECT_EQ(read_file(path), before);
      EXPECT_FALSE(exists(jpath));
    }
  }
}

// A store check (read-only open) of a file with a hot journal it may not
// write fails as damaged and leaves both alone; whoever may write fixes it.
TEST(H5Journal, AReadOnlyOpenThatCannotRollBackReportsDamage) {
  TempDir dir;
  const std::string path = dir / "file.h5";
  make_minute_file(path, 20);
  const std::string before = read_file(path);
  ASSERT_EQ(in_child([&] {
              journal::testing::crash_at_nth_write(6);
              append_minute_day(path, 21);
              return 0;
            }),
            kCrashed);
  const Scene crashed = Scene::take(path);
  ASSERT_TRUE(crashed.journal.has_value());
  ::chmod(path.c_str(), 0644);
  ::chmod(dir.path().c_str(), 0755);
  const int status = in_child([&] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 10;
    try {
      h5::File::open(path, h5::Mode::read);
      return 11;
    } catch (const h5::Error& e) {
      const bool told = e.kind() == h5::ErrorKind::damaged && std::string(e.what()).find(".file.h5.journal") != std::string::npos;
      return told ? 0 : 12;
    }
  });
  EXPECT_EQ(status, 0) << "10: could not drop privileges, 11: opened, 12: misclassified";
  EXPECT_EQ(Scene::take(path).file, crashed.file);
  EXPECT_EQ(Scene::take(path).journal, crashed.journal);
  h5::File::open(path, h5::Mode::read).close();
  EXPECT_EQ(read_file(path), before);
}

// A journal whose saved bytes do not match their checksum cannot be trusted
// to restore the file: the open refuses as damaged and keeps the journal.
TEST(H5Journal, ADamagedJournalIsReportedNotPlayed) {
  TempDir dir;
  const std::string path = dir / "file.h5";
  make_minute_file(path, 20);
  const long total = writes_of(read_file(path), dir / "scratch.h5", [](const std::string& p) { append_minute_day(p, 21); });
  ASSERT_EQ(in_child([&] {
              journal::testing::crash_at_nth_write(total);
              append_minute_day(path, 21);
              return 0;
            }),
            kCrashed);
  Scene scene = Scene::take(path);
  // The header (32 bytes, its sample digests, a checksum), then the first
  // record: 24 bytes, then its saved bytes.
  ASSERT_TRUE(scene.journal && scene.journal->size() > 32);
  std::uint64_t samples = 0;
  std::memcpy(&samples, scene.journal->data() + 24, 8);
  const std::size_t first_saved = 32 + 8 * samples + 8 + 24;
  ASSERT_GT(scene.journal->size(), first_saved + 16);
  (*scene.journal)[first_saved + 8] ^= 0x5a;
  scene.put(path);
  for (const h5::Mode mode : {h5::Mode::read, h5::Mode::read_write}) {
    try {
      h5::File::open(path, mode);
      ADD_FAILURE() << "opened over a damaged journal";
    } catch (const h5::Error& e) {
      EXPECT_EQ(e.kind(), h5::ErrorKind::damaged) << e.what();
    }
    EXPECT_EQ(Scene::take(path).journal, scene.journal);
  }
}

// An exception between open and close (the service failing half-way
// through an update) rolls the update back, whatever reached the disk.
TEST(H5Journal, AnUpdateLeftWithoutCloseIsRolledBack) {
  TempDir dir;
  const std::string path = dir / "file.h5";
  make_tick_file(path, 30);
  const std::string before = read_file(path);
  for (const std::size_t hold : kHolds) {
    SCOPED_TRACE(::testing::Message() << "holding " << hold << " bytes");
    const HoldAtMost holding(hold);
    try {
      h5::File f = h5::File::open(path, h5::Mode::read_write);
      put_tick_day(f, 30, 100);
      put_tick_day(f, 31, 500);
      if (hold < 8 << 20) {
        EXPECT_NE(read_file(path), before);  // written out as it went
      }
      throw std::runtime_error("the service failed");
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "the service failed");
    }
    EXPECT_EQ(read_file(path), before);
    EXPECT_FALSE(exists(journal::journal_path(path)));
  }
  // Replacing an open File by another abandons the first one's update too.
  {
    const HoldAtMost holding(4096);
    h5::File f = h5::File::open(path, h5::Mode::read_write);
    put_tick_day(f, 31, 500);
    ASSERT_NE(read_file(path), before);
    f = h5::File::open(dir / "other.h5", h5::Mode::create);
    EXPECT_EQ(read_file(path), before);
    f.close();
  }
  // A closed update stays.
  update_ticks(path, 30);
  EXPECT_EQ(contents(path).count("20240033"), 1u);
  EXPECT_FALSE(exists(journal::journal_path(path)));
}

// A real limit on file size (RLIMIT_FSIZE: short writes, then EFBIG) in
// the middle of an update: the error is an operating-system one and the
// file is as before.
TEST(H5Journal, AFileSizeLimitHitMidUpdateLeavesTheFileAsItWas) {
  TempDir dir;
  const std::string path = dir / "file.h5";
  make_minute_file(path, 60);
  const std::string before = read_file(path);
  const int status = in_child([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlim_t limit = before.size() + 1024;
    const rlimit rl{limit, limit};
    if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) return 10;
    try {
      for (int d = 61; d < 80; ++d) append_minute_day(path, d);
      return 11;
    } catch (const h5::Error& e) {
      return e.kind() == h5::ErrorKind::os && e.os_errno() == EFBIG ? 0 : 12;
    }
  });
  ASSERT_EQ(status, 0) << "10: setrlimit, 11: no failure, 12: misclassified";
  // Days that fitted were committed one by one; the one that failed is gone
  // entirely: `index` and `data` agree.
  const auto c = contents(path);
  const std::size_t days = c.at("index").size() / sizeof(IndexRecord);
  EXPECT_EQ(c.at("data").size(), days * 240 * sizeof(EquitiesBar));
  EXPECT_FALSE(exists(journal::journal_path(path)));
  EXPECT_NO_THROW(append_minute_day(path, static_cast<int>(days) + 1));
}

namespace {

// A minute file of `days` days whose update by a day was killed at its last
// write: a genuine hot journal beside it. Returns the file's bytes before.
std::string crash_an_update(const std::string& path, int days = 20) {
  make_minute_file(path, days);
  const std::string before = read_file(path);
  crash_at_last_write(path, [&] { append_minute_day(path, days + 1); });
  EXPECT_TRUE(exists(journal::journal_path(path)));
  return before;
}

// Journals set aside beside `path`'s, with their bytes.
std::vector<std::string> set_aside(const std::string& path) {
  std::vector<std::string> out;
  const std::string prefix = fs::path(journal::journal_path(path)).filename().string() + ".set-aside-";
  for (const auto& e : fs::directory_iterator(fs::path(path).parent_path()))
    if (e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(read_file(e.path()));
  return out;
}

void clear_set_aside(const std::string& path) {
  const std::string prefix = fs::path(journal::journal_path(path)).filename().string() + ".set-aside-";
  for (const auto& e : fs::directory_iterator(fs::path(path).parent_path()))
    if (e.path().filename().string().rfind(prefix, 0) == 0) fs::remove(e.path());
}

// Opens `path` read-only (reading every dataset unless told not to) and
// for writing in a child that must not hang.
int opens_in_time(const std::string& path, bool read_datasets = true) {
  return in_child([&] {
    ::alarm(20);
    if (read_datasets) contents(path);
    else h5::File::open(path, h5::Mode::read).root_names();
    h5::File::open(path, h5::Mode::read_write).close();
    return 0;
  });
}

}  // namespace

// A hot journal left beside a file that is then made anew is never played
// onto the new file, even where the new file has the old one's inode (a
// copy written over it in place; a freed inode number is handed to the next
// file of the folder too): making the file removes the journal, and a
// journal found beside bytes it does not describe is set aside, however
// alike they are where it first looks (same length, same first page).
TEST(H5Journal, AJournalIsNeverPlayedOntoAnotherFile) {
  TempDir dir;
  const std::string path = dir / "file.h5";
  std::string before;  // the file's bytes before the killed update
  struct Way {
    const char* how;
    std::function<void()> remake;
    bool in_place = false;  // the new bytes go into the old file
    bool tick_file = true;  // the new bytes are a whole tick file
  };
  const std::vector<Way> ways = {
      {"deleted, then appended to", [&] {
         std::remove(path.c_str());
         h5::File f = h5::File::open(path, h5::Mode::append);
         put_tick_day(f, 1, 301);
         f.close();
       }},
      {"created over", [&] { make_tick_file(path, 3); }},
      {"filled under a name of its own and put in place", [&] {
         make_tick_file(dir / "made.h5", 3);
         h5::File f = h5::File::open(dir / ".file.h5.new", h5::Mode::create_new);
         put_tick_day(f, 1, 301);
         f.close_into(path);
       }},
      {"copied over in place", [&] {
         make_tick_file(dir / "made.h5", 3);
         write_file(path, read_file(dir / "made.h5"));
       },
       true},
      // The file as it was before the killed update, with one byte of
      // its middle (bars the update never wrote) changed, copied in place.
      {"its old bytes changed past the first page, copied in place", [&] {
         std::string bytes = before;
         bytes[before.size() / 2] ^= 0x5a;
         write_file(path, bytes);
       },
       true, false},
  };
  for (const auto& [how, remake, in_place, tick_file] : ways) {
    SCOPED_TRACE(how);
    clear_set_aside(path);
    before = crash_an_update(path);
    const std::string journal_bytes = read_file(journal::journal_path(path));
    remake();
    const std::string made = read_file(path);
    EXPECT_EQ(opens_in_time(path, tick_file), 0);
    EXPECT_EQ(read_file(path), made);
    EXPECT_FALSE(exists(journal::journal_path(path)));
    if (tick_file) {
      EXPECT_EQ(contents(path).count("20240001"), 1u);
    }
    // Only bytes written into the old file in place still had the journal beside them.
    EXPECT_EQ(set_aside(path), in_place ? std::vector<std::string>{journal_bytes} : std::vector<std::string>{});
  }
}

// A newer version of a crashed file restored over it (another machine's, a
// backup's) is no longer than the crashed update's target and holds the old
// bytes on every page that update did not write, so samples and lengths
// cannot tell it apart: the pages the update did write below the old end
// hold neither their saved bytes nor the update's; or, for the update's
// very layout with other values (the same day fetched elsewhere), the
// pages it appended differ. It is never rolled back; the journal is set
// aside with a notice.
TEST(H5Journal, ANewerVersionRestoredOverACrashedFileIsNeverRolledBack) {
  TempDir dir;
  const std::string path = dir / "file.h5", later_day = dir / "later.h5", target = dir / "target.h5";
  make_minute_file(later_day, 20);
  append_minute_day(later_day, 22);  // the crashed update appends day 21
  make_minute_file(target, 20);
  const std::uint64_t old_end = read_file(target).size();
  append_minute_day(target, 21);
  // The target with other values on two of its appended pages.
  std::string other_values = read_file(target);
  ASSERT_GT(other_values.size(), old_end + 4096);
  for (const std::uint64_t at : {old_end + 8, other_values.size() - 8}) other_values[at] = static_cast<char>(~other_values[at]);
  for (const std::string& newer : {read_file(later_day), other_values}) {
    ASSERT_LE(newer.size(), read_file(target).size());
    clear_set_aside(path);
    crash_an_update(path);
    const std::string journal_bytes = read_file(journal::journal_path(path));
    write_file(path, newer);
    EXPECT_EQ(opens_in_time(path, false), 0);
    EXPECT_EQ(read_file(path), newer);
    EXPECT_EQ(set_aside(path), std::vector<std::string>{journal_bytes});
  }
}

// An update that grows a file past its old end in one batch of writes,
// then cuts it back inside an appended page and writes on past the cut
// (HDF5 gives space back and takes it again), killed at its last write:
// the page the cut left and the page the kill tore are both what the
// update could have left, and the next open rolls the file back exactly.
TEST(H5Journal, AnUpdateCutInsideItsAppendedPagesIsRolledBack) {
  TempDir dir;
  const std::string path = dir / "file.h5";
  make_minute_file(path, 20);
  const std::string before = read_file(path);
  const HoldAtMost holding(4096);  // the first write goes out alone
  crash_at_last_write(path, [&] {
    journal::Session session;
    const h5::Handle fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    if (!session.attach(fapl.get())) throw std::runtime_error("attach");
    H5FD_t* f = H5FDopen(path.c_str(), H5F_ACC_RDWR, fapl.get(), HADDR_UNDEF);
    if (!f) throw std::runtime_error("open");
    const haddr_t end = H5FDget_eof(f, H5FD_MEM_DEFAULT), cut = end + 4096 + 2000, more = end + 3 * 4096 + 50;
    const std::string grown(3 * 4096 + 100, 'g'), written(5000, 'w');
    bool ok = H5FDset_eoa(f, H5FD_MEM_DEFAULT, end + grown.size()) >= 0 &&
              H5FDwrite(f, H5FD_MEM_DRAW, H5P_DEFAULT, end, grown.size(), grown.data()) >= 0 &&
              H5FDset_eoa(f, H5FD_MEM_DEFAULT, cut) >= 0 && H5FDtruncate(f, H5P_DEFAULT, false) >= 0 &&
              H5FDset_eoa(f, H5FD_MEM_DEFAULT, more + written.size()) >= 0 &&
              H5FDwrite(f, H5FD_MEM_DRAW, H5P_DEFAULT, more, written.size(), written.data()) >= 0;
    ok = H5FDclose(f) >= 0 && ok;
    if (!ok || !session.finish(true).ok) throw std::runtime_error("update");
  });
  EXPECT_NO_THROW(h5::File::open(path, h5::Mode::read).close());
  EXPECT_TRUE(read_file(path) == before) << "not rolled back";
  EXPECT_TRUE(set_aside(path).empty());
}

// A copied (or restored) bundle keeps its repair: a file and its hot journal
// copied elsewhere, with new inodes, are rolled back there as here.
TEST(H5Journal, ACopiedFileIsRolledBackByItsCopiedJournal) {
  TempDir dir;
  const std::string before = crash_an_update(dir / "file.h5");
  fs::create_directories(dir / "copy");
  const std::string copy = dir / "copy/file.h5";
  write_file(copy, read_file(dir / "file.h5"));
  write_file(journal::journal_path(copy), read_file(journal::journal_path(dir / "file.h5")));
  ASSERT_NE(read_file(copy), before);
  EXPECT_EQ(contents(copy).at("index").size(), 20 * sizeof(IndexRecord));
  EXPECT_EQ(read_file(copy), before);
  EXPECT_FALSE(exists(journal::journal_path(copy)));
}

// What lies at a journal's path and is not this file's journal never
// condemns the file, and is never played, followed or waited for: garbage
// and another file's journal are set aside; a link (dangling or to a
// file), a FIFO and a folder are left alone, and an update refuses to
// journal over them, leaving the file as it was.
TEST(H5Journal, WhatIsNotTheFilesJournalIsNeverPlayedFollowedOrWaitedFor) {
  TempDir dir;
  const std::string path = dir / "file.h5", jpath = journal::journal_path(path);
  crash_an_update(dir / "other.h5", 15);
  const std::string others_journal = read_file(journal::journal_path(dir / "other.h5"));
  const std::string target = dir / "target", absent = dir / "absent";
  write_file(target, "precious");
  struct Plant {
    const char* what;
    std::function<void()> plant;
    bool set_aside;
  };
  const std::vector<Plant> plants = {
      {"garbage", [&] { write_file(jpath, std::string(300, 'x')); }, true},
      {"another file's journal", [&] { write_file(jpath, others_journal); }, true},
      {"a dangling link", [&] { ASSERT_EQ(::symlink(absent.c_str(), jpath.c_str()), 0); }, false},
      {"a link to a file", [&] { ASSERT_EQ(::symlink(target.c_str(), jpath.c_str()), 0); }, false},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(jpath.c_str(), 0644), 0); }, false},
      {"a folder", [&] { fs::create_directory(jpath); }, false},
  };
  make_minute_file(path, 20);
  const std::string before = read_file(path);
  for (const Plant& p : plants) {
    SCOPED_TRACE(p.what);
    fs::remove_all(jpath);
    clear_set_aside(path);
    write_file(path, before);
    p.plant();
    EXPECT_EQ(opens_in_time(path), 0);
    EXPECT_EQ(read_file(path), before);
    EXPECT_EQ(set_aside(path).size(), p.set_aside ? 1u : 0u);
    EXPECT_EQ(exists(jpath), !p.set_aside);
    const int update = in_child([&] {
      ::alarm(20);
      try {
        append_minute_day(path, 21);
        return 0;
      } catch (const h5::Error& e) {
        return std::string(e.what()).find("in the way") != std::string::npos ? 1 : 2;
      }
    });
    EXPECT_EQ(update, p.set_aside ? 0 : 1) << "0: updated, 1: refused to journal over it, 2: other failure";
    if (!p.set_aside) {
      EXPECT_EQ(read_file(path), before);
    }
    EXPECT_FALSE(exists(absent));
    EXPECT_EQ(read_file(target), "precious");
  }
}

// Putting a file in place or deleting it takes the file's lock and its
// journal with it: a file another process holds is left alone (locked), and
// a journal never survives the file it was left for.
TEST(H5Journal, ReplacingOrDeletingAFileTakesItsJournalUnderItsLock) {
  TempDir dir;
  const std::string path = dir / "file.h5", temp = dir / ".file.h5.new";
  auto fill_temp = [&] {
    h5::File f = h5::File::open(temp, h5::Mode::create_new);
    put_tick_day(f, 1, 301);
    return f;
  };
  make_minute_file(path, 20);
  {
    HeldOpen held(path);
    const std::string held_bytes = read_file(path);
    for (const char* op : {"replace", "delete"}) {
      SCOPED_TRACE(op);
      try {
        if (std::string(op) == "replace") fill_temp().close_into(path);
        else h5::remove_file(path);
        ADD_FAILURE() << "a held file was taken";
      } catch (const h5::Error& e) {
        EXPECT_EQ(e.kind(), h5::ErrorKind::locked) << e.what();
      }
      EXPECT_EQ(read_file(path), held_bytes);
      EXPECT_FALSE(exists(temp));
    }
  }
  crash_an_update(path);
  fill_temp().close_into(path);
  EXPECT_FALSE(exists(temp));
  EXPECT_FALSE(exists(journal::journal_path(path)));
  EXPECT_EQ(contents(path).count("20240001"), 1u);

  crash_an_update(path);
  h5::remove_file(path);
  EXPECT_FALSE(exists(path));
  EXPECT_FALSE(exists(journal::journal_path(path)));

  // No file, only a journal left behind: the new file takes the name, the
  // journal goes.
  crash_an_update(path);
  std::remove(path.c_str());
  fill_temp().close_into(path);
  EXPECT_FALSE(exists(journal::journal_path(path)));
  { h5::File abandoned = fill_temp(); }
  EXPECT_FALSE(exists(temp)) << "a temporary file that was not put in place is removed";
}

// Opening and closing an up-to-date file for writing (an update run with
// nothing to do) writes nothing at all, so costs no journal.
// Small pieces are read through a few cached blocks on a read-only open
// only: values read in an order that keeps evicting blocks, across their
// edges and up to the file's last byte, are the values written; and an
// update that read a piece, changed it and wrote it out reads it back
// changed.
TEST(H5Journal, ReadsSeeTheBytesAsTheyAreNow) {
  TempDir dir;
  const std::string path = dir / "rows.h5";
  constexpr hsize_t kRows = 20000;  // 160 kB in chunks of 400 bytes: twenty blocks, chunks across their edges
  std::vector<std::int64_t> values(kRows);
  for (hsize_t i = 0; i < kRows; ++i) values[i] = static_cast<std::int64_t>(i * 7919 + 3);
  const h5::Type i64(H5T_STD_I64LE, false);
  {
    h5::File f = h5::File::open(path, h5::Mode::create);
    f.create_dataset("v", i64, values.data(), kRows, {.resizable = true, .chunk_rows = 50});
    f.close();
  }
  const auto row = [&](const h5::File& f, hsize_t r) {
    std::int64_t got = -1;
    f.open_dataset("v").read_rows(r, 1, &got, H5T_NATIVE_INT64);
    return got;
  };
  {
    const h5::File f = h5::File::open(path, h5::Mode::read);
    for (hsize_t k = 0; k < kRows / 2; k += 37)
      for (const hsize_t r : {k, kRows - 1 - k, (k * 13) % kRows}) ASSERT_EQ(row(f, r), values[r]) << "row " << r;
  }
  const HoldAtMost hold(0);  // every write reaches the disk at once
  h5::File f = h5::File::open(path, h5::Mode::read_write);
  ASSERT_EQ(row(f, 60), values[60]);
  const std::int64_t changed = -7;
  f.open_dataset("v").write_rows(60, 1, &changed, H5T_NATIVE_INT64);
  EXPECT_EQ(row(f, 60), changed);
  f.close();
}

TEST(H5Journal, AnUpdateWithoutChangesLeavesTheBytesAlone) {
  TempDir dir;
  const std::string path = dir / "file.h5";
  make_minute_file(path, 20);
  const std::string before = read_file(path);
  journal::testing::count_writes();
  h5::File f = h5::File::open(path, h5::Mode::append);
  EXPECT_EQ(f.open_dataset("index").size(), 20u);
  f.close();
  // HDF5 marks the superblock at open and unmarks it at close: no change.
  EXPECT_EQ(journal::testing::writes_seen(), 0);
  journal::testing::disarm();
  EXPECT_EQ(read_file(path), before);
  EXPECT_FALSE(exists(journal::journal_path(path)));
}
