// The HDF5 file driver over one open file: plain POSIX I/O, the file lock,
// writes of an update held in memory and put out behind the rollback
// journal. The phases of an open and their changes are drawn in
// journal_internal.hpp.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "h5/journal_internal.hpp"
#include "util/files.hpp"

namespace h5::journal {

using detail::Failure;
using detail::kPage;
using detail::os_failure;

const char* phase_name(Phase p) noexcept {
  switch (p) {
    case Phase::reading: return "reading";
    case Phase::creating: return "creating";
    case Phase::clean: return "clean";
    case Phase::journaled: return "journaled";
    case Phase::held: return "held";
    case Phase::finished: return "finished";
  }
  return "?";
}

namespace detail {
// The most an update keeps in memory before writing out.
std::size_t g_max_pending = 8 << 20;
}  // namespace detail

namespace {

using detail::g_durable;
using detail::g_max_pending;

// Same bound as HDF5's own POSIX driver: addresses fit a signed off_t.
constexpr haddr_t kMaxAddr = (static_cast<haddr_t>(1) << (8 * sizeof(off_t) - 1)) - 1;

using Config = detail::DriverConfig;

struct JFile {
  H5FD_t pub;  // first: HDF5 sees a pointer to this
  std::shared_ptr<State> st;
  int handle = -1;  // the descriptor, for get_handle's callers (an int they may point at)
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

// The check at the top of every callback: HDF5 calling in a phase where the
// call makes no sense is a fault of ours or of HDF5's, refused loudly.
// What each phase implies of the rest of the state (see the drawing in
// journal_internal.hpp), checked with every callback in debug builds.
void assert_state([[maybe_unused]] const State& s) {
#ifndef NDEBUG
  const bool journal = s.jfd.valid();
  switch (s.phase) {
    case Phase::reading: assert(!s.update && !journal && s.pending.empty() && !s.failed); break;
    case Phase::creating: assert(s.exclusive && !s.update && !journal && s.pending.empty()); break;
    case Phase::clean: assert(s.exclusive && s.update && !journal && !s.failed); break;
    case Phase::journaled: assert(s.exclusive && s.update && journal && !s.failed); break;
    case Phase::held: assert(!journal || s.update); break;
    case Phase::finished: assert(s.pending.empty() && !journal); break;
  }
#endif
}

bool expect_phase(const State& s, std::initializer_list<Phase> allowed, const char* func) {
  assert_state(s);
  if (std::find(allowed.begin(), allowed.end(), s.phase) != allowed.end()) return true;
  assert(!"driver callback in a phase that does not allow it");
  push(func, H5E_BADVALUE, Failure{.err = 0, .what = fmt::format("'{}': {} called while {}", s.path, func, phase_name(s.phase))});
  return false;
}

constexpr std::initializer_list<Phase> kOpen = {Phase::reading, Phase::creating, Phase::clean, Phase::journaled, Phase::held};
constexpr std::initializer_list<Phase> kWriting = {Phase::creating, Phase::clean, Phase::journaled, Phase::held};

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

// clean -> journaled: creates the journal, never over anything already at
// its path (a planted link or another writer's journal), with `first`
// (its header and first records) in one write.
// A file with other names (a snapshot made with `cp -al` or `rsync
// --link-dest` shares its inode) is never changed in place: an update would
// change the snapshot too, and a kill in the middle would leave it half
// written with no journal beside it. Under the lock, its bytes are copied to
// a new file of its own, which is locked and renamed over this name; the
// other names keep the old inode and its bytes. A kill before the rename
// leaves a hidden `.<name>.rebuild-<pid>-<random>`, which the next update
// removes as it removes a killed writer's unfinished files.
Failure break_links(State& s) {
  struct stat st{};
  if (::fstat(s.fd.get(), &st) != 0) return os_failure(errno, fmt::format("unable to fstat '{}'", s.path));
  if (st.st_nlink <= 1) return {};
  const std::string temp = util::temp_path_beside(s.path, ".rebuild");
  int err = 0;
  util::Fd copy = detail::create_control(temp, err);
  if (!copy.valid()) return os_failure(err, fmt::format("unable to make a copy of its own of '{}'", s.path));
  const auto give_up = [&](int e, const std::string& what) {
    ::unlink(temp.c_str());
    return os_failure(e, what);
  };
  if (const int e = detail::take_lock(copy.get(), true)) return give_up(e, fmt::format("unable to lock '{}'", temp));
  std::vector<unsigned char> buf(1 << 20);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  for (std::uint64_t at = 0; at < size;) {
    const ssize_t n = detail::read_up_to(s.fd.get(), buf.data(), std::min<std::uint64_t>(buf.size(), size - at), at);
    if (n <= 0) return give_up(n < 0 ? static_cast<int>(-n) : EIO, fmt::format("unable to read '{}' to copy it", s.path));
    if (const int e = detail::write_all(copy.get(), buf.data(), static_cast<std::size_t>(n), at))
      return give_up(e, fmt::format("unable to copy '{}' into '{}'", s.path, temp));
    at += static_cast<std::uint64_t>(n);
  }
  if (::fchmod(copy.get(), st.st_mode & 07777) != 0) return give_up(errno, fmt::format("unable to set the mode of '{}'", temp));
  if (g_durable && ::fsync(copy.get()) != 0) return give_up(errno, fmt::format("unable to sync '{}'", temp));
  if (::rename(temp.c_str(), s.path.c_str()) != 0) return give_up(errno, fmt::format("unable to put a copy in place of '{}'", s.path));
  if (g_durable) util::sync_folder_of(s.path);
  detail::notify(fmt::format("'{}' has {} other name(s) (a hard-linked copy, such as a snapshot): it is updated as a copy of "
                             "its own, and the other names keep their bytes",
                             s.path, st.st_nlink - 1));
  s.fd = std::move(copy);
  struct stat now{};
  if (::fstat(s.fd.get(), &now) == 0) s.dev = now.st_dev, s.ino = now.st_ino;
  return {};
}

Failure begin_journal(State& s, const std::vector<unsigned char>& first) {
  assert(s.phase == Phase::clean);
  detail::remove_old_set_asides(s.jpath, static_cast<std::int64_t>(std::time(nullptr)));
  int err = 0;
  s.jfd = detail::create_control(s.jpath, err);
  if (!s.jfd.valid()) {
    if (err == EEXIST) {
      const std::string odd = detail::odd_entry(s.jpath);
      return os_failure(err, fmt::format("cannot create the journal '{}': {} is in the way; remove it and run again", s.jpath,
                                         odd.empty() ? "a file" : odd));
    }
    return os_failure(err, fmt::format("cannot create the journal '{}'", s.jpath));
  }
  if (const int e = detail::write_all(s.jfd.get(), first.data(), first.size(), 0)) {
    // Never played: the file was not touched. Removed at the rollback.
    s.phase = Phase::journaled;
    return os_failure(e, fmt::format("cannot write the journal '{}'", s.jpath));
  }
  s.jend = first.size();
  s.phase = Phase::journaled;
  if (g_durable) {
    if (::fsync(s.jfd.get()) != 0) return os_failure(errno, fmt::format("cannot sync the journal '{}'", s.jpath));
    util::sync_folder_of(s.jpath);
  }
  return {};
}

// A write of [a, b) from `p`.
struct Written {
  std::uint64_t a, b;
  const char* p;
};

// The digests of the pages past the old EOF that `ranges` write (sorted,
// disjoint), as this batch leaves them: the disk's bytes that stay (below
// `kept`) under the new ones; and, for a cut inside a page there, of that
// page as the cut leaves it, before the writes.
Failure digest_appended(const State& s, const std::vector<Written>& ranges, std::uint64_t cut, std::uint64_t kept,
                        std::vector<std::pair<std::uint64_t, std::uint64_t>>& out) {
  std::vector<unsigned char> page(kPage);
  if (cut != UINT64_MAX && cut > s.old_eof && cut % kPage != 0) {
    if (Failure f = detail::read_tail_page(s.fd.get(), cut / kPage, s.old_eof, cut, page.data())) return f;
    out.emplace_back(cut / kPage, detail::tail_page_digest(page.data(), s.seed, cut / kPage));
  }
  std::size_t first = 0;  // the first range that may reach the page
  std::uint64_t last = UINT64_MAX;
  for (const Written& w : ranges) {
    if (w.b <= s.old_eof) continue;
    for (std::uint64_t p = std::max(w.a, s.old_eof) / kPage; p <= (w.b - 1) / kPage; ++p) {
      if (p == last) continue;  // begun by the range before
      last = p;
      const std::uint64_t lo = std::max(p * kPage, s.old_eof), hi = p * kPage + kPage;
      if (lo == p * kPage && w.a <= lo && w.b >= hi) {
        out.emplace_back(p, detail::tail_page_digest(reinterpret_cast<const unsigned char*>(w.p + (lo - w.a)), s.seed, p));
        continue;
      }
      if (Failure f = detail::read_tail_page(s.fd.get(), p, s.old_eof, kept, page.data())) return f;
      while (ranges[first].b <= lo) ++first;
      for (std::size_t k = first; k < ranges.size() && ranges[k].a < hi; ++k) {
        const std::uint64_t a = std::max(ranges[k].a, lo), b = std::min(ranges[k].b, hi);
        std::memcpy(page.data() + (a - p * kPage), ranges[k].p + (a - ranges[k].a), b - a);
      }
      out.emplace_back(p, detail::tail_page_digest(page.data(), s.seed, p));
    }
  }
  return {};
}

// Before the file changes in `ranges` (and, for a truncation, from `cut`
// to the old EOF) and takes a length up to `eof`, saves in the journal, in
// one write, the original bytes of what the old EOF holds there and is not
// saved yet, and the lengths the file may take. Every byte below the old
// EOF that is not saved yet is still the original one.
Failure save_old_bytes(State& s, const std::vector<Written>& ranges, std::uint64_t cut, std::uint64_t eof) {
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
  for (const auto& w : ranges) plan(w.a, w.b);
  if (cut < s.old_eof) plan(cut, s.old_eof);
  const std::uint64_t shortest = s.phase == Phase::clean ? s.old_eof : s.shortest;
  const std::uint64_t longest = s.phase == Phase::clean ? s.old_eof : s.longest;
  const std::uint64_t new_shortest = std::min(shortest, cut), new_longest = std::max(longest, eof);
  const bool extent = new_shortest != shortest || new_longest != longest;
  if (gaps.empty() && !extent && ranges.empty() && s.phase == Phase::journaled) return {};

  std::vector<unsigned char> buf;
  if (s.phase == Phase::clean) {
    // The first write of the update: from here on the file changes, so it
    // must be a file of its own (an open that writes nothing copies nothing).
    if (Failure f = break_links(s)) return f;
    detail::Header h;
    if (Failure f = detail::make_header(s.fd.get(), s.old_eof, s.path, h)) return f;
    buf = detail::encode_header(h);
    s.seed = h.seed;
  }
  for (const auto& [g0, g1] : gaps)
    if (Failure f = detail::append_records(s.fd.get(), g0, g1, s.path, buf)) return f;
  if (extent) detail::append_extent(new_shortest, new_longest, buf);
  // What the update puts below the old EOF, so that an opener can tell
  // the bytes it may have left from anybody else's.
  for (const Written& w : ranges)
    if (w.a < s.old_eof) detail::append_after(w.a, w.p, std::min<std::uint64_t>(w.b, s.old_eof) - w.a, buf);
  // And what it puts past it, page by page.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> appended;
  if (Failure f = digest_appended(s, ranges, cut, std::min(s.disk_size, cut), appended)) return f;
  detail::append_appended(appended, buf);
  if (s.phase == Phase::clean) {
    if (Failure f = begin_journal(s, buf)) return f;
  } else {
    if (const int e = detail::write_all(s.jfd.get(), buf.data(), buf.size(), s.jend))
      return os_failure(e, fmt::format("cannot write the journal '{}'", s.jpath));
    s.jend += buf.size();
    if (g_durable && ::fsync(s.jfd.get()) != 0) return os_failure(errno, fmt::format("cannot sync the journal '{}'", s.jpath));
  }
  s.saved = std::move(saved);
  s.shortest = new_shortest;
  s.longest = new_longest;
  return {};
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
  if (const int e = detail::write_all(s.fd.get(), p, b - a, a))
    return os_failure(e, fmt::format("cannot write '{}' (addr = {}, size = {})", s.path, a, b - a));
  s.disk_size = std::max<std::uint64_t>(s.disk_size, b);
  return {};
}

Failure resize_disk(State& s, std::uint64_t len) {
  if (const int e = detail::truncate_to(s.fd.get(), len)) return os_failure(e, fmt::format("cannot truncate '{}' to {} bytes", s.path, len));
  s.disk_size = len;
  return {};
}

// Puts what waits in memory on the disk: first the journal, in one write,
// then the file. Bytes the disk already holds are not written (nor saved).
// On failure the open is detached (held).
Failure write_out(State& s) {
  if (s.phase != Phase::clean && s.phase != Phase::journaled) return {};
  std::vector<Written> pieces;
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
      const ssize_t r = detail::read_up_to(s.fd.get(), disk.data(), disk.size(), at);
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
    f = save_old_bytes(s, pieces, cut, std::max<std::uint64_t>(s.eof, pieces.empty() ? 0 : pieces.back().b));
    if (!f && cut != UINT64_MAX) f = resize_disk(s, cut);
    for (const Written& x : pieces) {
      if (f) break;
      f = put(s, x.a, x.b, x.p);
    }
    if (!f && s.disk_size < s.eof) f = resize_disk(s, s.eof);  // HDF5 extended the file to its EOA
  }
  if (f) {
    detail::detach(s, f);
    return f;
  }
  s.pending.clear();
  s.pending_bytes = 0;
  s.disk_valid_end = s.disk_size;
  return {};
}

// Rolls back what an update wrote, from its own journal.
Failure roll_back(State& s) {
  if (!s.jfd.valid()) return {};  // nothing reached the disk
  const util::Fd journal = std::move(s.jfd);
  return detail::roll_back_own(journal.get(), s.fd.get(), s.path, s.jpath);
}

// Commits an update: the held writes are out, then the journal goes.
Failure commit(State& s) {
  if (!s.jfd.valid()) return {};
  Failure f;
  if (g_durable && ::fsync(s.fd.get()) != 0) f = os_failure(errno, fmt::format("cannot sync '{}'", s.path));
  if (!f && ::unlink(s.jpath.c_str()) != 0) f = os_failure(errno, fmt::format("cannot remove the journal '{}'", s.jpath));
  if (!f) {
    s.jfd.reset();
    if (g_durable) util::sync_folder_of(s.path);
  }
  return f;
}

// Rolls back a hot journal of the file we hold locked, or deals with what
// else lies at the journal's path. A read-only open needs another
// descriptor that can write, and the lock made exclusive for the while.
Failure recover(State& s) {
  detail::Found found = detail::Found::nothing;
  std::string notice;
  Failure f = detail::recover_with(s.fd.get(), s.path, s.jpath, s.phase != Phase::reading, found, notice);
  if (!notice.empty()) detail::notify(notice);
  if (f || found != detail::Found::needs_write) return f;
  const util::Fd writable(::open(s.path.c_str(), O_RDWR | O_CLOEXEC));
  if (!writable.valid())
    return Failure{.err = 0, .what = fmt::format("'{}' has an unfinished update (journal '{}') that needs write access to roll back ({})",
                                  s.path, s.jpath, std::strerror(errno))};
  if (const int e = detail::take_lock(s.fd.get(), true))
    return os_failure(e, fmt::format("unable to lock '{}' to roll back its unfinished update", s.path));
  f = detail::recover_with(writable.get(), s.path, s.jpath, true, found, notice);
  if (f && (f.err == EACCES || f.err == EPERM || f.err == EROFS))
    return Failure{.err = 0, .what = fmt::format("'{}' has an unfinished update (journal '{}') that cannot be rolled back: {} ({})", s.path,
                                  s.jpath, f.what, std::strerror(f.err))};
  if (f) return f;
  if (const int e = detail::take_lock(s.fd.get(), false)) return os_failure(e, fmt::format("unable to lock '{}'", s.path));
  return {};
}

// ---- driver callbacks ----

H5FD_t* j_open(const char* name, unsigned flags, hid_t fapl, haddr_t maxaddr) {
  if (!name || !*name) {
    push(__func__, H5E_BADVALUE, Failure{.err = 0, .what = "invalid file name"});
    return nullptr;
  }
  if (maxaddr == 0 || (maxaddr != HADDR_UNDEF && maxaddr > kMaxAddr)) {
    push(__func__, H5E_OVERFLOW, Failure{.err = 0, .what = "bogus maxaddr"});
    return nullptr;
  }
  const auto* cfg = fapl >= 0 && fapl != H5P_DEFAULT ? static_cast<const Config*>(H5Pget_driver_info(fapl)) : nullptr;
  Session* session = cfg ? cfg->session : nullptr;
  if (session && session->state_) {
    // HDF5 opens a file it is about to create once without the create
    // flags first, and closes it again before the real open: let that first
    // open go (it wrote nothing) before taking the lock again.
    if (!session->state_->hdf5_closed) {
      push(__func__, H5E_CANTOPENFILE, Failure{.err = 0, .what = "the session already has an open file"});
      return nullptr;
    }
    detail::finish_state(*session->state_, true);
    session->state_.reset();
  }

  auto st = std::make_shared<State>();
  State& s = *st;
  s.path = name;
  s.jpath = journal_path(name);
  const bool writable = (flags & H5F_ACC_RDWR) != 0;
  const bool created = (flags & (H5F_ACC_TRUNC | H5F_ACC_EXCL)) != 0;
  int oflags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  if (flags & H5F_ACC_CREAT) oflags |= O_CREAT;
  if (flags & H5F_ACC_EXCL) oflags |= O_EXCL;
  // No O_TRUNC: a file held by another process must not be cut before we
  // know we may have it; truncation waits for the lock below.
  // Without blocking: a FIFO (or device) at a store file's name would wait
  // for a writer for ever. Only a regular file is a store file.
  s.fd.reset(::open(name, oflags | O_NONBLOCK, 0666));
  if (!s.fd.valid()) {
    push(__func__, H5E_CANTOPENFILE, os_failure(errno, fmt::format("unable to open file: name = '{}', flags = {:#x}", name, flags)));
    return nullptr;
  }
  {
    struct stat kind{};
    if (::fstat(s.fd.get(), &kind) != 0 || !S_ISREG(kind.st_mode)) {
      push(__func__, H5E_CANTOPENFILE, os_failure(EINVAL, fmt::format("'{}' is not a regular file", name)));
      return nullptr;
    }
    ::fcntl(s.fd.get(), F_SETFL, ::fcntl(s.fd.get(), F_GETFL) & ~O_NONBLOCK);
  }
  if (const int e = detail::take_lock(s.fd.get(), writable)) {
    push(__func__, H5E_CANTLOCKFILE, os_failure(e, "unable to lock file"));
    return nullptr;
  }
  s.exclusive = writable;
  s.phase = !writable ? Phase::reading : created ? Phase::creating : Phase::clean;
  if (created) {
    // A journal left by an earlier file of this name describes bytes that
    // are gone: it must never be played onto the new file.
    if ((flags & H5F_ACC_TRUNC) != 0) {
      if (const int e = detail::truncate_to(s.fd.get(), 0)) {
        push(__func__, H5E_CANTOPENFILE, os_failure(e, fmt::format("unable to truncate '{}'", name)));
        return nullptr;
      }
    }
    std::string notice;
    if (Failure f = detail::remove_control(s.jpath, notice)) {
      push(__func__, H5E_CANTOPENFILE, f);
      return nullptr;
    }
    if (!notice.empty()) detail::notify(notice);
  } else if (Failure f = recover(s)) {
    push(__func__, f.err == EAGAIN ? H5E_CANTLOCKFILE : H5E_CANTOPENFILE, f);
    return nullptr;
  }
  struct stat sb{};
  if (::fstat(s.fd.get(), &sb) != 0) {
    push(__func__, H5E_BADFILE, os_failure(errno, "unable to fstat file"));
    return nullptr;
  }
  s.dev = sb.st_dev;
  s.ino = sb.st_ino;
  s.eof = s.old_eof = static_cast<haddr_t>(sb.st_size);
  s.disk_size = s.disk_valid_end = s.eof;
  s.update = s.phase == Phase::clean;

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
  if (!expect_phase(*st, kOpen, __func__)) return -1;
  st->hdf5_closed = true;
  if (st->owned) return 0;  // the session finishes it
  const Outcome o = detail::finish_state(*st, true);
  if (!o.ok) {
    push(__func__, H5E_CANTCLOSEFILE, Failure{.err = o.os_errno, .what = o.message});
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
  State& s = state_of(f);
  if (!expect_phase(s, kOpen, __func__)) return -1;
  s.eoa = addr;
  return 0;
}

haddr_t j_get_eof(const H5FD_t* f, H5FD_mem_t) { return state_of(f).eof; }

herr_t j_get_handle(H5FD_t* f, hid_t, void** handle) {
  if (!handle) return -1;
  auto* jf = reinterpret_cast<JFile*>(f);
  jf->handle = jf->st->fd.get();
  *handle = &jf->handle;
  return 0;
}

bool bad_region(haddr_t addr, std::size_t size) {
  return addr == HADDR_UNDEF || addr > kMaxAddr || size > kMaxAddr || addr + size > kMaxAddr;
}

// HDF5 reads a file's metadata in many small pieces, most of them near its
// start (superblock, root group, object headers) or its end (what the last
// append wrote: chunk indexes, the last chunks). A read-only open, whose
// bytes nobody of ours changes while it holds its shared lock, reads such
// pieces through a few whole blocks: finding that a file is up to date
// takes three reads instead of fourteen. Updates read the disk directly:
// their own writes reach it during the open.
constexpr std::uint64_t kBlockSize = 8192;
constexpr std::size_t kCachedBlocks = 4;

// The block of `s`'s file at `at` (a multiple of kBlockSize), read if not
// held; nullptr with `err` set when the read fails.
const State::Block* block_at(State& s, std::uint64_t at, int& err) {
  State::Block* victim = nullptr;
  for (auto& b : s.blocks) {
    if (b.at == at && !b.bytes.empty()) {
      b.used = ++s.reads;
      return &b;
    }
    if (!victim || b.used < victim->used) victim = &b;
  }
  if (s.blocks.size() < kCachedBlocks) {
    s.blocks.reserve(kCachedBlocks);
    victim = &s.blocks.emplace_back();
  }
  victim->bytes.resize(kBlockSize);
  const ssize_t n = detail::read_up_to(s.fd.get(), victim->bytes.data(), kBlockSize, at);
  if (n < 0) {
    victim->bytes.clear();
    err = static_cast<int>(-n);
    return nullptr;
  }
  victim->at = at;
  victim->len = static_cast<std::uint64_t>(n);
  victim->used = ++s.reads;
  return victim;
}

// As detail::read_up_to on the file of `s`: bytes read, short at the end
// of the file, or -errno.
ssize_t read_disk(State& s, void* buf, std::size_t size, std::uint64_t addr) {
  if (s.phase != Phase::reading || size > kBlockSize / 2) return detail::read_up_to(s.fd.get(), buf, size, addr);
  char* out = static_cast<char*>(buf);
  std::size_t got = 0;
  while (got < size) {
    const std::uint64_t at = addr + got, start = at - at % kBlockSize;
    int err = 0;
    const State::Block* b = block_at(s, start, err);
    if (!b) return -err;
    if (b->len <= at - start) break;  // the end of the file
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size - got, b->len - (at - start)));
    std::memcpy(out + got, b->bytes.data() + (at - start), n);
    got += n;
    if (b->len < kBlockSize) break;
  }
  return static_cast<ssize_t>(got);
}

herr_t j_read(H5FD_t* f, H5FD_mem_t, hid_t, haddr_t addr, std::size_t size, void* buf) {
  State& s = state_of(f);
  if (!expect_phase(s, kOpen, __func__)) return -1;
  if (bad_region(addr, size) || addr + size > s.eoa) {
    push(__func__, H5E_OVERFLOW, Failure{.err = 0, .what = fmt::format("addr overflow, addr = {}, size = {}, eoa = {}", addr, size, s.eoa)});
    return -1;
  }
  const ssize_t r = read_disk(s, buf, size, addr);
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
  if (!expect_phase(s, kWriting, __func__)) return -1;
  if (bad_region(addr, size) || addr + size > s.eoa) {
    push(__func__, H5E_OVERFLOW, Failure{.err = 0, .what = fmt::format("addr overflow, addr = {}, size = {}, eoa = {}", addr, size, s.eoa)});
    return -1;
  }
  if (s.phase != Phase::creating) {
    pend(s, addr, buf, size);
    if (s.pending_bytes > g_max_pending) write_out(s);
    return 0;
  }
  // A file this open created: straight to the disk.
  if (Failure fl = put(s, addr, addr + size, static_cast<const char*>(buf))) {
    detail::detach(s, fl);
    pend(s, addr, buf, size);
    return 0;
  }
  s.eof = std::max<haddr_t>(s.eof, addr + size);
  return 0;
}

herr_t j_truncate(H5FD_t* f, hid_t, hbool_t) {
  State& s = state_of(f);
  if (s.eoa == s.eof) return 0;
  if (!expect_phase(s, kWriting, __func__)) return -1;
  if (s.phase != Phase::creating) {
    pend_truncate(s, s.eoa);
    return 0;
  }
  if (Failure fl = resize_disk(s, s.eoa)) {
    detail::detach(s, fl);
    pend_truncate(s, s.eoa);
    return 0;
  }
  s.eof = s.eoa;
  s.disk_valid_end = s.disk_size;
  return 0;
}

herr_t j_lock(H5FD_t* f, hbool_t rw) {
  State& s = state_of(f);
  if (!expect_phase(s, kOpen, __func__)) return -1;
  // The open took the lock already (before looking for a journal); a
  // writer's is exclusive from open to finish and is never weakened.
  if (s.exclusive || !rw) return 0;
  if (const int e = detail::take_lock(s.fd.get(), true)) {
    push(__func__, H5E_CANTLOCKFILE, os_failure(e, "unable to lock file"));
    return -1;
  }
  s.exclusive = true;
  return 0;
}

herr_t j_unlock(H5FD_t* f) {
  State& s = state_of(f);
  if (!expect_phase(s, kOpen, __func__)) return -1;
  // The lock is held until the open is finished: a writer's, so that its
  // journal never looks hot to another opener while it lives; a reader's,
  // so that no writer changes the bytes under it.
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
  // close (or past g_max_pending) and the flag set at open and cleared at
  // close never reaches the disk.
  c.truncate = j_truncate;
  c.lock = j_lock;
  c.unlock = j_unlock;
  const H5FD_mem_t map[H5FD_MEM_NTYPES] = H5FD_FLMAP_DICHOTOMY;
  std::copy(std::begin(map), std::end(map), c.fl_map);
  return c;
}

}  // namespace

namespace detail {

void detach(State& s, const Failure& f) {
  if (s.phase != Phase::finished) s.phase = Phase::held;
  if (s.failed || !f) return;
  s.failed = true;
  s.failed_errno = f.err;
  s.failed_what = f.what;
}

Outcome finish_state(State& s, bool commit_it, bool keep_lock) {
  if (s.phase == Phase::finished) return s.outcome;
  if (commit_it && (s.phase == Phase::clean || s.phase == Phase::journaled)) write_out(s);
  Outcome o;
  if (s.failed) {
    commit_it = false;
    o = Outcome::failure(s.failed_errno, s.failed_what);
  }
  s.pending.clear();
  if (!s.update) {
    // Read-only, or a file this open created: nothing to keep or undo.
    if (commit_it && s.phase == Phase::creating && g_durable && ::fsync(s.fd.get()) != 0)
      o = Outcome::failure(errno, fmt::format("cannot sync '{}'", s.path));
    if (s.phase == Phase::held && !s.failed) o = Outcome::failure(0, fmt::format("the creation of '{}' was abandoned", s.path));
  } else if (commit_it) {
    if (Failure f = commit(s)) {
      // Not committed: put the file back as it was, so what is on disk
      // agrees with the failure the caller is told about.
      o = Outcome::failure(f.err, f.what);
      const Failure r = roll_back(s);
      o.rolled_back = !r;
      if (r) o.message += fmt::format("; rolling back failed too ({}), the next open will retry", r.what);
    }
  } else {
    if (o.message.empty()) o.message = fmt::format("the update of '{}' was abandoned", s.path);
    o.ok = false;
    const Failure r = roll_back(s);
    o.rolled_back = !r;
    if (r) {
      o.message += fmt::format("; rolling back failed ({}), the next open will retry", r.what);
      if (o.os_errno == 0) o.os_errno = r.err;
    }
  }
  s.phase = Phase::finished;
  if (!keep_lock || !o.ok) {
    s.fd.reset();  // releases the lock
  }
  return s.outcome = o;
}

hid_t driver_id_impl() {
  // Registered at the first use, never as the library loads: loading it
  // leaves HDF5 as the host had it.
  static const H5FD_class_t the_class = make_class();
  static const hid_t id = H5FDregister(&the_class);
  return id;
}

}  // namespace detail

}  // namespace h5::journal
