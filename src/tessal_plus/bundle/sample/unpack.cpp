#include "tessal_plus/bundle/sample/unpack.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "tessal_plus/bundle/sample/member_filter.hpp"
#include "tessal_plus/bundle/sample/transfer.hpp"
#include "util/error.hpp"
#include "util/fd.hpp"
#include "util/files.hpp"

namespace tessal_plus::bundle::sample {
namespace fs = std::filesystem;
using util::Error;
using util::ErrorKind;

UnpackLimits UnpackLimits::from_environment() {
  UnpackLimits l;
  l.max_bytes = env_number("TESSAL_UNPACK_MAX_BYTES", l.max_bytes, 0, UINT64_MAX / 2);
  l.max_members = env_number("TESSAL_UNPACK_MAX_MEMBERS", l.max_members, 0, UINT64_MAX / 2);
  return l;
}

namespace {

struct ReadFree {
  void operator()(archive* a) const noexcept { archive_read_free(a); }
};
using ArchiveReader = std::unique_ptr<archive, ReadFree>;

// The hidden staging folder, removed with whatever it still holds.
class Staging {
 public:
  explicit Staging(const std::string& folder) {
    std::string tmpl = folder + "/.staging-XXXXXX";
    if (!::mkdtemp(tmpl.data())) util::throw_os_error(errno, "cannot create a staging folder in", folder);
    path_ = tmpl;
  }
  ~Staging() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;
  const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
};

MemberType type_of(archive_entry* e) {
  if (archive_entry_hardlink(e)) return MemberType::hardlink;
  switch (archive_entry_filetype(e)) {
    case AE_IFREG: return MemberType::regular;
    case AE_IFDIR: return MemberType::directory;
    case AE_IFLNK: return MemberType::symlink;
    case AE_IFBLK: return MemberType::block_device;
    case AE_IFCHR: return MemberType::char_device;
    case AE_IFIFO: return MemberType::fifo;
    case AE_IFSOCK: return MemberType::socket;
    default: return MemberType::other;
  }
}

// Writes the members of one archive into the staging folder, counting
// members and bytes against the limits.
class StagingWriter {
 public:
  StagingWriter(archive* in, std::string archive_path, std::string root, const UnpackLimits& limits)
      : in_(in), archive_path_(std::move(archive_path)), root_(std::move(root)), limits_(limits) {}

  void member(archive_entry* e) {
    const char* raw = archive_entry_pathname(e);
    const std::string name = raw ? raw : "";
    if (++members_ > limits_.max_members)
      refuse(name, fmt::format("the archive holds more than {} members", limits_.max_members));
    const char* link = archive_entry_hardlink(e) ? archive_entry_hardlink(e) : archive_entry_symlink(e);
    const MemberVerdict v = judge_member(name, type_of(e), link ? link : "", archive_entry_perm(e));
    if (!v.accepted) refuse(name, v.reason);
    if (v.path.empty()) return;  // the archive's own root folder
    const fs::path target = fs::path(root_) / v.path;
    if (archive_entry_filetype(e) == AE_IFDIR && !archive_entry_hardlink(e)) {
      make_folders(name, target, v.mode);
    } else {
      make_folders(name, target.parent_path(), 0755);
      if (archive_entry_hardlink(e)) copy_link(name, v, target);
      else write_file(e, name, target, v.mode);
      files_.insert(v.path);
    }
  }

 private:
  [[noreturn]] void refuse(const std::string& name, const std::string& why) const {
    throw Error(ErrorKind::archive, archive_path_,
                fmt::format("archive member '{}' of '{}' refused: {}", name, archive_path_, why));
  }
  // A failed create or open in the staging folder, which only this archive
  // fills: a file and a folder of one name is the archive's fault.
  [[noreturn]] void failed(int e, const std::string& name, const fs::path& p) const {
    if (e == EEXIST || e == ENOTDIR || e == EISDIR) refuse(name, "it clashes with an earlier member (a file and a folder of one name)");
    util::throw_os_error(e, fmt::format("cannot unpack '{}': cannot create", name), p.string());
  }
  void charge(const std::string& name, std::uint64_t n) {
    if (n > limits_.max_bytes - bytes_)
      refuse(name, fmt::format("the archive unpacks to more than {} bytes", limits_.max_bytes));
    bytes_ += n;
  }
  void make_folders(const std::string& name, const fs::path& p, unsigned mode) {
    std::error_code ec;
    const bool made = fs::create_directories(p, ec);
    if (ec) failed(ec.value(), name, p);
    if (made && ::chmod(p.c_str(), mode) != 0) util::throw_os_error(errno, "cannot set the mode of", p.string());
  }
  void copy_link(const std::string& name, const MemberVerdict& v, const fs::path& target) {
    if (!files_.count(v.link)) refuse(name, fmt::format("it is a hard link to '{}', which is no file before it", v.link));
    const fs::path source = fs::path(root_) / v.link;
    std::error_code ec;
    charge(name, fs::file_size(source, ec));
    if (!ec) fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec);
    if (ec) failed(ec.value(), name, target);
  }
  void write_file(archive_entry* e, const std::string& name, const fs::path& target, unsigned mode);

  archive* in_;
  std::string archive_path_;
  std::string root_;
  const UnpackLimits& limits_;
  std::uint64_t members_ = 0;
  std::uint64_t bytes_ = 0;
  std::unordered_set<std::string> files_;
};

void StagingWriter::write_file(archive_entry* e, const std::string& name, const fs::path& target, unsigned mode) {
  // The declared size is charged before a byte is written; data past it
  // (a size that lied) is charged as it comes.
  const auto declared = static_cast<std::uint64_t>(std::max<la_int64_t>(archive_entry_size(e), 0));
  charge(name, declared);
  std::uint64_t charged = declared;
  util::Fd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) failed(errno, name, target);
  const void* buf = nullptr;
  std::size_t size = 0;
  la_int64_t offset = 0;
  std::uint64_t end = 0, written = 0;
  int r;
  while ((r = archive_read_data_block(in_, &buf, &size, &offset)) == ARCHIVE_OK || r == ARCHIVE_WARN) {
    InterruptGuard::check();
    if (offset < 0) refuse(name, "its data has a negative offset");
    written += size;
    if (written > charged) {
      charge(name, written - charged);
      charged = written;
    }
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = ::pwrite(fd.get(), static_cast<const char*>(buf) + done, size - done, offset + static_cast<off_t>(done));
      if (n < 0) util::throw_os_error(errno, "cannot write", target.string());
      done += static_cast<std::size_t>(n);
    }
    end = std::max<std::uint64_t>(end, static_cast<std::uint64_t>(offset) + size);
  }
  if (r != ARCHIVE_EOF)
    throw Error(ErrorKind::archive, archive_path_,
                fmt::format("cannot read '{}' of '{}': {}", name, archive_path_, archive_error_string(in_)));
  // A sparse member may end in a hole: the file takes its full size.
  if (declared > end && ::ftruncate(fd.get(), static_cast<off_t>(declared)) != 0)
    util::throw_os_error(errno, "cannot write", target.string());
  if (const int err = ::fchmod(fd.get(), mode) != 0 ? errno : fd.close()) util::throw_os_error(err, "cannot write", target.string());
}

// Reads every member of the archive into `root`.
void stage(const std::string& archive_path, const std::string& root, const UnpackLimits& limits) {
  // A FIFO would keep the open waiting for a writer for ever, and a device
  // such as /dev/zero reads as an empty archive: only a regular file is an
  // archive.
  struct stat st {};
  if (::stat(archive_path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw Error(ErrorKind::invalid_input, archive_path,
                fmt::format("'{}' is {}, not a regular file", archive_path, util::file_type_text(st.st_mode)));
  ArchiveReader in(archive_read_new());
  if (!in) throw Error(ErrorKind::archive, archive_path, fmt::format("cannot read '{}': out of memory", archive_path));
  if (archive_read_support_filter_bzip2(in.get()) != ARCHIVE_OK || archive_read_support_format_tar(in.get()) != ARCHIVE_OK ||
      archive_read_open_filename(in.get(), archive_path.c_str(), 1 << 16) != ARCHIVE_OK)
    throw Error(ErrorKind::archive, archive_path,
                fmt::format("cannot read '{}': {}", archive_path, archive_error_string(in.get())));
  StagingWriter writer(in.get(), archive_path, root, limits);
  archive_entry* entry = nullptr;
  while (true) {
    InterruptGuard::check();
    const int r = archive_read_next_header(in.get(), &entry);
    // The sample is a bzip2-compressed tar archive: anything else (a plain
    // tar, a file of zeros, which reads as an empty tar) is not the sample.
    if ((r == ARCHIVE_OK || r == ARCHIVE_WARN || r == ARCHIVE_EOF) && archive_filter_code(in.get(), 0) != ARCHIVE_FILTER_BZIP2)
      throw Error(ErrorKind::archive, archive_path, fmt::format("'{}' is not a bzip2-compressed tar archive", archive_path));
    if (r == ARCHIVE_EOF) break;
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN)
      throw Error(ErrorKind::archive, archive_path,
                  fmt::format("cannot read '{}': {}", archive_path, archive_error_string(in.get())));
    writer.member(entry);
  }
}

// Everything staged, as paths relative to `root`, folders before what they hold.
std::vector<std::pair<fs::path, bool>> staged_entries(const fs::path& root) {
  std::vector<std::pair<fs::path, bool>> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    out.emplace_back(fs::relative(it->path(), root), it->is_directory() && !it->is_symlink());
  return out;
}

// Refuses, before anything moves, a staged file that would replace a folder
// of the bundle or a staged folder where the bundle has something else.
void check_fits(const std::vector<std::pair<fs::path, bool>>& entries, const fs::path& to, const std::string& archive_path) {
  for (const auto& [rel, is_dir] : entries) {
    std::error_code ec;
    const auto st = fs::status(to / rel, ec);
    if (!fs::exists(st)) continue;
    if (is_dir != fs::is_directory(st))
      throw Error(ErrorKind::archive, archive_path,
                  fmt::format("archive member '{}' of '{}' refused: '{}' is {} in the bundle folder", rel.string(), archive_path,
                              (to / rel).string(), is_dir ? "no folder" : "a folder"));
  }
}

// Moves one staged file over its place; across file systems (a bundle
// sub-folder linked elsewhere) through a copy beside the target.
void move_file(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return;
  if (errno != EXDEV) util::throw_os_error(errno, "cannot move into place", to.string());
  const fs::path part = to.string() + ".unpacking";
  std::error_code ec;
  fs::copy_file(from, part, fs::copy_options::overwrite_existing, ec);
  if (ec || ::rename(part.c_str(), to.c_str()) != 0) {
    const int e = ec ? ec.value() : errno;
    fs::remove(part, ec);
    util::throw_os_error(e, "cannot move into place", to.string());
  }
}

void move_into_place(const fs::path& from, const fs::path& to, const std::string& archive_path) {
  const auto entries = staged_entries(from);
  check_fits(entries, to, archive_path);
  for (const auto& [rel, is_dir] : entries) {
    InterruptGuard::check();
    if (is_dir) {
      std::error_code ec;
      fs::create_directory(to / rel, ec);
      if (ec) util::throw_os_error(ec.value(), "cannot create", (to / rel).string());
    } else {
      move_file(from / rel, to / rel);
    }
  }
}

}  // namespace

void unpack_into(const std::string& archive_path, const std::string& folder, const UnpackLimits& limits) {
  Staging staging(folder);
  stage(archive_path, staging.path(), limits);
  move_into_place(staging.path(), folder, archive_path);
}

}  // namespace tessal_plus::bundle::sample
