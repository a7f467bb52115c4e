#pragma once
// Unpacking the sample archive into the bundle folder: every member is
// judged (member_filter.hpp) and written into a hidden staging folder
// inside the bundle folder; only once the whole archive has passed are the
// members moved into place. A refused member, a limit reached or an
// interrupt leaves the bundle folder as it was.
#include <cstdint>
#include <string>

namespace tessal_plus::bundle::sample {

struct UnpackLimits {
  std::uint64_t max_bytes = std::uint64_t{64} << 30;  // TESSAL_UNPACK_MAX_BYTES
  std::uint64_t max_members = 1'000'000;              // TESSAL_UNPACK_MAX_MEMBERS
  static UnpackLimits from_environment();
};

// Unpacks the bzip2 tar `archive_path` into `folder` (which must exist).
// Throws util::Error: archive for a malformed archive, a refused member or
// a limit reached; an OS kind when the disk fails.
void unpack_into(const std::string& archive_path, const std::string& folder, const UnpackLimits& limits);

}  // namespace tessal_plus::bundle::sample
