#include "tessal_plus/bundle/sample/member_filter.hpp"

#include <vector>

#include <fmt/format.h>

namespace tessal_plus::bundle::sample {
namespace {

// The names of `path` in order, without empty and "." ones.
std::vector<std::string_view> names_of(std::string_view path) {
  std::vector<std::string_view> out;
  for (std::size_t at = 0; at <= path.size();) {
    std::size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view name = path.substr(at, end - at);
    at = end + 1;
    if (!name.empty() && name != ".") out.push_back(name);
  }
  return out;
}

// Splits `path` into its names, dropping empty and "." ones. Returns false
// (with `why` set) for an absolute path, a ".." anywhere, or names that are
// too long.
bool normalise(std::string_view path, std::string& out, std::string& why) {
  out.clear();
  if (path.size() > MAX_MEMBER_PATH) {
    why = fmt::format("its path is longer than {} bytes", MAX_MEMBER_PATH);
    return false;
  }
  if (!path.empty() && path.front() == '/') {
    why = "its path leads outside the bundle folder";
    return false;
  }
  for (const std::string_view name : names_of(path)) {
    if (name == "..") {
      why = "its path leads outside the bundle folder";
      return false;
    }
    if (name.size() > MAX_MEMBER_NAME) {
      why = fmt::format("a name in its path is longer than {} bytes", MAX_MEMBER_NAME);
      return false;
    }
    if (!out.empty()) out += '/';
    out.append(name);
  }
  return true;
}

// Whether a symbolic link's target, taken from the member's folder, stays
// inside the extraction folder.
bool link_stays_inside(const std::string& member, std::string_view target) {
  if (target.empty() || target.front() == '/') return false;
  std::vector<std::string_view> parts;
  auto walk = [&](std::string_view p) {
    for (const std::string_view name : names_of(p)) {
      if (name != "..") parts.push_back(name);
      else if (parts.empty()) return false;
      else parts.pop_back();
    }
    return true;
  };
  const std::size_t slash = member.rfind('/');
  return walk(slash == std::string::npos ? std::string_view() : std::string_view(member).substr(0, slash)) && walk(target);
}

// Whether `name` is one the writers give their own control files beside a
// store file X: the rollback journal `.X.h5.journal` and the unfinished
// refill `.X.h5.rebuild` (or `.X.h5.rebuild-<pid>-<random>`). The
// next writer or check of X trusts such a file to be its own, so a journal
// delivered beside X would be played onto it and a refill left in place
// could be renamed over it.
bool is_control_name(std::string_view name) {
  constexpr std::string_view journal = ".journal";
  const bool journal_like = name.size() > journal.size() && name.front() == '.' && name.ends_with(journal);
  return journal_like || name.find(".h5.rebuild") != std::string_view::npos;
}

// The first name in the normalised `path` that is a control file's name
// (a folder of such a name would stand where a writer expects its file).
std::string_view control_name_in(std::string_view path) {
  std::size_t at = 0;
  while (at < path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view name = path.substr(at, end - at);
    if (is_control_name(name)) return name;
    at = end + 1;
  }
  return {};
}

const char* refusal_of_type(MemberType type) {
  switch (type) {
    case MemberType::block_device: return "it is a block device; the bundle holds only files and folders";
    case MemberType::char_device: return "it is a character device; the bundle holds only files and folders";
    case MemberType::fifo: return "it is a named pipe (FIFO); the bundle holds only files and folders";
    case MemberType::socket: return "it is a socket; the bundle holds only files and folders";
    case MemberType::other: return "it is of an unknown type; the bundle holds only files and folders";
    default: return nullptr;
  }
}

}  // namespace

MemberVerdict judge_member(std::string_view path, MemberType type, std::string_view link_target, unsigned mode) {
  MemberVerdict v;
  if (!normalise(path, v.path, v.reason)) return v;
  if (const char* why = refusal_of_type(type)) {
    v.reason = why;
    return v;
  }
  if (v.path.empty() && type != MemberType::directory) {
    v.reason = "it has no name";
    return v;
  }
  if (const std::string_view name = control_name_in(v.path); !name.empty()) {
    v.reason = fmt::format("'{}' is the name of a rollback journal or an unfinished store file, which only the bundle's writers make", name);
    return v;
  }
  if (type == MemberType::symlink) {
    v.reason = link_stays_inside(v.path, link_target)
                   ? "it is a symbolic link; the bundle holds only files and folders"
                   : "it is a symbolic link to a place outside the bundle folder";
    return v;
  }
  if (type == MemberType::hardlink) {
    std::string ignored;
    if (!normalise(link_target, v.link, ignored) || v.link.empty()) {
      v.reason = "it is a hard link to a file outside the bundle folder";
      return v;
    }
    if (v.link == v.path) {
      v.reason = "it is a hard link to itself";
      return v;
    }
  }
  const unsigned kept = mode & 0755u;  // drops setuid, setgid, sticky and group/world write
  v.mode = type == MemberType::directory ? (kept | 0700u) : (kept | 0600u);
  v.accepted = true;
  return v;
}

}  // namespace tessal_plus::bundle::sample
