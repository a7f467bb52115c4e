#pragma once
// Whole small files: read under a bound on their size, written all at once.
#include <cstdint>
#include <string>
#include <string_view>

namespace util {

// The most any document or list the tool reads may have (a check's JSON
// document, the instrument list, the trading calendar): 256 MiB, some
// hundred times what the largest bundle gives.
constexpr std::uint64_t kDocumentCap = std::uint64_t{256} << 20;

// The bytes of the regular file at `path` (a link to one is followed). A
// file larger than `cap` bytes is refused before anything is allocated for
// it, and so is one that grows past `cap` while it is read: util::Error of
// kind damaged with errno EFBIG. Anything else at `path` (a FIFO, a device
// such as /dev/zero, a socket, a folder) is refused at once, never read or
// waited for: util::Error of kind invalid_input. A file that cannot be
// opened or read is util::Error of its errno's kind. Every error names
// `path`.
std::string read_small_file(const std::string& path, std::uint64_t cap);

// What a stat mode names, for messages: "a FIFO", "a folder", ...
const char* file_type_text(unsigned mode) noexcept;

// "<pid>-<8 hex digits>": the part of a temporary name that no other
// process, and no other call in this one, makes (the random part is drawn
// from the system for each call, so forked workers never repeat each other).
std::string unique_suffix();
// A hidden name of its own in `path`'s folder: `.<name><tag>-<unique_suffix>`.
// No listing of the folder's files by their extension picks it up.
std::string temp_path_beside(const std::string& path, std::string_view tag = ".tmp");

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
