#pragma once
// A 64-bit mixing function (the finaliser of the splitmix64 generator):
// spreads every input bit over the output, for seeding and hashing where a
// draw must be reproducible from its inputs alone.
#include <cstdint>

namespace util {

constexpr std::uint64_t mix64(std::uint64_t x) noexcept {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

}  // namespace util
