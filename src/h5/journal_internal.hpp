#pragma once
// Shared by the three units of the journaled driver:
//   journal_file.cpp    the journal on disk: format, identity, roll-back,
//                       control-file opening, the write hooks of the tests
//   journal_driver.cpp  the HDF5 driver callbacks over one open file (State)
//   journal.cpp         Session and the file-level operations of journal.hpp
#include <hdf5.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "h5/journal.hpp"
#include "util/fd.hpp"

namespace h5::journal::detail {

// Saved ranges start and end on page boundaries (clipped to the old EOF):
// HDF5 rewrites small metadata pieces, often side by side, and whole pages
// keep the journal to few records and the saved-range map short. Pages are
// also the unit of a journal's identity check (see Header).
constexpr std::uint64_t kPage = 4096;

// An error on its way to HDF5's error stack or to a Session's Outcome.
struct Failure {
  int err = 0;       // errno, 0 when the bytes are wrong rather than the system call
  std::string what;  // empty: no failure
  explicit operator bool() const { return !what.empty(); }
};
Failure os_failure(int err, std::string what);

// ---- plain I/O; writes pass the test hooks (journal::testing) ----
int write_all(int fd, const void* buf, std::size_t n, std::uint64_t off);  // 0 or errno
int truncate_to(int fd, std::uint64_t len);                                 // 0 or errno
ssize_t read_up_to(int fd, void* buf, std::size_t n, std::uint64_t off);   // count, short at EOF, or -errno
extern bool g_durable;

// ---- locks ----
// Takes the file's lock without waiting (exclusive for writers, shared for
// readers), following HDF5_USE_FILE_LOCKING as HDF5's own driver does;
// 0, or EAGAIN when another process holds it, or the errno.
int take_lock(int fd, bool exclusive);
// False when HDF5_USE_FILE_LOCKING turns locks off.
bool locks_taken();

// ---- control files (journals, temporary files) ----
// Opens an existing control file without following a link and without
// blocking (a FIFO planted there must not hang us); it must be a regular
// file. Returns the descriptor, or none with `err` (ENOENT when absent) and,
// for something that is there but is not a regular file, `what_is_there`.
util::Fd open_control(const std::string& path, int flags, int& err, std::string& what_is_there);
// What lies at `path` when it is not a regular file ("a symbolic link", "a
// FIFO", ...); empty for a regular file or nothing.
std::string odd_entry(const std::string& path);
// Creates a control file that must not exist yet (O_EXCL: never a link's
// target, never another writer's file).
util::Fd create_control(const std::string& path, int& err);

// ---- the journal's format ----
// The header names the file the journal protects by content, not by inode
// (an inode number is handed to the next file created in the folder, and a
// copied bundle has new ones): it holds digests of sample pages of the file
// as it was before the update. A journal belongs to a file when rolling it
// back would give those pages back: for each sample page, the saved bytes
// when the journal holds the page, else the file's present bytes, which no
// write of the update touched. A new file under the same name fails that,
// a copy of the file with its journal passes.
struct Header {
  std::uint64_t old_eof = 0;
  std::uint64_t seed = 0;                    // chooses and salts the sample pages
  std::vector<std::uint64_t> digests;        // one per sample page
};
// Builds the header of a new journal of the file open as `fd`, whose
// length is `old_eof`, reading its sample pages.
Failure make_header(int fd, std::uint64_t old_eof, const std::string& path, Header& out);
// The header's bytes as written at the start of the journal.
std::vector<unsigned char> encode_header(const Header& h);
// Appends to `buf` the records saving [a, b) of the file open as `fd`
// (in pieces of bounded size).
Failure append_records(int fd, std::uint64_t a, std::uint64_t b, const std::string& path, std::vector<unsigned char>& buf);

// Appends to `buf` the records of what the writes that follow them put at
// [off, off + len) below the old EOF: `p`'s bytes (their after-image).
void append_after(std::uint64_t off, const char* p, std::uint64_t len, std::vector<unsigned char>& buf);

// Page `page` of the file open as `fd` as an appended page: its bytes from
// the old EOF to `end`, zeros around them (kPage bytes into `out`).
Failure read_tail_page(int fd, std::uint64_t page, std::uint64_t old_eof, std::uint64_t end, unsigned char* out);
// The digest of such a page (kPage bytes) under the journal's seed.
std::uint64_t tail_page_digest(const unsigned char* page, std::uint64_t seed, std::uint64_t page_no);
// Appends to `buf` the records of the digests of the pages past the old
// EOF that the writes that follow them leave: (page number, digest) pairs.
void append_appended(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& pages, std::vector<unsigned char>& buf);

// Appends to `buf` the record of the lengths the writes that follow it may
// give the file.
void append_extent(std::uint64_t shortest, std::uint64_t longest, std::vector<unsigned char>& buf);

// What opening a file found beside it, and did about it.
enum class Found {
  nothing,      // no journal
  played,       // a hot journal of this file, rolled back and removed
  removed,      // a journal whose writer died before touching the file, removed
  set_aside,    // a journal of another file (or not a journal), renamed away
  left_alone,   // something that is not a regular file, or a journal we may not move
  needs_write,  // a hot journal of this file, and the descriptor given is read-only
};
// Looks at the journal beside the file open as `fd` (its lock held
// exclusively when `may_write`) and plays it when it belongs to the file;
// without `may_write` such a journal is only reported (needs_write). A
// journal that belongs but cannot be played whole (damaged records) is a
// Failure and stays where it is. `notice` gets one line for what a user
// should hear of (a journal set aside or left alone).
Failure recover_with(int fd, const std::string& path, const std::string& jpath, bool may_write, Found& found,
                     std::string& notice);
// Rolls back a journal open as `jfd` onto the file open as `fd`, after its
// records were written by this process (a failed or abandoned update): the
// journal is known to belong. Removes the journal when done.
Failure roll_back_own(int jfd, int fd, const std::string& path, const std::string& jpath);

// Removes a regular file at a control path (a journal of a file being
// replaced or deleted); reports what else is there instead of touching it.
Failure remove_control(const std::string& path, std::string& notice);

// Where a journal that is not played goes: beside it, under a name no
// opener looks at (`<journal>.set-aside-<unix time>-<random>`).
std::string set_aside_path(const std::string& jpath);
// Removes the journals of `jpath` set aside more than kSetAsideDays before
// `now` (unix time): the file's next writer does, so that they do not pile
// up, while a recent one stays to be looked at.
constexpr std::int64_t kSetAsideDays = 30;
void remove_old_set_asides(const std::string& jpath, std::int64_t now);

void notify(const std::string& line);

}  // namespace h5::journal::detail

namespace h5::journal {

// What one open of one file is doing. Each driver callback checks first
// that it is called in a phase where it makes sense (expect_phase), and
// every change of phase has one function (in journal_driver.cpp):
//
//   reading ─────────────────────────────────────────────┐
//   creating ──(write fails: detach)──> held ─────────────┤
//   clean ──(first write out: begin_journal)──> journaled ┤
//     │                                  │                ├─(finish)─> finished
//     └──(write fails / owner abandons: detach, hold)──> held
//
// reading:   a read-only open; a shared lock; never writes.
// creating:  a file this open created; writes go straight to the disk, no
//            journal (a new file is filled under a name of its own and
//            renamed into place when complete).
// clean:     an update of an existing file; its writes wait in memory; no
//            journal on disk yet, the file untouched.
// journaled: the journal exists and holds the old bytes of every range of
//            the file that was written; the file may be partly updated.
// held:      a write failed or the owner gave the update up: nothing more
//            reaches the disk, HDF5's writes stay in memory so its close
//            runs to the end; finishing rolls back what was written.
// finished:  committed or rolled back; the descriptors are closed, or the
//            file's one is kept for its owner, still locked (keep_lock).
enum class Phase { reading, creating, clean, journaled, held, finished };
const char* phase_name(Phase p) noexcept;

struct State {
  std::string path, jpath;
  Phase phase = Phase::reading;
  util::Fd fd;                // the file's, holding its lock
  bool owned = false;         // a Session decides commit or rollback
  bool hdf5_closed = false;
  bool exclusive = false;     // the lock held is exclusive (or shared)
  bool update = false;        // an update of a file that existed (clean, journaled, or held after them)
  dev_t dev = 0;
  ino_t ino = 0;
  haddr_t eoa = 0;
  haddr_t eof = 0;            // the length HDF5 sees
  haddr_t old_eof = 0;        // the length at open
  std::uint64_t disk_size = 0;
  // The journal, made on the first write that reaches the disk.
  util::Fd jfd;
  std::uint64_t jend = 0;
  std::uint64_t seed = 0;                         // the journal's (digests of appended pages)
  std::map<std::uint64_t, std::uint64_t> saved;  // start -> end, disjoint, of [0, old_eof)
  std::uint64_t shortest = 0, longest = 0;        // lengths the journal allows the file
  // Writes of an update wait here until the file is closed (or they pass
  // the limit, g_max_pending). Many are undone before then: HDF5 marks the
  // superblock "open for writing" at open and unmarks it at close, so an
  // open that changes nothing writes nothing, and needs no journal, if only
  // final bytes that differ from the disk are written. Extents are
  // disjoint; reads see them over the disk, whose bytes from
  // `disk_valid_end` on read as zeros (cut by a truncation not done yet).
  std::map<std::uint64_t, std::string> pending;
  std::size_t pending_bytes = 0;
  std::uint64_t disk_valid_end = 0;
  // A read-only open's last few blocks read from the disk (see j_read).
  struct Block {
    std::uint64_t at = 0, len = 0, used = 0;
    std::vector<char> bytes;
  };
  std::vector<Block> blocks;
  std::uint64_t reads = 0;
  // The first failed write. HDF5 1.10 does not survive a close that fails
  // on a write (a dataset whose close failed is freed but keeps its id, and
  // closing that id again crashes), so the driver never reports write
  // failures to HDF5; the owner reads them (write_failure) and rolls back.
  bool failed = false;
  int failed_errno = 0;
  std::string failed_what;
  Outcome outcome;
};

namespace detail {
// What the driver's entry in a file access property list carries.
struct DriverConfig {
  Session* session;
};
// Commits (when `commit` and no write failed) or rolls back; closes the
// descriptors unless `keep_lock`, which keeps the file's, locked, for the
// owner. Idempotent.
Outcome finish_state(State& s, bool commit, bool keep_lock = false);
// Stops all disk writes of the open: held (after a failure when `f`).
void detach(State& s, const Failure& f);
// Opens (by name) and locks a file for the driver; see journal_driver.cpp.
hid_t driver_id_impl();
}  // namespace detail

}  // namespace h5::journal
