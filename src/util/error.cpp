#include "util/error.hpp"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace util {

std::string_view kind_name(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::locked: return "locked";
    case ErrorKind::permission: return "permission";
    case ErrorKind::not_found: return "not_found";
    case ErrorKind::os: return "os";
    case ErrorKind::damaged: return "damaged";
    case ErrorKind::service: return "service";
    case ErrorKind::denied: return "denied";
    case ErrorKind::archive: return "archive";
    case ErrorKind::network: return "network";
    case ErrorKind::invalid_input: return "invalid_input";
    case ErrorKind::end_of_input: return "end_of_input";
    case ErrorKind::interrupted: return "interrupted";
    case ErrorKind::unavailable: return "unavailable";
  }
  return "unknown";
}

ErrorKind kind_of_errno(int e) noexcept {
  if (e == EAGAIN || e == EWOULDBLOCK) return ErrorKind::locked;
  if (e == EACCES || e == EPERM || e == EROFS) return ErrorKind::permission;
  if (e == ENOENT) return ErrorKind::not_found;
  return ErrorKind::os;
}

void throw_os_error(int e, const std::string& action, const std::string& path) {
  throw Error(kind_of_errno(e), path, fmt::format("{} '{}': {}", action, path, std::strerror(e)), e);
}

void fail(ErrorKind kind, const std::string& path, const std::string& what) { throw Error(kind, path, what); }

}  // namespace util
