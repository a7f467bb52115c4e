#include "h5/journal.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include <fmt/format.h>

namespace h5::journal {

// ---------------------------------------------------------------------------
// On-disk journal layout (all integers little-endian, as on every machine we
// run on; the journal never leaves the machine that wrote it):
//   header  40 bytes: magic "TBH5JNL1", old EOF (u64), device and inode
//                     of the file (u64 each), checksum of the first 32 bytes
//   record  24 bytes: offset (u64), length (u64), checksum of offset, length
//                     and the saved bytes (u64); then `length` saved bytes
// A record is appended in one write, and the file is only written after it
// completed, so at most the last record can be torn (cut short by a kill or
// a failed write); its range of the file was never touched and it is
// skipped. A complete record that fails its checksum means the journal
// itself was damaged: we stop and report rather than guess.
// ---------------------------------------------------------------------------

namespace {

constexpr char kMagic[8] = {'T', 'B', 'H', '5', 'J', 'N', 'L', '1'};
constexpr std::size_t kHeaderSize = 40;
constexpr std::size_t kRecordHeaderSize = 24;
// Saved ranges start and end on page boundaries (clipped to the old EOF):
// HDF5 rewrites small metadata pieces, often side by side, and whole pages
// keep the journal to few records and the saved-range map short.
constexpr std::uint64_t kPage = 4096;
// Large overwrites are saved in pieces, so memory stays bounded.
constexpr std::uint64_t kMaxRecord = 1 << 20;
// Same bound as HDF5's own POSIX driver: addresses fit a signed off_t.
constexpr haddr_t kMaxAddr = (static_cast<haddr_t>(1) << (8 * sizeof(off_t) - 1)) - 1;

bool g_durable = false;
// The most a journaled open keeps in memory before writing out.
std::size_t g_max_pending = 8 << 20;

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

// ---- small helpers ----

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

// An error on its way to HDF5's error stack or to a Session's Outcome.
struct Failure {
  int err = 0;           // errno, 0 when the bytes are wrong rather than the system call
  std::string what;      // empty: no failure
  explicit operator bool() const { return !what.empty(); }
};

Failure os_failure(int err, std::string what) { return Failure{err, std::move(what)}; }

// Writes all of `n` bytes at `off`; returns 0 or the errno.
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

// Reads up to `n` bytes at `off`; returns the count read (short at end of
// file) or -errno.
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

std::string folder_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void sync_folder(const std::string& path) {
  const int d = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d < 0) return;
  ::fsync(d);
  ::close(d);
}

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

// Takes the file's lock without waiting: exclusive for writers, shared for
// readers, as HDF5's own POSIX driver does.
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

Failure damaged_journal(const std::string& path, const std::string& jpath) {
  return Failure{0, fmt::format("the journal '{}' of '{}' is damaged; the file may hold a partial update", jpath, path)};
}

// Reads a journal's header and tells whether it is to be played on the file
// open as `fd`: not when its writer died before finishing the header (the
// file was not touched yet), nor when it was written for another file that
// has since been replaced under the same name (a rebuilt file renamed over
// the old one): its saved bytes belong to a file that is gone.
Failure read_header(int jfd, int fd, const std::string& path, const std::string& jpath, bool& play, std::uint64_t& old_eof) {
  play = false;
  unsigned char head[kHeaderSize];
  const ssize_t hn = read_up_to(jfd, head, kHeaderSize, 0);
  if (hn < 0) return os_failure(static_cast<int>(-hn), fmt::format("cannot read the journal '{}'", jpath));
  if (static_cast<std::size_t>(hn) < kHeaderSize) return {};
  if (std::memcmp(head, kMagic, 8) != 0 || get64(head + 32) != checksum(head, 32)) return damaged_journal(path, jpath);
  struct stat st{};
  if (::fstat(fd, &st) != 0) return os_failure(errno, fmt::format("cannot stat '{}'", path));
  old_eof = get64(head + 8);
  play = get64(head + 16) == static_cast<std::uint64_t>(st.st_dev) && get64(head + 24) == static_cast<std::uint64_t>(st.st_ino);
  return {};
}

// Puts back what a journal saved and cuts the file to its old EOF, then
// removes the journal. `fd` is open for writing and the caller holds the
// exclusive lock. Repeating it after an interruption gives the same result,
// since the journal goes only once the file is whole again.
Failure roll_back(int fd, const std::string& path, const std::string& jpath) {
  const int jfd = ::open(jpath.c_str(), O_RDONLY | O_CLOEXEC);
  if (jfd < 0) {
    if (errno == ENOENT) return {};
    return os_failure(errno, fmt::format("cannot read the journal '{}'", jpath));
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{jfd};

  bool play = false;
  std::uint64_t old_eof = 0;
  if (Failure f = read_header(jfd, fd, path, jpath, play, old_eof)) return f;
  if (play) {
    std::uint64_t at = kHeaderSize;
    std::vector<unsigned char> buf;
    for (;;) {
      unsigned char rh[kRecordHeaderSize];
      const ssize_t rn = read_up_to(jfd, rh, kRecordHeaderSize, at);
      if (rn < 0) return os_failure(static_cast<int>(-rn), fmt::format("cannot read the journal '{}'", jpath));
      if (static_cast<std::size_t>(rn) < kRecordHeaderSize) break;  // end, or a torn record
      const std::uint64_t off = get64(rh), len = get64(rh + 8);
      // A record header is written whole with its record, so even a torn
      // record has a sane one; nonsense means the journal was damaged.
      if (len == 0 || len > kMaxRecord || off > old_eof || len > old_eof - off) return damaged_journal(path, jpath);
      buf.resize(len);
      const ssize_t dn = read_up_to(jfd, buf.data(), len, at + kRecordHeaderSize);
      if (dn < 0) return os_failure(static_cast<int>(-dn), fmt::format("cannot read the journal '{}'", jpath));
      if (static_cast<std::uint64_t>(dn) < len) break;  // torn: its range was never written
      if (get64(rh + 16) != checksum(buf.data(), len, checksum(rh, 16))) return damaged_journal(path, jpath);
      if (const int e = write_all(fd, buf.data(), len, off))
        return os_failure(e, fmt::format("cannot roll back '{}'", path));
      at += kRecordHeaderSize + len;
    }
    if (const int e = truncate_to(fd, old_eof)) return os_failure(e, fmt::format("cannot roll back '{}'", path));
    if (g_durable && ::fsync(fd) != 0) return os_failure(errno, fmt::format("cannot roll back '{}'", path));
  }
  if (::unlink(jpath.c_str()) != 0 && errno != ENOENT)
    return os_failure(errno, fmt::format("cannot remove the journal '{}'", jpath));
  if (g_durable) sync_folder(path);
  return {};
}

bool exists(const std::string& p) {
  struct stat st{};
  return ::lstat(p.c_str(), &st) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// One open file
// ---------------------------------------------------------------------------

struct State {
  std::string path, jpath;
  int fd = -1;
  bool writable = false;
  bool journaled = false;     // writable and the file existed
  bool owned = false;         // a Session decides commit or rollback
  bool hdf5_closed = false;
  bool finished = false;
  bool locked = false;        // the file lock is held,
  bool exclusive = false;     // exclusive (or shared)
  dev_t dev = 0;
  ino_t ino = 0;
  haddr_t eoa = 0;
  haddr_t eof = 0;            // the length HDF5 sees
  haddr_t old_eof = 0;        // the length at open
  std::uint64_t disk_size = 0;
  // The journal, made on the first write that reaches the disk.
  int jfd = -1;
  std::uint64_t jend = 0;
  bool jsynced = true;
  std::map<std::uint64_t, std::uint64_t> saved;  // start -> end, disjoint, of [0, old_eof)
  // Writes of a journaled open wait here until the file is closed (or they
  // pass the limit, g_max_pending). Many are undone before then: HDF5
  // marks the superblock "open for writing" at open and unmarks it at
  // close, so an open that changes nothing writes nothing, and needs no
  // journal, if only final bytes that differ from the disk are written.
  // Extents are disjoint; reads see them over the disk, whose bytes from
  // `disk_valid_end` on read as zeros (cut by a truncation not done yet).
  std::map<std::uint64_t, std::string> pending;
  std::size_t pending_bytes = 0;
  std::uint64_t disk_valid_end = 0;
  // Set after the first failed write (or truncation), or when the owner
  // abandons the update: from then on nothing reaches the disk and writes
  // stay in `pending`, so HDF5's view stays consistent and its close runs
  // to the end. HDF5 1.10 does not survive a close that fails on a write
  // (a dataset whose close failed is freed but keeps its id, and closing
  // that id again crashes), so the driver never reports write failures to
  // HDF5; the owner reads them (write_failure) and rolls back.
  bool hold = false;
  bool failed = false;
  int failed_errno = 0;
  std::string failed_what;
  Outcome outcome;

  ~State() {
    if (jfd >= 0) ::close(jfd);
    if (fd >= 0) ::close(fd);
  }
};

namespace {

struct Config {
  Session* session;
};

struct JFile {
  H5FD_t pub;  // first: HDF5 sees a pointer to this
  std::shared_ptr<State> st;
};

State& state_of(H5FD_t* f) { return *reinterpret_cast<JFile*>(f)->st; }
const State& state_of(const H5FD_t* f) { return *reinterpret_cast<const JFile*>(f)->st; }

// Puts a failure on HDF5's error stack. The errno goes into the text as
// "errno = N", where h5::throw_from_stack looks for it; a lock failure also
// gets the minor code HDF5 uses for it.
void push(const char* func, hid_t minor, const Failure& f) {
  const std::string desc = f.err != 0 ? fmt::format("{}, errno = {}, error message = '{}'", f.what, f.err, std::strerror(f.err))
                                      : f.what;
  H5Epush2(H5E_DEFAULT, __FILE__, func, __LINE__, H5E_ERR_CLS, H5E_VFL, minor, "%s", desc.c_str());
}

// Records [a, b) as saved, merged with the saved ranges it touches.
void add_saved(std::map<std::uint64_t, std::uint64_t>& saved, std::uint64_t a, std::uint64_t b) {
  auto next = saved.lower_bound(a);
  if (next != saved.begin() && std::prev(next)->second >= a) {
    --next;
    a = next->first;
    b = std::max(b, next->second);
    next = saved.erase(next);
  }
  while (next != saved.end() && next->first <= b) {
    b = std::max(b, next->second);
    next = saved.erase(next);
  }
  saved.emplace(a, b);
}

// Before the file changes in `ranges` (and, for a truncation, from `cut`
// to the old EOF), appends to the journal, in one write, the original bytes
// of what the old EOF holds there and is not saved yet; the journal (and
// its header) is made by the first call. Every byte below the old EOF that
// is not saved yet is still the original one.
Failure journal(State& s, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges, std::uint64_t cut) {
  std::map<std::uint64_t, std::uint64_t> saved = s.saved;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> gaps;
  auto plan = [&](std::uint64_t a, std::uint64_t b) {
    a -= a % kPage;
    b = std::min<std::uint64_t>(b + (kPage - b % kPage) % kPage, s.old_eof);
    if (a >= b) return;
    auto it = saved.upper_bound(a);
    if (it != saved.begin() && std::prev(it)->second > a) --it;
    for (std::uint64_t at = a; at < b; ++it) {
      if (it == saved.end() || it->first >= b) {
        gaps.emplace_back(at, b);
        break;
      }
      if (it->first > at) gaps.emplace_back(at, it->first);
      at = std::max(at, it->second);
    }
    add_saved(saved, a, b);
  };
  for (const auto& [a, b] : ranges) plan(a, b);
  if (cut < s.old_eof) plan(cut, s.old_eof);
  if (gaps.empty() && s.jfd >= 0) return {};

  std::vector<unsigned char> buf;
  const bool fresh = s.jfd < 0;
  if (fresh) {
    buf.resize(kHeaderSize);
    std::memcpy(buf.data(), kMagic, 8);
    put64(buf.data() + 8, s.old_eof);
    put64(buf.data() + 16, static_cast<std::uint64_t>(s.dev));
    put64(buf.data() + 24, static_cast<std::uint64_t>(s.ino));
    put64(buf.data() + 32, checksum(buf.data(), 32));
  }
  for (auto [g0, g1] : gaps) {
    for (std::uint64_t at = g0; at < g1;) {
      const std::uint64_t len = std::min(g1 - at, kMaxRecord);
      const std::size_t rec = buf.size();
      buf.resize(rec + kRecordHeaderSize + len);
      unsigned char* r = buf.data() + rec;
      const ssize_t n = read_up_to(s.fd, r + kRecordHeaderSize, len, at);
      if (n < 0) return os_failure(static_cast<int>(-n), fmt::format("cannot read '{}' to journal it", s.path));
      if (static_cast<std::uint64_t>(n) != len) return os_failure(EIO, fmt::format("'{}' is shorter than when it was opened", s.path));
      put64(r, at);
      put64(r + 8, len);
      put64(r + 16, checksum(r + kRecordHeaderSize, len, checksum(r, 16)));
      at += len;
    }
  }
  if (fresh) {
    s.jfd = ::open(s.jpath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (s.jfd < 0) return os_failure(errno, fmt::format("cannot create the journal '{}'", s.jpath));
  }
  if (const int e = write_all(s.jfd, buf.data(), buf.size(), s.jend))
    return os_failure(e, fmt::format("cannot write the journal '{}'", s.jpath));
  s.jend += buf.size();
  s.saved = std::move(saved);
  if (g_durable) {
    if (::fsync(s.jfd) != 0) return os_failure(errno, fmt::format("cannot sync the journal '{}'", s.jpath));
    if (fresh) sync_folder(s.jpath);
  }
  return {};
}

// Stops all disk writes of this open after `f`, the first failure.
void detach(State& s, const Failure& f) {
  s.hold = true;
  if (s.failed) return;
  s.failed = true;
  s.failed_errno = f.err;
  s.failed_what = f.what;
}

// Keeps a write in memory. Rewrites of one range (metadata) replace their
// extent; sequential writes (chunks) stay separate extents, so no write
// copies more than what overlaps it.
void pend(State& s, std::uint64_t addr, const void* buf, std::size_t size) {
  const char* p = static_cast<const char*>(buf);
  const std::uint64_t end = addr + size;
  auto it = s.pending.upper_bound(addr);
  if (it != s.pending.begin() && std::prev(it)->first + std::prev(it)->second.size() > addr) --it;
  if (it != s.pending.end() && it->first == addr && it->second.size() == size) {
    std::memcpy(it->second.data(), p, size);
  } else if (it == s.pending.end() || it->first >= end) {
    s.pending.emplace_hint(it, addr, std::string(p, size));
    s.pending_bytes += size;
  } else {
    // Overlapping extents merge into one: the old bytes, the new on top.
    const std::uint64_t lo = std::min<std::uint64_t>(it->first, addr);
    std::uint64_t hi = end;
    auto last = it;
    for (; last != s.pending.end() && last->first < end; ++last) hi = std::max<std::uint64_t>(hi, last->first + last->second.size());
    std::string merged(hi - lo, '\0');
    for (auto e = it; e != last; ++e) {
      std::memcpy(merged.data() + (e->first - lo), e->second.data(), e->second.size());
      s.pending_bytes -= e->second.size();
    }
    std::memcpy(merged.data() + (addr - lo), p, size);
    s.pending.erase(it, last);
    s.pending.emplace(lo, std::move(merged));
    s.pending_bytes += hi - lo;
  }
  s.eof = std::max<haddr_t>(s.eof, end);
}

void pend_truncate(State& s, std::uint64_t len) {
  auto it = s.pending.lower_bound(len);
  for (auto e = it; e != s.pending.end(); ++e) s.pending_bytes -= e->second.size();
  s.pending.erase(it, s.pending.end());
  if (!s.pending.empty()) {
    auto& [at, bytes] = *s.pending.rbegin();
    if (at + bytes.size() > len) {
      s.pending_bytes -= at + bytes.size() - len;
      bytes.resize(len - at);
    }
  }
  s.disk_valid_end = std::min<std::uint64_t>(s.disk_valid_end, len);
  s.eof = len;
}

// Writes [a, b) of the file from `p`; journaling is the caller's.
Failure put(State& s, std::uint64_t a, std::uint64_t b, const char* p) {
  if (const int e = write_all(s.fd, p, b - a, a)) return os_failure(e, fmt::format("cannot write '{}' (addr = {}, size = {})", s.path, a, b - a));
  s.disk_size = std::max<std::uint64_t>(s.disk_size, b);
  return {};
}

Failure resize_disk(State& s, std::uint64_t len) {
  if (const int e = truncate_to(s.fd, len)) return os_failure(e, fmt::format("cannot truncate '{}' to {} bytes", s.path, len));
  s.disk_size = len;
  return {};
}

// Puts what waits in memory on the disk: first the journal, in one write,
// then the file. Bytes the disk already holds are not written (nor saved).
// On failure the open is detached (see State::hold).
Failure write_out(State& s) {
  if (s.hold) return {};
  struct Piece {
    std::uint64_t a, b;
    const char* p;
  };
  std::vector<Piece> pieces;
  const std::uint64_t cut = s.disk_valid_end < s.disk_size ? s.disk_valid_end : UINT64_MAX;
  const std::uint64_t kept = std::min<std::uint64_t>(s.disk_size, s.disk_valid_end);  // disk bytes that stay
  std::string disk;
  Failure f;
  for (const auto& [at, bytes] : s.pending) {
    const std::uint64_t end = at + bytes.size();
    const char* p = bytes.data();
    std::uint64_t from = at;
    if (at < kept) {
      // Only the pages that change are written.
      const std::uint64_t same_end = std::min(end, kept);
      disk.resize(same_end - at);
      const ssize_t r = read_up_to(s.fd, disk.data(), disk.size(), at);
      if (r < 0) {
        f = os_failure(static_cast<int>(-r), fmt::format("cannot read '{}'", s.path));
        break;
      }
      std::uint64_t run = UINT64_MAX;  // start of a run of changed pages
      for (std::uint64_t pg = at; pg < same_end;) {
        const std::uint64_t pg_end = std::min(same_end, pg - pg % kPage + kPage);
        const bool same = static_cast<std::uint64_t>(r) >= pg_end - at && std::memcmp(p + (pg - at), disk.data() + (pg - at), pg_end - pg) == 0;
        if (!same && run == UINT64_MAX) run = pg;
        if (same && run != UINT64_MAX) {
          pieces.push_back({run, pg, p + (run - at)});
          run = UINT64_MAX;
        }
        pg = pg_end;
      }
      from = run == UINT64_MAX ? same_end : run;
    }
    if (from < end) pieces.push_back({from, end, p + (from - at)});
  }
  const bool grows = std::max<std::uint64_t>(kept, pieces.empty() ? 0 : pieces.back().b) < s.eof;
  if (!f && (!pieces.empty() || cut != UINT64_MAX || grows)) {
    if (s.journaled) {
      std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
      for (const Piece& x : pieces) ranges.emplace_back(x.a, x.b);
      f = journal(s, ranges, cut);
    }
    if (!f && cut != UINT64_MAX) f = resize_disk(s, cut);
    for (const Piece& x : pieces) {
      if (f) break;
      f = put(s, x.a, x.b, x.p);
    }
    if (!f && s.disk_size < s.eof) f = resize_disk(s, s.eof);  // HDF5 extended the file to its EOA
  }
  if (f) {
    detach(s, f);
    return f;
  }
  s.pending.clear();
  s.pending_bytes = 0;
  s.disk_valid_end = s.disk_size;
  return {};
}

Outcome finish_state(State& s, bool commit) {
  if (s.finished) return s.outcome;
  s.finished = true;
  Outcome o;
  if (s.fd < 0) return s.outcome = o;
  if (commit && s.journaled) write_out(s);
  if (s.failed) {
    commit = false;
    o = {false, false, s.failed_errno, s.failed_what};
  }
  s.pending.clear();
  if (!s.journaled) {
    // Read-only, or a file this open created: nothing to keep or undo.
    if (commit && s.writable && g_durable && ::fsync(s.fd) != 0) o = {false, false, errno, fmt::format("cannot sync '{}'", s.path)};
  } else if (commit) {
    if (s.jfd >= 0) {
      Failure f;
      if (g_durable && ::fsync(s.fd) != 0) f = os_failure(errno, fmt::format("cannot sync '{}'", s.path));
      ::close(s.jfd);
      s.jfd = -1;
      if (!f && ::unlink(s.jpath.c_str()) != 0) f = os_failure(errno, fmt::format("cannot remove the journal '{}'", s.jpath));
      if (!f && g_durable) sync_folder(s.path);
      if (f) {
        // Not committed: put the file back as it was, so what is on disk
        // agrees with the failure the caller is told about.
        o = {false, false, f.err, f.what};
        const Failure r = roll_back(s.fd, s.path, s.jpath);
        o.rolled_back = !r;
        if (r) o.message += fmt::format("; rolling back failed too ({}), the next open will retry", r.what);
      }
    }
  } else if (s.journaled) {
    if (o.message.empty()) o.message = fmt::format("the update of '{}' was abandoned", s.path);
    o.ok = false;
    if (s.jfd >= 0) {
      ::close(s.jfd);
      s.jfd = -1;
      const Failure r = roll_back(s.fd, s.path, s.jpath);
      o.rolled_back = !r;
      if (r) {
        o.message += fmt::format("; rolling back failed ({}), the next open will retry", r.what);
        if (o.os_errno == 0) o.os_errno = r.err;
      }
    } else {
      o.rolled_back = true;  // nothing was written
    }
  }
  ::close(s.fd);  // releases the lock
  s.fd = -1;
  return s.outcome = o;
}

// Rolls back a hot journal of a file we hold locked. A writable open fixes
// it in place; a read-only open needs another descriptor that can write and
// the lock made exclusive for the while.
Failure recover(State& s) {
  if (!exists(s.jpath)) return {};
  if (s.writable) return roll_back(s.fd, s.path, s.jpath);
  {
    // A journal with nothing to play (see read_header) needs no write
    // access: the file is whole; remove the journal if we may.
    const int jfd = ::open(s.jpath.c_str(), O_RDONLY | O_CLOEXEC);
    if (jfd < 0) return errno == ENOENT ? Failure{} : os_failure(errno, fmt::format("cannot read the journal '{}'", s.jpath));
    bool play = false;
    std::uint64_t old_eof = 0;
    const Failure f = read_header(jfd, s.fd, s.path, s.jpath, play, old_eof);
    ::close(jfd);
    if (f) return f;
    if (!play) {
      ::unlink(s.jpath.c_str());
      return {};
    }
  }
  const int wfd = ::open(s.path.c_str(), O_RDWR | O_CLOEXEC);
  if (wfd < 0)
    return Failure{0, fmt::format("'{}' has an unfinished update (journal '{}') that needs write access to roll back ({})",
                                  s.path, s.jpath, std::strerror(errno))};
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{wfd};
  if (const int e = take_lock(s.fd, true))
    return os_failure(e, fmt::format("unable to lock '{}' to roll back its unfinished update", s.path));
  if (Failure f = roll_back(wfd, s.path, s.jpath)) {
    if (f.err == EACCES || f.err == EPERM || f.err == EROFS)
      return Failure{0, fmt::format("'{}' has an unfinished update (journal '{}') that cannot be rolled back: {} ({})", s.path,
                                    s.jpath, f.what, std::strerror(f.err))};
    return f;
  }
  if (const int e = take_lock(s.fd, false)) return os_failure(e, fmt::format("unable to lock '{}'", s.path));
  return {};
}

// ---- driver callbacks ----

H5FD_t* j_open(const char* name, unsigned flags, hid_t fapl, haddr_t maxaddr) {
  if (!name || !*name) {
    push(__func__, H5E_BADVALUE, Failure{0, "invalid file name"});
    return nullptr;
  }
  if (maxaddr == 0 || (maxaddr != HADDR_UNDEF && maxaddr > kMaxAddr)) {
    push(__func__, H5E_OVERFLOW, Failure{0, "bogus maxaddr"});
    return nullptr;
  }
  const auto* cfg = fapl >= 0 && fapl != H5P_DEFAULT ? static_cast<const Config*>(H5Pget_driver_info(fapl)) : nullptr;
  Session* session = cfg ? cfg->session : nullptr;
  if (session && session->state_) {
    // HDF5 opens a file it is about to create once without the create
    // flags first, and closes it again before the real open: let that first
    // open go (it wrote nothing) before taking the lock again.
    if (!session->state_->hdf5_closed) {
      push(__func__, H5E_CANTOPENFILE, Failure{0, "the session already has an open file"});
      return nullptr;
    }
    finish_state(*session->state_, true);
    session->state_.reset();
  }

  auto st = std::make_shared<State>();
  State& s = *st;
  s.path = name;
  s.jpath = journal_path(name);
  s.writable = (flags & H5F_ACC_RDWR) != 0;
  int oflags = (s.writable ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  if (flags & H5F_ACC_CREAT) oflags |= O_CREAT;
  if (flags & H5F_ACC_EXCL) oflags |= O_EXCL;
  // No O_TRUNC: a file held by another process must not be cut before we
  // know we may have it; truncation waits for the lock below.
  s.fd = ::open(name, oflags, 0666);
  if (s.fd < 0) {
    push(__func__, H5E_CANTOPENFILE, os_failure(errno, fmt::format("unable to open file: name = '{}', flags = {:#x}", name, flags)));
    return nullptr;
  }
  if (const int e = take_lock(s.fd, s.writable)) {
    push(__func__, H5E_CANTLOCKFILE, os_failure(e, "unable to lock file"));
    return nullptr;
  }
  s.locked = true;
  s.exclusive = s.writable;
  const bool created = (flags & (H5F_ACC_TRUNC | H5F_ACC_EXCL)) != 0;
  if (created) {
    // A journal left by an earlier file of this name describes bytes that
    // are gone: it must never be played onto the new file.
    if ((flags & H5F_ACC_TRUNC) != 0) {
      if (const int e = truncate_to(s.fd, 0)) {
        push(__func__, H5E_CANTOPENFILE, os_failure(e, fmt::format("unable to truncate '{}'", name)));
        return nullptr;
      }
    }
    if (::unlink(s.jpath.c_str()) != 0 && errno != ENOENT) {
      push(__func__, H5E_CANTOPENFILE, os_failure(errno, fmt::format("cannot remove the stale journal '{}'", s.jpath)));
      return nullptr;
    }
  } else if (Failure f = recover(s)) {
    const bool lock = f.err == EAGAIN;
    push(__func__, lock ? H5E_CANTLOCKFILE : H5E_CANTOPENFILE, f);
    return nullptr;
  }
  struct stat sb{};
  if (::fstat(s.fd, &sb) != 0) {
    push(__func__, H5E_BADFILE, os_failure(errno, "unable to fstat file"));
    return nullptr;
  }
  s.dev = sb.st_dev;
  s.ino = sb.st_ino;
  s.eof = s.old_eof = static_cast<haddr_t>(sb.st_size);
  s.disk_size = s.disk_valid_end = s.eof;
  s.journaled = s.writable && !created;

  if (session) {
    session->state_ = st;
    s.owned = true;
  }
  auto* f = new JFile{};
  f->st = std::move(st);
  return &f->pub;
}

herr_t j_close(H5FD_t* file) {
  auto* jf = reinterpret_cast<JFile*>(file);
  std::shared_ptr<State> st = std::move(jf->st);
  delete jf;
  st->hdf5_closed = true;
  if (st->owned) return 0;  // the session finishes it
  const Outcome o = finish_state(*st, true);
  if (!o.ok) {
    push(__func__, H5E_CANTCLOSEFILE, Failure{o.os_errno, o.message});
    return -1;
  }
  return 0;
}

int j_cmp(const H5FD_t* a, const H5FD_t* b) {
  const State& x = state_of(a);
  const State& y = state_of(b);
  if (x.dev != y.dev) return x.dev < y.dev ? -1 : 1;
  if (x.ino != y.ino) return x.ino < y.ino ? -1 : 1;
  // Two opens of one file are never merged into one: each holds its own
  // lock and journal, and a file left behind by a failed close must not be
  // picked up again by the next open.
  if (&x != &y) return std::less<const State*>()(&x, &y) ? -1 : 1;
  return 0;
}

herr_t j_query(const H5FD_t*, unsigned long* flags) {
  if (flags)
    *flags = H5FD_FEAT_AGGREGATE_METADATA | H5FD_FEAT_ACCUMULATE_METADATA | H5FD_FEAT_DATA_SIEVE |
             H5FD_FEAT_AGGREGATE_SMALLDATA | H5FD_FEAT_POSIX_COMPAT_HANDLE | H5FD_FEAT_DEFAULT_VFD_COMPATIBLE;
  return 0;
}

haddr_t j_get_eoa(const H5FD_t* f, H5FD_mem_t) { return state_of(f).eoa; }

herr_t j_set_eoa(H5FD_t* f, H5FD_mem_t, haddr_t addr) {
  state_of(f).eoa = addr;
  return 0;
}

haddr_t j_get_eof(const H5FD_t* f, H5FD_mem_t) { return state_of(f).eof; }

herr_t j_get_handle(H5FD_t* f, hid_t, void** handle) {
  if (!handle) return -1;
  *handle = &state_of(f).fd;
  return 0;
}

bool bad_region(haddr_t addr, std::size_t size) {
  return addr == HADDR_UNDEF || addr > kMaxAddr || size > kMaxAddr || addr + size > kMaxAddr;
}

herr_t j_read(H5FD_t* f, H5FD_mem_t, hid_t, haddr_t addr, std::size_t size, void* buf) {
  State& s = state_of(f);
  if (bad_region(addr, size) || addr + size > s.eoa) {
    push(__func__, H5E_OVERFLOW, Failure{0, fmt::format("addr overflow, addr = {}, size = {}, eoa = {}", addr, size, s.eoa)});
    return -1;
  }
  if (s.fd < 0) {
    push(__func__, H5E_READERROR, os_failure(EBADF, fmt::format("'{}' is closed", s.path)));
    return -1;
  }
  const ssize_t r = read_up_to(s.fd, buf, size, addr);
  if (r < 0) {
    push(__func__, H5E_READERROR, os_failure(static_cast<int>(-r), fmt::format("file read failed: addr = {}, size = {}", addr, size)));
    return -1;
  }
  // Past the end of the file reads as zeros, as in HDF5's own drivers; so
  // does what a truncation waiting in memory cut.
  std::uint64_t valid = static_cast<std::uint64_t>(r);
  if (addr >= s.disk_valid_end) valid = 0;
  else valid = std::min<std::uint64_t>(valid, s.disk_valid_end - addr);
  char* out = static_cast<char*>(buf);
  if (valid < size) std::memset(out + valid, 0, size - valid);
  // Writes waiting in memory lie over the disk.
  const std::uint64_t end = addr + size;
  auto it = s.pending.upper_bound(addr);
  if (it != s.pending.begin()) --it;
  for (; it != s.pending.end() && it->first < end; ++it) {
    const std::uint64_t lo = std::max<std::uint64_t>(it->first, addr), hi = std::min<std::uint64_t>(it->first + it->second.size(), end);
    if (lo < hi) std::memcpy(out + (lo - addr), it->second.data() + (lo - it->first), hi - lo);
  }
  return 0;
}


herr_t j_write(H5FD_t* f, H5FD_mem_t, hid_t, haddr_t addr, std::size_t size, const void* buf) {
  State& s = state_of(f);
  if (bad_region(addr, size) || addr + size > s.eoa) {
    push(__func__, H5E_OVERFLOW, Failure{0, fmt::format("addr overflow, addr = {}, size = {}, eoa = {}", addr, size, s.eoa)});
    return -1;
  }
  if (s.fd < 0) detach(s, os_failure(EBADF, fmt::format("'{}' was written after it was closed", s.path)));
  if (s.journaled || s.hold) {
    pend(s, addr, buf, size);
    if (s.pending_bytes > g_max_pending) write_out(s);
    return 0;
  }
  // A file this open created: straight to the disk.
  if (Failure fl = put(s, addr, addr + size, static_cast<const char*>(buf))) {
    detach(s, fl);
    pend(s, addr, buf, size);
    return 0;
  }
  s.eof = std::max<haddr_t>(s.eof, addr + size);
  return 0;
}

herr_t j_truncate(H5FD_t* f, hid_t, hbool_t) {
  State& s = state_of(f);
  if (s.eoa == s.eof) return 0;
  if (s.fd < 0) detach(s, os_failure(EBADF, fmt::format("'{}' was written after it was closed", s.path)));
  if (s.journaled || s.hold) {
    pend_truncate(s, s.eoa);
    return 0;
  }
  if (Failure fl = resize_disk(s, s.eoa)) {
    detach(s, fl);
    pend_truncate(s, s.eoa);
    return 0;
  }
  s.eof = s.eoa;
  s.disk_valid_end = s.disk_size;
  return 0;
}

herr_t j_lock(H5FD_t* f, hbool_t rw) {
  State& s = state_of(f);
  // The open took the lock already (before looking for a journal); a
  // writer's is exclusive from open to finish and is never weakened.
  if (s.locked && (s.exclusive || !rw)) return 0;
  const bool exclusive = rw || s.writable;
  if (const int e = take_lock(s.fd, exclusive)) {
    push(__func__, H5E_CANTLOCKFILE, os_failure(e, "unable to lock file"));
    return -1;
  }
  s.locked = true;
  s.exclusive = exclusive;
  return 0;
}

herr_t j_unlock(H5FD_t* f) {
  State& s = state_of(f);
  // A writer keeps its lock until commit or rollback: without it, its
  // journal would look hot to the next opener.
  if (s.writable || s.fd < 0) return 0;
  if (::flock(s.fd, LOCK_UN) != 0) {
    push(__func__, H5E_CANTUNLOCKFILE, os_failure(errno, "unable to unlock file"));
    return -1;
  }
  s.locked = false;
  return 0;
}

H5FD_class_t make_class() {
  H5FD_class_t c{};
  c.name = "tb_journal";
  c.maxaddr = kMaxAddr;
  // Closing a file closes what is still open in it, so the close that
  // commits is the last use of the file.
  c.fc_degree = H5F_CLOSE_STRONG;
  c.fapl_size = sizeof(Config);
  c.open = j_open;
  c.close = j_close;
  c.cmp = j_cmp;
  c.query = j_query;
  c.get_eoa = j_get_eoa;
  c.set_eoa = j_set_eoa;
  c.get_eof = j_get_eof;
  c.get_handle = j_get_handle;
  c.read = j_read;
  c.write = j_write;
  // No flush: HDF5 flushes right after marking the superblock at open,
  // and on request; an update is all or nothing, so its writes wait for the
  // close (or past g_max_pending) and the flag set at open and cleared at close
  // never reaches the disk.
  c.truncate = j_truncate;
  c.lock = j_lock;
  c.unlock = j_unlock;
  const H5FD_mem_t map[H5FD_MEM_NTYPES] = H5FD_FLMAP_DICHOTOMY;
  std::copy(std::begin(map), std::end(map), c.fl_map);
  return c;
}

const H5FD_class_t g_class = make_class();

}  // namespace

hid_t driver_id() {
  static const hid_t id = H5FDregister(&g_class);
  return id;
}

namespace {
// Registered when the library loads, so the first open pays nothing.
[[maybe_unused]] const hid_t g_registered = driver_id();
}  // namespace

std::string journal_path(const std::string& file) {
  const auto slash = file.rfind('/');
  if (slash == std::string::npos) return "." + file + ".journal";
  return file.substr(0, slash + 1) + "." + file.substr(slash + 1) + ".journal";
}

// ---- Session ----

Session::Session() = default;

Session::~Session() {
  if (state_ && !state_->finished) finish_state(*state_, false);
}

bool Session::attach(hid_t fapl) {
  const Config cfg{this};
  return driver_id() >= 0 && H5Pset_driver(fapl, driver_id(), &cfg) >= 0;
}

bool Session::opened() const noexcept { return state_ != nullptr; }
bool Session::journaled() const noexcept { return state_ && state_->journaled; }

std::optional<WriteFailure> write_failure(const State& s) {
  if (!s.failed) return std::nullopt;
  return WriteFailure{s.failed_errno, s.failed_what};
}

void Session::discard() noexcept {
  if (state_ && state_->journaled) state_->hold = true;
}

Outcome Session::finish(bool commit) noexcept {
  if (!state_) return {};
  try {
    return finish_state(*state_, commit);
  } catch (...) {  // formatting may throw bad_alloc; the descriptors are closed by ~State
    return Outcome{false, false, ENOMEM, "out of memory while finishing an update"};
  }
}

void set_durable(bool on) noexcept { g_durable = on; }

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
void hold_at_most(std::size_t bytes) noexcept { g_max_pending = bytes; }
void disarm() noexcept {
  g_armed = false;
  g_fail_at = g_crash_at = 0;
}
}  // namespace testing

}  // namespace h5::journal
