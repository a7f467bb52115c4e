#pragma once
// The one error type of the bundle code. Every failure that crosses a
// boundary (HDF5, a system call, the market-data service, libarchive,
// libcurl, bytes read from a file) becomes an Error with a kind, the errno
// that lay behind it (0 when none) and the path or address it concerns, so
// callers sort failures by kind instead of by message text or C++ type.
#include <stdexcept>
#include <string>
#include <string_view>

namespace util {

enum class ErrorKind {
  locked,         // another process holds the file (EAGAIN/EWOULDBLOCK)
  permission,     // EACCES/EPERM, read-only file system
  not_found,      // ENOENT
  os,             // any other operating-system error (ENOSPC, EIO, EISDIR, ...)
  damaged,        // a file's bytes are not what its format promises
  service,        // the market-data service failed a request
  denied,         // the service refused a request the account may not make
  archive,        // an archive is malformed or holds a member that is refused
  network,        // a transfer failed (connection, timeout, HTTP status)
  invalid_input,  // a value given by the caller or the user is not acceptable
  end_of_input,   // standard input ended where an answer was expected
  interrupted,    // the user stopped the run (SIGINT, SIGTERM); os_errno() is the signal
  unavailable,    // a library the program needs cannot be set up (not a fault of any file)
};

std::string_view kind_name(ErrorKind kind) noexcept;

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, std::string path, const std::string& what, int os_errno = 0)
      : std::runtime_error(what), kind_(kind), errno_(os_errno), path_(std::move(path)) {}
  ErrorKind kind() const noexcept { return kind_; }
  int os_errno() const noexcept { return errno_; }
  const std::string& path() const noexcept { return path_; }
  // True when the operating system refused or failed the access, as opposed
  // to the content being wrong.
  bool is_os_error() const noexcept {
    return kind_ == ErrorKind::locked || kind_ == ErrorKind::permission || kind_ == ErrorKind::not_found ||
           kind_ == ErrorKind::os;
  }

 private:
  ErrorKind kind_;
  int errno_;
  std::string path_;
};

// The kind an errno value stands for.
ErrorKind kind_of_errno(int e) noexcept;

// Throws the Error of a failed system call: `action` names what was tried,
// the message gets the path and strerror(e). Save errno before calling
// anything else, and pass it here.
[[noreturn]] void throw_os_error(int e, const std::string& action, const std::string& path);

// Shorthand for errors without an errno.
[[noreturn]] void fail(ErrorKind kind, const std::string& path, const std::string& what);

}  // namespace util
