#include "tessal_plus/bundle/errors.hpp"

#include <new>
#include <system_error>

namespace tessal_plus::bundle {

std::optional<util::ErrorKind> kind_of(const std::exception& e) noexcept {
  if (const auto* u = dynamic_cast<const util::Error*>(&e)) return u->kind();
  if (const auto* s = dynamic_cast<const std::system_error*>(&e)) return util::kind_of_errno(s->code().value());
  // A declared size too big to hold comes from a damaged file.
  if (dynamic_cast<const std::bad_alloc*>(&e)) return util::ErrorKind::damaged;
  return std::nullopt;
}

int os_errno_of(const std::exception& e) noexcept {
  // An interruption's number is its signal's, not an errno.
  if (const auto* u = dynamic_cast<const util::Error*>(&e)) return u->kind() == util::ErrorKind::interrupted ? 0 : u->os_errno();
  if (const auto* s = dynamic_cast<const std::system_error*>(&e))
    if (s->code().category() == std::generic_category() || s->code().category() == std::system_category()) return s->code().value();
  return 0;
}

void pass_interruptions(const std::exception& e) {
  if (kind_of(e) == util::ErrorKind::interrupted) throw;
}

bool is_os_failure(const std::exception& e) noexcept {
  const auto k = kind_of(e);
  return k && (*k == util::ErrorKind::locked || *k == util::ErrorKind::permission || *k == util::ErrorKind::not_found ||
               *k == util::ErrorKind::os);
}

}  // namespace tessal_plus::bundle
