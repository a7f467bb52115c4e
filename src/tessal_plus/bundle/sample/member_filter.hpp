#pragma once
// Which members of a sample archive may be written into the bundle, and
// how. A pure function of what the archive says about a member, so it can
// be tested and fuzzed without an archive or a disk.
#include <cstddef>
#include <string>
#include <string_view>

namespace tessal_plus::bundle::sample {

enum class MemberType { regular, directory, symlink, hardlink, block_device, char_device, fifo, socket, other };

// Longest member path and longest single name accepted. Both stay well
// under PATH_MAX/NAME_MAX once the bundle and staging folders are put in
// front, so the operating system never has to cut or refuse a name.
inline constexpr std::size_t MAX_MEMBER_PATH = 1024;
inline constexpr std::size_t MAX_MEMBER_NAME = 255;

struct MemberVerdict {
  bool accepted = false;
  std::string reason;  // why a member is refused (empty when accepted)
  std::string path;    // the member's path, normalised; empty for the archive's own root folder
  std::string link;    // a hard link's target, normalised
  unsigned mode = 0;   // permission bits to create the file or folder with
};

// Judges one member. `path` and `link_target` are as stored in the archive
// (a symbolic link's target is relative to the member's folder, a hard
// link's to the archive root); `mode` holds the permission bits (07777).
//
// Regular files and folders are accepted with their modes masked: no
// setuid, setgid or sticky bit, no write for group or others, and always
// readable and writable by the owner (a folder also searchable), so the
// bundle can be updated later by the same user.
//
// A hard link to an earlier member inside the archive is accepted; the
// unpacker writes it as a copy, so the bundle never holds two names for
// one file. Symbolic links are refused wherever they point: the bundle
// format has none, our packer never writes them, and a link in the staging
// folder could redirect a later member's write (or, once moved into place,
// stand where the user's own folder was). Devices, FIFOs and sockets are
// refused: they have no place in a data folder. So is a member with a
// name of the writers' control files in its path (a hidden name ending in
// ".journal", or one holding ".h5.rebuild"): the next writer of a store
// file would take such a file beside it for its own journal or refill.
MemberVerdict judge_member(std::string_view path, MemberType type, std::string_view link_target, unsigned mode);

}  // namespace tessal_plus::bundle::sample
