// Any byte string given to the pickle reader either yields a value or a
// util::Error; never a crash, a leak, a hang or an unbounded allocation.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "util/error.hpp"
#include "util/pickle.hpp"

namespace {
// Walks the value as a consumer would, checking the depth the reader reports.
std::size_t walk(const util::pickle::Value& v) {
  std::size_t d = 0;
  for (const auto& item : v.items) d = std::max(d, walk(*item));
  for (const auto& [k, val] : v.map) d = std::max({d, walk(*k), walk(*val)});
  const bool container = v.kind == util::pickle::Value::Kind::list || v.kind == util::pickle::Value::Kind::tuple ||
                         v.kind == util::pickle::Value::Kind::dict || v.kind == util::pickle::Value::Kind::set;
  return container ? d + 1 : d;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  try {
    const auto v = util::pickle::read_bytes(bytes, "fuzz.pk");
    if (walk(v) > util::pickle::MAX_DEPTH || walk(v) != v.depth) __builtin_trap();
  } catch (const util::Error&) {
  }
  return 0;
}
