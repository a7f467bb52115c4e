#pragma once
// Crash- and disk-full-safe updates of existing HDF5 files: an HDF5 virtual
// file driver that does plain POSIX I/O and keeps a rollback journal beside
// the file while it is open for writing.
//
// The rules the driver keeps:
// - The file's length when it was opened is its "old EOF". Before a write
//   (or a truncation) changes bytes below the old EOF for the first time, the
//   original bytes of that range are appended to the journal, and that
//   append has completed before the file is touched. Bytes beyond the old
//   EOF are not saved: rolling back cuts the file to the old EOF.
// - The journal is `.<file name>.journal` in the file's folder. It names
//   its file by content, not by inode (inode numbers are handed to the
//   next file created in the folder, and a copied bundle has new ones):
//   digests of sample pages of the file as it was opened. It is played
//   only onto a file that rolling it back turns into those pages again; a
//   journal of another file, or anything that is not a journal, is set
//   aside (renamed, and said once), never played, and the file is judged
//   by its own bytes. Something that is not a regular file at that path
//   (a link, a FIFO, a folder) is never opened or followed: it is left
//   alone and reported, and an update of the file refuses to journal over it.
// - A writable open of an existing file keeps HDF5's writes in memory until
//   the close (or until they pass 8 MiB, then writes them out and goes on),
//   and writes only the pages whose final bytes differ from the disk. HDF5
//   marks the superblock at open and unmarks it at close, so an open that
//   changes nothing writes nothing and makes no journal. HDF5's flush
//   requests do not write: an update is all or nothing anyway.
// - Commit is a successful close: HDF5's close succeeded, no write failed,
//   the held writes are out, then the journal is unlinked. Anything else
//   rolls back: every saved range is written back, the file is cut to the
//   old EOF, the journal is unlinked.
// - The file lock (flock, exclusive for writers, shared for readers, never
//   waiting; EAGAIN when held elsewhere) is taken when the driver opens the
//   file and held until the file is committed or rolled back, so a journal
//   whose file nobody holds is "hot": its writer died. Every open takes the
//   lock first, then rolls back a hot journal before HDF5 reads a byte. A
//   read-only open needs write access for that; without it the open fails
//   as damaged. Two processes opening the same hot file read-only at once
//   may see "locked" while one of them rolls it back.
// - After a failed write the driver writes nothing more to the disk for that
//   open (HDF5's later writes stay in memory, see write_failure), so HDF5's
//   close cannot add damage, and the owner rolls back.
// - Files this open creates (create, append to an absent file) are written
//   straight through with no journal; a journal left by an earlier file of
//   that name is removed. Replacing a file (install_file) or deleting it
//   (remove_file) takes the file's lock and removes its journal too.
//
// h5::File (h5.hpp) opens every file through this driver with a Session.
#include <hdf5.h>

#include <memory>
#include <optional>
#include <string>

namespace h5::journal {

// The driver's HDF5 id, registered with HDF5 at the first call (h5::initialize).
hid_t driver_id();

// The journal path of a file: `.<name>.journal` in the same folder.
std::string journal_path(const std::string& file);

struct State;

// What finishing an open file came to.
struct Outcome {
  bool ok = true;        // committed (or nothing to commit)
  bool rolled_back = false;
  int os_errno = 0;      // the errno behind a failure, 0 if none
  std::string message;   // empty when ok
  // Not committed, for `message` (errno `os_errno`, 0 when none is behind it).
  static Outcome failure(int os_errno, std::string message) {
    return Outcome{.ok = false, .rolled_back = false, .os_errno = os_errno, .message = std::move(message)};
  }
};

// One open of one file by its owner (h5::File). The session is attached to a
// file access property list; the driver then hands the open file's state to
// the session instead of finishing it itself when HDF5 closes the file, so
// the owner decides between commit and rollback after H5Fclose returns.
class Session {
 public:
  Session();
  ~Session();  // rolls back an unfinished writable open
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Selects the driver, bound to this session, in `fapl`; false (with
  // HDF5's error stack set) when HDF5 refuses.
  bool attach(hid_t fapl);
  // True once the driver opened the file for this session.
  bool opened() const noexcept;
  // True when the open is an update: a writable open of a file that existed,
  // whose bytes the journal protects; false for read-only opens and newly
  // created files.
  bool is_update() const noexcept;
  // For an update about to be abandoned: nothing more reaches the disk, so
  // HDF5's close costs no writes that would only be rolled back.
  void discard() noexcept;
  // Commits (when `commit` and no write failed) or rolls back, then closes
  // the descriptors, which releases the lock; with `keep_lock` the file's
  // descriptor stays open and locked until the session goes (a new file
  // kept locked until it is in place). Call after H5Fclose (or after a
  // failed H5Fopen). Idempotent.
  Outcome finish(bool commit, bool keep_lock = false) noexcept;

  // Used by the driver.
  std::shared_ptr<State> state_;
};

// The first failed write (or truncation) of an open file. The driver never
// reports it to HDF5: from then on it leaves the disk alone and keeps what
// HDF5 writes in memory, so the library (whose close does not survive write
// errors) carries on consistently; callers check after each HDF5 call that
// writes, and finishing the open rolls back.
struct WriteFailure {
  int os_errno;
  std::string message;
};
std::optional<WriteFailure> write_failure(const State& state);

// Puts the complete file `temp` in place of `path` under `path`'s lock
// (exclusive, never waiting) and removes `path`'s journal: a file held by
// another process is left alone (EAGAIN); when there is no file at `path`
// the name is taken only while it is still free. The caller keeps `temp`
// locked meanwhile and removes it on failure.
Outcome install_file(const std::string& temp, const std::string& path);
// Deletes `path` and its journal under `path`'s exclusive lock; ENOENT when
// it is absent, EAGAIN when another process holds it.
Outcome remove_file(const std::string& path);
// Deletes the regular file `path` (a temporary file) unless a process holds
// its lock, which means its writer is still at work; true when deleted.
bool remove_if_unheld(const std::string& path);

// Where the driver tells what a user should hear of without failing the
// open (a journal set aside, a link left alone at a journal's path):
// standard error unless set.
void set_notice_handler(void (*handler)(const std::string& line)) noexcept;

// Durability against power loss: when on, the journal is synced before the
// file's old bytes are overwritten and the file is synced before the journal
// is removed. Off by default: the guarantees above hold for killed processes
// and failed writes without it, since the kernel keeps written pages.
void set_durable(bool on) noexcept;

// Fault injection for tests. Writes are counted per process: every pwrite
// to a file or a journal and every ftruncate, including those of a
// rollback. The hooks cost one flag check when disarmed.
namespace testing {
// Counts writes from now on, without faults.
void count_writes() noexcept;
// The Nth write from now writes the first half of its bytes, then fails
// with `errno_value` (a truncation fails without cutting). One-shot.
void fail_nth_write(long n, int errno_value) noexcept;
// The Nth write from now writes the first half of its bytes, then the
// process ends with _exit(77) (run it in a forked child).
void crash_at_nth_write(long n) noexcept;
// Writes counted since the last arming.
long writes_seen() noexcept;
// How much a journaled open keeps in memory before writing it out (8 MiB
// unless changed); small values make updates write out as they go.
void hold_at_most(std::size_t bytes) noexcept;
void disarm() noexcept;
}  // namespace testing

}  // namespace h5::journal
