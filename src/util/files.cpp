#include "util/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include <fmt/format.h>

#include "util/error.hpp"
#include "util/fd.hpp"

namespace util {

const char* file_type_text(unsigned mode) noexcept {
  switch (mode & S_IFMT) {
    case S_IFREG: return "a regular file";
    case S_IFDIR: return "a folder";
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    case S_IFLNK: return "a symbolic link";
    default: return "not a regular file";
  }
}

std::string read_small_file(const std::string& path, std::uint64_t cap) {
  const auto not_regular = [&](unsigned mode) {
    throw Error(ErrorKind::invalid_input, path, fmt::format("'{}' is {}, not a regular file", path, file_type_text(mode)));
  };
  // What is not a regular file is refused before it is opened (opening a
  // device may do something), and again on what was opened, in case the
  // name changed in between: opened non-blocking, a FIFO returns at once
  // instead of waiting for a writer.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) not_regular(st.st_mode);
  const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) {
    const int e = errno;
    throw_os_error(e, "cannot open", path);
  }
  const auto too_large = [&](std::uint64_t size) {
    const std::string most = cap >= (1 << 20) && cap % (1 << 20) == 0 ? fmt::format("{} MiB", cap >> 20) : fmt::format("{} bytes", cap);
    throw Error(ErrorKind::damaged, path, fmt::format("'{}' is {} bytes, larger than the {} it may have", path, size, most), EFBIG);
  };
  if (::fstat(fd.get(), &st) != 0) {
    const int e = errno;
    throw_os_error(e, "cannot read", path);
  }
  if (!S_ISREG(st.st_mode)) not_regular(st.st_mode);
  const auto announced = static_cast<std::uint64_t>(st.st_size);
  if (announced > cap) too_large(announced);
  std::string out(static_cast<std::size_t>(announced), '\0');
  std::size_t got = 0;
  while (true) {
    // One byte of room past the end tells a file that grew from one that ended.
    if (got == out.size()) out.resize(out.size() + std::min<std::uint64_t>(cap - out.size(), 1 << 16) + 1);
    const ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
    if (n < 0) {
      const int e = errno;
      if (e == EINTR) continue;
      throw_os_error(e, "cannot read", path);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
    if (got > cap) too_large(got);
  }
  out.resize(got);
  return out;
}

std::string unique_suffix() { return fmt::format("{}-{:08x}", ::getpid(), std::random_device{}()); }

std::string temp_path_beside(const std::string& path, std::string_view tag) {
  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return fmt::format("{}.{}{}-{}", folder, name, tag, unique_suffix());
}

namespace {

// 0 or the errno of the first failing write.
int write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace

void sync_folder_of(const std::string& path) noexcept {
  try {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const Fd d(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.valid()) ::fsync(d.get());
  } catch (...) {  // bad_alloc: the sync is best effort
  }
}

void write_atomically(const std::string& path, std::string_view bytes, bool durable) {
  std::string temp;
  Fd fd;
  // A clash of names means another writer's file: draw another name.
  for (int attempt = 0; attempt < 16 && !fd.valid(); ++attempt) {
    temp = temp_path_beside(path);
    fd.reset(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (const int e = errno; !fd.valid() && e != EEXIST) throw_os_error(e, "cannot write", temp);
  }
  if (!fd.valid()) throw_os_error(EEXIST, "cannot write", temp);
  int e = write_all(fd.get(), bytes);
  if (e == 0 && durable && ::fsync(fd.get()) != 0) e = errno;
  if (e == 0) e = fd.close();
  if (e != 0) {
    fd.reset();
    ::unlink(temp.c_str());
    throw_os_error(e, "cannot write", temp);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    e = errno;
    ::unlink(temp.c_str());
    throw_os_error(e, "cannot replace", path);
  }
  if (durable) sync_folder_of(path);
}

}  // namespace util
