// The archive member filter: whatever path, type, link target and mode an
// archive claims, an accepted member lands inside the bundle folder, is a
// file or a folder (a hard link is written as a copy), bears no name of the
// writers' control files, and keeps no dangerous mode bit.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tessal_plus/bundle/sample/member_filter.hpp"

using namespace tessal_plus::bundle::sample;

namespace {
// `own`: the member's own path, which never names a control file (a hard
// link's target may; the unpacker finds no such file before it).
void check_path(const std::string& p, bool own) {
  if (p.size() > MAX_MEMBER_PATH || (!p.empty() && p.front() == '/') || (!p.empty() && p.back() == '/')) __builtin_trap();
  std::size_t at = 0;
  while (at <= p.size() && !p.empty()) {
    std::size_t end = p.find('/', at);
    if (end == std::string::npos) end = p.size();
    const std::string_view name(p.data() + at, end - at);
    if (name.empty() || name == "." || name == ".." || name.size() > MAX_MEMBER_NAME) __builtin_trap();
    if (own && ((name.starts_with('.') && name.ends_with(".journal") && name.size() > 8) ||
                name.find(".h5.rebuild") != std::string_view::npos))
      __builtin_trap();  // a journal or refill of the writers' own
    at = end + 1;
  }
}
}  // namespace

// Input: one byte of type, two of mode, then the path and the link target
// separated by a NUL byte.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const auto type = static_cast<MemberType>(data[0] % 9);
  const unsigned mode = (static_cast<unsigned>(data[1]) << 8 | data[2]) & 07777u;
  const std::string_view rest(reinterpret_cast<const char*>(data + 3), size - 3);
  const std::size_t nul = rest.find('\0');
  const std::string_view path = rest.substr(0, nul);
  const std::string_view link = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  const MemberVerdict v = judge_member(path, type, link, mode);
  if (!v.accepted) {
    if (v.reason.empty()) __builtin_trap();
    return 0;
  }
  if (type != MemberType::regular && type != MemberType::directory && type != MemberType::hardlink) __builtin_trap();
  if (v.mode & 07022u) __builtin_trap();  // setuid, setgid, sticky, group or world write
  if ((v.mode & 0600u) != 0600u) __builtin_trap();
  check_path(v.path, true);
  if (v.path.empty() && type != MemberType::directory) __builtin_trap();
  if (type == MemberType::hardlink) {
    if (v.link.empty()) __builtin_trap();
    check_path(v.link, false);
  }
  return 0;
}
