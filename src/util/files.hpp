#pragma once
// Whole small files: read under a bound on their size, written all at once.
#include <cstdint>
#include <string>
#include <string_view>

namespace util {

// The bytes of the regular file at `path`. A file larger than `cap` bytes
// is refused before anything is allocated for it, and so is one that grows
// past `cap` while it is read: util::Error of kind damaged with errno
// EFBIG. A file that cannot be opened or read is util::Error of its errno's
// kind. Every error names `path`.
std::string read_small_file(const std::string& path, std::uint64_t cap);

// A hidden name of its own in `path`'s folder: `.<name>.tmp-<pid>-<random>`.
// No listing of the folder's files by their extension picks it up.
std::string temp_path_beside(const std::string& path);

// Replaces the file at `path` by one holding `bytes`, all at once: they are
// written into a temporary file of this call's own (temp_path_beside,
// created exclusively and never through a link), which is renamed over
// `path` once complete. With `durable` the file is synced before the rename
// and the folder after it (power loss); without, a killed process still
// leaves the old file or the new one. On any failure the temporary file is
// removed and util::Error thrown with the errno, naming the temporary file
// for a failed write and `path` for a failed rename.
void write_atomically(const std::string& path, std::string_view bytes, bool durable = false);

// Syncs the folder holding `path`, so that a name created, renamed or
// removed there survives power loss. Best effort: failures are ignored.
void sync_folder_of(const std::string& path) noexcept;

}  // namespace util
