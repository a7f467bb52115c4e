#pragma once
// How the module sorts failures: one rule for the writers (which log them)
// and the checks (which report files as broken or held).
#include <optional>

#include "util/error.hpp"

namespace tessal_plus::bundle {

// The kind of a failure: util::Error's own kind; a standard system error
// (std::filesystem, std::system_error) by its errno; out of memory as an
// damaged file; nothing for any other exception.
std::optional<util::ErrorKind> kind_of(const std::exception& e) noexcept;

// The errno behind a failure: util::Error's own, a standard system error's
// code; 0 when there is none (and for an interruption).
int os_errno_of(const std::exception& e) noexcept;

// An interruption (Ctrl-C in a Python host, a request to stop) is never the
// failure of a task or a file: it goes on to the caller unchanged. Call it
// in a handler: it rethrows the exception being handled when it is one.
void pass_interruptions(const std::exception& e);

// The operating system refused or failed the access (as opposed to the
// content being wrong).
bool is_os_failure(const std::exception& e) noexcept;

}  // namespace tessal_plus::bundle
