// The rollback journal on disk: its format, how a journal is matched to its
// file, playing it back, and the careful opening of control files.
//
// Layout (integers little-endian, as on every machine we run on):
//   header  "TBH5JNL2", old EOF (u64), seed (u64), n (u64), n digests of
//           the file's sample pages before the update (u64 each, n <= 32),
//           checksum of all the header's earlier bytes (u64)
//   record  offset (u64), length (u64), checksum of offset, length and the
//           saved bytes (u64); then `length` saved bytes
//   extent  a record at offset 2^64-1 of 16 bytes: the shortest and the
//           longest the file may have been made by the writes that follow
//           it (the writer's truncations and its end of file)
//   after   a record at offset 2^64-2: an offset (u64) and the bytes the
//           writes that follow it put there, below the old EOF (the
//           after-image of a saved range), so that a journal is played only
//           onto bytes its update could have left
//   appended  a record at offset 2^64-3: pairs of a page number (u64) and
//           the digest (u64) of that page past the old EOF as the writes
//           that follow it leave it (bytes below the old EOF and past the
//           end counted as zeros): the pages the update appends
// The current format is "TBH5JNL4". "TBH5JNL3" (the same without appended
// records) and "TBH5JNL2" (without after records either) are read as
// before: their appended pages, and the saved pages of a "TBH5JNL2", are
// matched by the sample digests and the lengths alone.
// A record is appended in one write, and the file is only written after it
// completed, so at most the last record can be torn (cut short by a kill or
// a failed write); its range of the file was never touched and it is
// skipped. A complete record that fails its checksum means the journal was
// damaged: we stop and report rather than guess.
//
// Journals of the earlier format ("TBH5JNL1": old EOF, device and inode of
// the file) are still played, on the file whose inode they name.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include <fmt/format.h>

#include "h5/journal_internal.hpp"
#include "util/files.hpp"

namespace h5::journal {
namespace {

// ---- test hooks ----
bool g_armed = false;
long g_count = 0;
long g_fail_at = 0;
long g_crash_at = 0;
int g_fail_errno = 0;

// Returns 0 to go on with the write, or the errno to fail it with. A faulty
// write leaves its first half behind, as a short write before ENOSPC would.
int hook_slow(int fd, const void* buf, std::size_t n, off_t off) {
  ++g_count;
  const bool fail = g_count == g_fail_at;
  const bool crash = g_count == g_crash_at;
  if (!fail && !crash) return 0;
  if (buf && n > 1) {
    [[maybe_unused]] const ssize_t w = ::pwrite(fd, buf, n / 2, off);
  }
  if (crash) ::_exit(77);
  g_fail_at = 0;
  return g_fail_errno;
}

inline int hook(int fd, const void* buf, std::size_t n, off_t off) {
  if (!g_armed) [[likely]] return 0;
  return hook_slow(fd, buf, n, off);
}

void (*g_notice)(const std::string&) = nullptr;

}  // namespace

void set_notice_handler(void (*handler)(const std::string& line)) noexcept { g_notice = handler; }

namespace testing {
void count_writes() noexcept {
  g_armed = true;
  g_count = g_fail_at = g_crash_at = 0;
}
void fail_nth_write(long n, int errno_value) noexcept {
  count_writes();
  g_fail_at = n;
  g_fail_errno = errno_value;
}
void crash_at_nth_write(long n) noexcept {
  count_writes();
  g_crash_at = n;
}
long writes_seen() noexcept { return g_count; }
void disarm() noexcept {
  g_armed = false;
  g_fail_at = g_crash_at = 0;
}
}  // namespace testing

namespace detail {

bool g_durable = false;

namespace {

constexpr char kMagic[8] = {'T', 'B', 'H', '5', 'J', 'N', 'L', '4'};
constexpr char kMagicV3[8] = {'T', 'B', 'H', '5', 'J', 'N', 'L', '3'};
constexpr char kMagicV2[8] = {'T', 'B', 'H', '5', 'J', 'N', 'L', '2'};
constexpr char kMagicV1[8] = {'T', 'B', 'H', '5', 'J', 'N', 'L', '1'};
constexpr std::size_t kV1HeaderSize = 40;
constexpr std::size_t kFixedHeader = 32;  // magic, old EOF, seed, n
constexpr std::uint64_t kMaxSamples = 32;
constexpr std::size_t kRecordHeaderSize = 24;
// Large overwrites are saved in pieces, so memory stays bounded.
constexpr std::uint64_t kMaxRecord = 1 << 20;
constexpr std::uint64_t kExtentMark = ~std::uint64_t{0};
constexpr std::uint64_t kExtentSize = 16;
constexpr std::uint64_t kAfterMark = ~std::uint64_t{0} - 1;
constexpr std::uint64_t kAppendedMark = ~std::uint64_t{0} - 2;
constexpr std::uint64_t kPairSize = 16;

std::uint64_t checksum(const unsigned char* p, std::size_t n, std::uint64_t h = 0xcbf29ce484222325ull) {
  // FNV-1a over 8-byte words, then the tail: cheap, and enough to tell a
  // torn or overwritten record from a whole one.
  constexpr std::uint64_t prime = 0x100000001b3ull;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = (h ^ w) * prime;
    h ^= h >> 29;
  }
  for (; i < n; ++i) h = (h ^ p[i]) * prime;
  return h;
}

void put64(unsigned char* p, std::uint64_t v) { std::memcpy(p, &v, 8); }
std::uint64_t get64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

std::uint64_t splitmix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

std::uint64_t random64() {
  std::uint64_t v = 0;
  if (::getrandom(&v, sizeof v, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof v)) return v;
  static std::uint64_t counter = 0;
  const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return splitmix(now ^ (static_cast<std::uint64_t>(::getpid()) << 32) ^ ++counter);
}

std::uint64_t page_count(std::uint64_t old_eof) { return (old_eof + kPage - 1) / kPage; }

// The pages a header samples: all of a small file; else the first, the
// last and spread ones chosen by the seed.
std::vector<std::uint64_t> sample_pages(std::uint64_t seed, std::uint64_t old_eof) {
  const std::uint64_t pages = page_count(old_eof);
  std::vector<std::uint64_t> out;
  if (pages <= kMaxSamples) {
    for (std::uint64_t p = 0; p < pages; ++p) out.push_back(p);
    return out;
  }
  out.push_back(0);
  out.push_back(pages - 1);
  for (std::uint64_t i = 2; i < kMaxSamples; ++i) out.push_back(splitmix(seed + i) % pages);
  return out;
}

std::uint64_t page_digest(const unsigned char* p, std::size_t n, std::uint64_t seed, std::uint64_t page) {
  return checksum(p, n, splitmix(seed ^ page));
}

std::uint64_t page_length(std::uint64_t page, std::uint64_t old_eof) {
  return std::min<std::uint64_t>(kPage, old_eof - page * kPage);
}

// Digest of a page as the file open as `fd` holds it now; a page the file
// no longer holds whole gets a digest no whole page has.
std::uint64_t file_page_digest(int fd, std::uint64_t seed, std::uint64_t page, std::uint64_t old_eof, bool& io_error) {
  unsigned char buf[kPage];
  const std::uint64_t len = page_length(page, old_eof);
  const ssize_t r = read_up_to(fd, buf, len, page * kPage);
  if (r < 0) io_error = true;
  if (r < 0 || static_cast<std::uint64_t>(r) != len) return ~page_digest(buf, 0, seed, page);
  return page_digest(buf, len, seed, page);
}

struct Record {
  std::uint64_t at;   // where its saved bytes are in the journal
  std::uint64_t off;  // and where they go in the file
  std::uint64_t len;
};

enum class Verdict {
  torn_header,  // the writer died before the header was out: the file is untouched
  not_journal,  // not a journal of ours at all
  foreign,      // a journal of another file
  belongs,      // a journal of this file, whole: play it
  damaged,      // a journal of this file (or of no telling) with a damaged record
};

// What the update wrote at `off` (below the old EOF), from an after record.
struct After {
  std::uint64_t off;
  std::string bytes;
};

struct Parsed {
  Verdict verdict = Verdict::not_journal;
  std::uint64_t old_eof = 0;
  std::vector<Record> records;
  std::vector<After> afters;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> appended;  // page, digest
  // The lengths the writer may have given the file (extent records).
  std::uint64_t shortest = 0, longest = 0;
};

// Reads the records after the header at `at`, up to the end or a torn one;
// false at a damaged record. `on_record` sees each whole record's bytes.
template <typename F>
bool read_records(int jfd, std::uint64_t at, Parsed& parsed, Failure& io, F&& on_record) {
  const std::uint64_t old_eof = parsed.old_eof;
  parsed.shortest = parsed.longest = old_eof;
  std::vector<unsigned char> buf;
  for (;;) {
    unsigned char rh[kRecordHeaderSize];
    const ssize_t rn = read_up_to(jfd, rh, kRecordHeaderSize, at);
    if (rn < 0) {
      io = os_failure(static_cast<int>(-rn), "cannot read the journal");
      return true;
    }
    if (static_cast<std::size_t>(rn) < kRecordHeaderSize) return true;  // end, or a torn record
    const std::uint64_t off = get64(rh), len = get64(rh + 8);
    const bool extent = off == kExtentMark, after = off == kAfterMark, appended = off == kAppendedMark;
    // A record header is written whole with its record, so even a torn
    // record has a sane one; nonsense means the journal was damaged.
    if (extent ? len != kExtentSize
        : after ? (len <= 16 || len > kMaxRecord + 16)
        : appended ? (len == 0 || len % kPairSize != 0 || len > kMaxRecord)
                   : (len == 0 || len > kMaxRecord || off > old_eof || len > old_eof - off))
      return false;
    buf.resize(len);
    const ssize_t dn = read_up_to(jfd, buf.data(), len, at + kRecordHeaderSize);
    if (dn < 0) {
      io = os_failure(static_cast<int>(-dn), "cannot read the journal");
      return true;
    }
    if (static_cast<std::uint64_t>(dn) < len) return true;  // torn: its range was never written
    if (get64(rh + 16) != checksum(buf.data(), len, checksum(rh, 16))) return false;
    if (extent) {
      parsed.shortest = std::min(parsed.shortest, get64(buf.data()));
      parsed.longest = std::max(parsed.longest, get64(buf.data() + 8));
    } else if (after) {
      const std::uint64_t at_file = get64(buf.data()), n = get64(buf.data() + 8);
      if (n != len - 16 || at_file > old_eof || n > old_eof - at_file) return false;
      parsed.afters.push_back({at_file, std::string(reinterpret_cast<const char*>(buf.data() + 16), n)});
    } else if (appended) {
      for (std::uint64_t i = 0; i < len; i += kPairSize) parsed.appended.emplace_back(get64(buf.data() + i), get64(buf.data() + i + 8));
    } else {
      on_record(off, buf.data(), len);
      parsed.records.push_back({at + kRecordHeaderSize, off, len});
    }
    at += kRecordHeaderSize + len;
  }
}

// Whether every byte of the file open as `fd` (`size` bytes long) that the
// journal saved holds what the update could have left there: its old byte
// (never written, or rolled back), a byte an after record says the update
// wrote there (any of them: an update may write a page more than once, and
// a write cut short leaves some of each), or, from the shortest length the
// update gave the file on, nothing or a zero (cut, then grown again). A file
// restored over a crashed one by other means holds bytes of neither.
Failure left_by_the_update(int jfd, int fd, std::uint64_t size, const Parsed& parsed, bool& could_be) {
  could_be = true;
  std::vector<unsigned char> saved, now;
  for (const Record& r : parsed.records) {
    saved.resize(r.len);
    now.assign(r.len, 0);
    const ssize_t n = read_up_to(jfd, saved.data(), r.len, r.at);
    if (n < 0 || static_cast<std::uint64_t>(n) != r.len) return os_failure(n < 0 ? static_cast<int>(-n) : EIO, "cannot read the journal");
    const ssize_t got = read_up_to(fd, now.data(), r.len, r.off);
    if (got < 0) return os_failure(static_cast<int>(-got), "cannot read the file to match its journal");
    std::vector<bool> explained(r.len);
    for (std::uint64_t i = 0; i < r.len; ++i) {
      const std::uint64_t at = r.off + i;
      explained[i] = at >= size ? at >= parsed.shortest : now[i] == saved[i] || (at >= parsed.shortest && now[i] == 0);
    }
    for (const After& a : parsed.afters) {
      const std::uint64_t lo = std::max(a.off, r.off), hi = std::min(a.off + a.bytes.size(), r.off + r.len);
      for (std::uint64_t at = lo; at < hi; ++at)
        if (at < size && now[at - r.off] == static_cast<unsigned char>(a.bytes[at - a.off])) explained[at - r.off] = true;
    }
    if (std::find(explained.begin(), explained.end(), false) != explained.end()) {
      could_be = false;
      return {};
    }
  }
  return {};
}

// Whether the pages of the file open as `fd` (`size` bytes long) past the
// old EOF hold what the update could have left there: nothing (zeros, or
// past the end) or a page as one of its writes left it (an appended
// record's digest). One page the update wrote may hold neither: the write
// a kill cut short stops inside a page, and a kill ends the update. A
// rolled-back journal never wrote there, it cut the file. Another version
// of the file (the same days with other values from another machine)
// differs there.
Failure appended_by_the_update(int fd, std::uint64_t size, std::uint64_t seed, Parsed& parsed, bool& could_be) {
  could_be = true;
  std::sort(parsed.appended.begin(), parsed.appended.end());
  unsigned char page[kPage];
  int unexplained = 0;
  for (std::uint64_t p = parsed.old_eof / kPage; p * kPage < size; ++p) {
    if (Failure f = read_tail_page(fd, p, parsed.old_eof, size, page)) return f;
    if (std::all_of(page, page + kPage, [](unsigned char c) { return c == 0; })) continue;
    const auto of_page = std::equal_range(parsed.appended.begin(), parsed.appended.end(), std::make_pair(p, std::uint64_t{0}),
                                          [](const auto& a, const auto& b) { return a.first < b.first; });
    const std::uint64_t digest = tail_page_digest(page, seed, p);
    if (std::any_of(of_page.first, of_page.second, [&](const auto& x) { return x.second == digest; })) continue;
    if (of_page.first == of_page.second || ++unexplained > 1) {
      could_be = false;
      return {};
    }
  }
  return {};
}

// Reads the journal open as `jfd` and, unless `own` (a journal this process
// wrote), decides whether it belongs to the file open as `fd`.
Failure parse(int jfd, int fd, bool own, Parsed& out) {
  unsigned char head[kFixedHeader + 8 * kMaxSamples + 8];
  const ssize_t hn = read_up_to(jfd, head, sizeof head, 0);
  if (hn < 0) return os_failure(static_cast<int>(-hn), "cannot read the journal");
  const auto got = static_cast<std::size_t>(hn);
  // A header is written in one piece with the first record, before the
  // file is touched: a shorter one (or an empty journal) was cut by a kill.
  if (got < 8) {
    if (std::memcmp(head, kMagic, got) == 0) out.verdict = Verdict::torn_header;
    return {};
  }
  const bool v1 = std::memcmp(head, kMagicV1, 8) == 0, v2 = std::memcmp(head, kMagicV2, 8) == 0,
             v3 = std::memcmp(head, kMagicV3, 8) == 0;
  if (!v1 && !v2 && !v3 && std::memcmp(head, kMagic, 8) != 0) return {};  // not_journal
  if (!v1 && got >= kFixedHeader && get64(head + 24) > kMaxSamples) return {};
  const std::size_t need = v1 ? kV1HeaderSize : got < kFixedHeader ? kFixedHeader + 8 : kFixedHeader + 8 * get64(head + 24) + 8;
  if (got < need) {
    out.verdict = Verdict::torn_header;
    return {};
  }
  if (get64(head + need - 8) != checksum(head, need - 8)) return {};  // not_journal
  out.old_eof = get64(head + 8);
  Failure io;
  if (v1) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) return os_failure(errno, "cannot stat the file");
    const bool same = get64(head + 16) == static_cast<std::uint64_t>(st.st_dev) && get64(head + 24) == static_cast<std::uint64_t>(st.st_ino);
    const bool whole = read_records(jfd, kV1HeaderSize, out, io, [](auto, auto, auto) {});
    if (io) return io;
    out.verdict = !same && !own ? Verdict::foreign : whole ? Verdict::belongs : Verdict::damaged;
    return {};
  }
  const std::uint64_t seed = get64(head + 16), n = get64(head + 24);
  const std::vector<std::uint64_t> pages = sample_pages(seed, out.old_eof);
  if (pages.size() != n) return {};
  // The digest each sample page would have after playing the journal.
  std::vector<std::uint64_t> restored(n, 0);
  std::vector<bool> saved(n, false);
  const bool whole = read_records(jfd, need, out, io, [&](std::uint64_t off, const unsigned char* p, std::uint64_t len) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t at = pages[i] * kPage;
      if (at < off || at >= off + len) continue;
      saved[i] = true;
      restored[i] = page_digest(p + (at - off), std::min(page_length(pages[i], out.old_eof), off + len - at), seed, pages[i]);
    }
  });
  if (io) return io;
  if (own) {
    out.verdict = whole ? Verdict::belongs : Verdict::damaged;
    return {};
  }
  // The writer never made the file shorter or longer than it said it would
  // before doing so: a file of another length (a shorter or a longer
  // version of it) is another file, however alike their first pages.
  struct stat st{};
  if (::fstat(fd, &st) != 0) return os_failure(errno, "cannot stat the file");
  const auto size = static_cast<std::uint64_t>(st.st_size);
  bool io_error = false;
  bool match = n > 0 && size >= out.shortest && size <= out.longest;
  for (std::size_t i = 0; i < n && match; ++i) {
    const std::uint64_t d = saved[i] ? restored[i] : file_page_digest(fd, seed, pages[i], out.old_eof, io_error);
    match = d == get64(head + kFixedHeader + 8 * i);
  }
  if (io_error) return os_failure(EIO, "cannot read the file to match its journal");
  if (whole && match && !v2) {
    bool could_be = false;
    if (Failure f = left_by_the_update(jfd, fd, size, out, could_be)) return f;
    match = could_be;
  }
  if (whole && match && !v2 && !v3) {
    bool could_be = false;
    if (Failure f = appended_by_the_update(fd, size, seed, out, could_be)) return f;
    match = could_be;
  }
  // After a damaged record, the pages of the records that follow it are
  // not known to be saved: a mismatch proves nothing then.
  out.verdict = !whole ? Verdict::damaged : match ? Verdict::belongs : Verdict::foreign;
  return {};
}

Failure damaged_journal(const std::string& path, const std::string& jpath) {
  return Failure{.err = 0, .what = fmt::format("the journal '{}' of '{}' is damaged; the file may hold a partial update", jpath, path)};
}

// Puts back what the records saved and cuts the file to its old EOF.
Failure play(int jfd, int fd, const Parsed& parsed, const std::string& path) {
  std::vector<unsigned char> buf;
  for (const Record& r : parsed.records) {
    buf.resize(r.len);
    const ssize_t n = read_up_to(jfd, buf.data(), r.len, r.at);
    if (n < 0 || static_cast<std::uint64_t>(n) != r.len)
      return os_failure(n < 0 ? static_cast<int>(-n) : EIO, fmt::format("cannot read the journal of '{}'", path));
    if (const int e = write_all(fd, buf.data(), r.len, r.off)) return os_failure(e, fmt::format("cannot roll back '{}'", path));
  }
  if (const int e = truncate_to(fd, parsed.old_eof)) return os_failure(e, fmt::format("cannot roll back '{}'", path));
  if (g_durable && ::fsync(fd) != 0) return os_failure(errno, fmt::format("cannot roll back '{}'", path));
  return {};
}

Failure unlink_journal(const std::string& path, const std::string& jpath) {
  if (::unlink(jpath.c_str()) != 0 && errno != ENOENT)
    return os_failure(errno, fmt::format("cannot remove the journal '{}'", jpath));
  if (g_durable) util::sync_folder_of(path);
  return {};
}

std::string odd_kind(mode_t m) {
  if (S_ISLNK(m)) return "a symbolic link";
  if (S_ISFIFO(m)) return "a FIFO";
  if (S_ISDIR(m)) return "a folder";
  if (S_ISSOCK(m)) return "a socket";
  if (S_ISCHR(m) || S_ISBLK(m)) return "a device";
  return S_ISREG(m) ? "" : "not a regular file";
}

}  // namespace

Failure os_failure(int err, std::string what) { return Failure{.err = err, .what = std::move(what)}; }

void notify(const std::string& line) {
  if (g_notice) {
    g_notice(line);
    return;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

int write_all(int fd, const void* buf, std::size_t n, std::uint64_t off) {
  if (const int e = hook(fd, buf, n, static_cast<off_t>(off))) return e;
  const auto* p = static_cast<const unsigned char*>(buf);
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, p, std::min<std::size_t>(n, 1u << 30), static_cast<off_t>(off));
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return EIO;
    p += w, n -= static_cast<std::size_t>(w), off += static_cast<std::uint64_t>(w);
  }
  return 0;
}

int truncate_to(int fd, std::uint64_t len) {
  if (const int e = hook(fd, nullptr, 0, 0)) return e;
  return ::ftruncate(fd, static_cast<off_t>(len)) == 0 ? 0 : errno;
}

ssize_t read_up_to(int fd, void* buf, std::size_t n, std::uint64_t off) {
  auto* p = static_cast<unsigned char*>(buf);
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, p + got, n - got, static_cast<off_t>(off + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

namespace {
// HDF5_USE_FILE_LOCKING, read as HDF5's own POSIX driver reads it: "FALSE"
// takes no locks (for shared file systems without flock, where the user
// guarantees a single writer per file), "BEST_EFFORT" ignores a file system
// that does not support locks, anything else locks.
enum class LockPolicy { lock, best_effort, off };
LockPolicy lock_policy() {
  static const LockPolicy policy = [] {
    const char* v = std::getenv("HDF5_USE_FILE_LOCKING");
    if (!v) return LockPolicy::lock;
    const std::string s = v;
    if (s == "FALSE" || s == "0") return LockPolicy::off;
    if (s == "BEST_EFFORT") return LockPolicy::best_effort;
    return LockPolicy::lock;
  }();
  return policy;
}
}  // namespace

bool locks_taken() { return lock_policy() != LockPolicy::off; }

int take_lock(int fd, bool exclusive) {
  const LockPolicy policy = lock_policy();
  if (policy == LockPolicy::off) return 0;
  while (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (policy == LockPolicy::best_effort && (errno == ENOSYS || errno == ENOLCK || errno == EOPNOTSUPP)) return 0;
    return errno == EWOULDBLOCK ? EAGAIN : errno;
  }
  return 0;
}

std::string odd_entry(const std::string& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return "";
  return odd_kind(st.st_mode);
}

util::Fd open_control(const std::string& path, int flags, int& err, std::string& what_is_there) {
  what_is_there.clear();
  util::Fd fd(::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    err = errno;
    if (err == ELOOP || err == EISDIR || err == ENXIO) what_is_there = odd_entry(path);
    return fd;
  }
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    err = EINVAL;
    what_is_there = odd_kind(st.st_mode);
    if (what_is_there.empty()) what_is_there = "not a regular file";
    return util::Fd();
  }
  // Back to blocking I/O: the descriptor is a regular file's.
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

util::Fd create_control(const std::string& path, int& err) {
  util::Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid()) err = errno;
  return fd;
}

std::string set_aside_path(const std::string& jpath) {
  return fmt::format("{}.set-aside-{}-{:08x}", jpath, static_cast<long long>(std::time(nullptr)),
                     static_cast<std::uint32_t>(random64()));
}

void remove_old_set_asides(const std::string& jpath, std::int64_t now) {
  // A store folder holds a whole market (thousands of files): listing it
  // for every update would cost more than most updates. Each process lists
  // a folder once an hour and keeps, per journal name, the old set-aside
  // journals it found; a journal set aside since is recent anyway.
  struct Listing {
    std::int64_t at = 0;
    std::map<std::string, std::vector<std::string>> old;  // journal name -> its old set-aside names
  };
  static std::mutex guard;
  static std::map<std::string, Listing> listings;
  const auto slash = jpath.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : jpath.substr(0, slash);
  const std::string jname = slash == std::string::npos ? jpath : jpath.substr(slash + 1);
  const std::string mark = ".set-aside-";
  std::vector<std::string> names;
  {
    const std::lock_guard<std::mutex> lock(guard);
    Listing& listing = listings[folder];
    if (listing.at == 0 || now - listing.at > 3600 || now < listing.at) {
      listing = Listing{now, {}};
      if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(d)) {
          const std::string name = e->d_name;
          const auto at_mark = name.rfind(mark);
          if (at_mark == std::string::npos) continue;
          const char* digits = name.c_str() + at_mark + mark.size();
          char* end = nullptr;
          const long long at = std::strtoll(digits, &end, 10);
          if (end == digits || *end != '-' || now - at <= kSetAsideDays * 86400) continue;
          listing.old[name.substr(0, at_mark)].push_back(name);
        }
        ::closedir(d);
      }
    }
    const auto it = listing.old.find(jname);
    if (it == listing.old.end()) return;
    names = std::move(it->second);
    listing.old.erase(it);
  }
  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    struct stat st{};
    // Only a regular file of ours: a link or a folder of that name is left alone.
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
  }
}

Failure make_header(int fd, std::uint64_t old_eof, const std::string& path, Header& out) {
  out.old_eof = old_eof;
  out.seed = random64();
  out.digests.clear();
  unsigned char buf[kPage];
  // The draw repeats pages (a small file's often): each is read once.
  std::map<std::uint64_t, std::uint64_t> digest_of;
  for (const std::uint64_t page : sample_pages(out.seed, old_eof)) {
    auto [at, fresh] = digest_of.try_emplace(page, 0);
    if (fresh) {
      const std::uint64_t len = page_length(page, old_eof);
      const ssize_t r = read_up_to(fd, buf, len, page * kPage);
      if (r < 0) return os_failure(static_cast<int>(-r), fmt::format("cannot read '{}' to journal it", path));
      if (static_cast<std::uint64_t>(r) != len) return os_failure(EIO, fmt::format("'{}' is shorter than when it was opened", path));
      at->second = page_digest(buf, len, out.seed, page);
    }
    out.digests.push_back(at->second);
  }
  return {};
}

std::vector<unsigned char> encode_header(const Header& h) {
  std::vector<unsigned char> b(kFixedHeader + 8 * h.digests.size() + 8);
  std::memcpy(b.data(), kMagic, 8);
  put64(b.data() + 8, h.old_eof);
  put64(b.data() + 16, h.seed);
  put64(b.data() + 24, h.digests.size());
  for (std::size_t i = 0; i < h.digests.size(); ++i) put64(b.data() + kFixedHeader + 8 * i, h.digests[i]);
  put64(b.data() + b.size() - 8, checksum(b.data(), b.size() - 8));
  return b;
}

Failure append_records(int fd, std::uint64_t a, std::uint64_t b, const std::string& path, std::vector<unsigned char>& buf) {
  for (std::uint64_t at = a; at < b;) {
    const std::uint64_t len = std::min(b - at, kMaxRecord);
    const std::size_t rec = buf.size();
    buf.resize(rec + kRecordHeaderSize + len);
    unsigned char* r = buf.data() + rec;
    const ssize_t n = read_up_to(fd, r + kRecordHeaderSize, len, at);
    if (n < 0) return os_failure(static_cast<int>(-n), fmt::format("cannot read '{}' to journal it", path));
    if (static_cast<std::uint64_t>(n) != len) return os_failure(EIO, fmt::format("'{}' is shorter than when it was opened", path));
    put64(r, at);
    put64(r + 8, len);
    put64(r + 16, checksum(r + kRecordHeaderSize, len, checksum(r, 16)));
    at += len;
  }
  return {};
}

void append_after(std::uint64_t off, const char* p, std::uint64_t len, std::vector<unsigned char>& buf) {
  for (std::uint64_t done = 0; done < len;) {
    const std::uint64_t n = std::min(len - done, kMaxRecord);
    const std::size_t rec = buf.size();
    buf.resize(rec + kRecordHeaderSize + 16 + n);
    unsigned char* r = buf.data() + rec;
    put64(r, kAfterMark);
    put64(r + 8, 16 + n);
    put64(r + kRecordHeaderSize, off + done);
    put64(r + kRecordHeaderSize + 8, n);
    std::memcpy(r + kRecordHeaderSize + 16, p + done, n);
    put64(r + 16, checksum(r + kRecordHeaderSize, 16 + n, checksum(r, 16)));
    done += n;
  }
}

Failure read_tail_page(int fd, std::uint64_t page, std::uint64_t old_eof, std::uint64_t end, unsigned char* out) {
  std::memset(out, 0, kPage);
  const std::uint64_t lo = std::max(page * kPage, old_eof), hi = std::min(page * kPage + kPage, end);
  if (lo >= hi) return {};
  const ssize_t r = read_up_to(fd, out + (lo - page * kPage), hi - lo, lo);
  if (r < 0) return os_failure(static_cast<int>(-r), "cannot read the file past its old end");
  return {};
}

std::uint64_t tail_page_digest(const unsigned char* page, std::uint64_t seed, std::uint64_t page_no) {
  return page_digest(page, kPage, seed, page_no);
}

void append_appended(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& pages, std::vector<unsigned char>& buf) {
  constexpr std::size_t per_record = kMaxRecord / kPairSize;
  for (std::size_t done = 0; done < pages.size();) {
    const std::size_t n = std::min(pages.size() - done, per_record);
    const std::size_t rec = buf.size();
    buf.resize(rec + kRecordHeaderSize + n * kPairSize);
    unsigned char* r = buf.data() + rec;
    put64(r, kAppendedMark);
    put64(r + 8, n * kPairSize);
    for (std::size_t i = 0; i < n; ++i) {
      put64(r + kRecordHeaderSize + i * kPairSize, pages[done + i].first);
      put64(r + kRecordHeaderSize + i * kPairSize + 8, pages[done + i].second);
    }
    put64(r + 16, checksum(r + kRecordHeaderSize, n * kPairSize, checksum(r, 16)));
    done += n;
  }
}

void append_extent(std::uint64_t shortest, std::uint64_t longest, std::vector<unsigned char>& buf) {
  const std::size_t rec = buf.size();
  buf.resize(rec + kRecordHeaderSize + kExtentSize);
  unsigned char* r = buf.data() + rec;
  put64(r, kExtentMark);
  put64(r + 8, kExtentSize);
  put64(r + kRecordHeaderSize, shortest);
  put64(r + kRecordHeaderSize + 8, longest);
  put64(r + 16, checksum(r + kRecordHeaderSize, kExtentSize, checksum(r, 16)));
}

Failure recover_with(int fd, const std::string& path, const std::string& jpath, bool may_write, Found& found, std::string& notice) {
  found = Found::nothing;
  int err = 0;
  std::string odd;
  const util::Fd journal = open_control(jpath, O_RDONLY, err, odd);
  if (!journal.valid()) {
    if (err == ENOENT) return {};
    if (!odd.empty()) {
      // Not ours to touch (a link could point anywhere); the file is judged
      // by its own bytes, and a writer will refuse to journal over it.
      found = Found::left_alone;
      notice = fmt::format("'{}' is {}, not a journal: left alone; '{}' is judged by its own bytes", jpath, odd, path);
      return {};
    }
    return os_failure(err, fmt::format("cannot read the journal '{}'", jpath));
  }
  const int jfd = journal.get();
  Parsed parsed;
  if (Failure f = parse(jfd, fd, false, parsed)) {
    f.what += fmt::format(" '{}'", jpath);
    return f;
  }
  switch (parsed.verdict) {
    case Verdict::damaged:
      return damaged_journal(path, jpath);
    case Verdict::belongs:
      if (!may_write) {
        found = Found::needs_write;
        return {};
      }
      if (Failure f = play(jfd, fd, parsed, path)) return f;
      found = Found::played;
      return unlink_journal(path, jpath);
    case Verdict::torn_header:
      found = Found::removed;
      return unlink_journal(path, jpath);
    case Verdict::not_journal:
    case Verdict::foreign: {
      const std::string aside = set_aside_path(jpath);
      const char* what = parsed.verdict == Verdict::foreign ? "belongs to another file" : "is not a journal";
      if (::rename(jpath.c_str(), aside.c_str()) == 0) {
        found = Found::set_aside;
        notice = fmt::format("the journal '{}' {}: not played, set aside as '{}' (the file's next update removes it after 30 days)",
                             jpath, what, aside);
      } else {
        found = Found::left_alone;
        notice = fmt::format("the journal '{}' {}: not played, left in place ({})", jpath, what, std::strerror(errno));
      }
      return {};
    }
  }
  return {};
}

Failure roll_back_own(int jfd, int fd, const std::string& path, const std::string& jpath) {
  Parsed parsed;
  if (Failure f = parse(jfd, fd, true, parsed)) {
    f.what += fmt::format(" '{}'", jpath);
    return f;
  }
  if (parsed.verdict == Verdict::torn_header) return unlink_journal(path, jpath);  // nothing written yet
  if (parsed.verdict != Verdict::belongs) return damaged_journal(path, jpath);
  if (Failure f = play(jfd, fd, parsed, path)) return f;
  return unlink_journal(path, jpath);
}

Failure remove_control(const std::string& path, std::string& notice) {
  const std::string odd = odd_entry(path);
  if (!odd.empty()) {
    notice = fmt::format("'{}' is {}, not a journal: left alone", path, odd);
    return {};
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return os_failure(errno, fmt::format("cannot remove '{}'", path));
  return {};
}

}  // namespace detail
}  // namespace h5::journal
