#include "tessal_plus/bundle/run.hpp"

#include <unistd.h>

#include <fmt/format.h>

#include "tessal_plus/bundle/constants.hpp"
#include "util/error.hpp"

namespace tessal_plus::bundle {

Shard checked_shard(std::uint32_t index, std::uint32_t count) {
  if (count == 0 || index >= count)
    util::fail(util::ErrorKind::invalid_input, "", fmt::format("shard {}/{}: K must be at least 0 and less than N", index, count));
  return Shard{index, count};
}

std::uint64_t fnv1a64(std::string_view id) noexcept {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const unsigned char c : id) h = (h ^ c) * 0x100000001b3ULL;
  return h;
}

std::uint32_t shard_of(std::string_view id, std::uint32_t count) noexcept {
  return count == 0 ? 0 : static_cast<std::uint32_t>(fnv1a64(id) % count);
}

const h5::FilterSpec& Run::compression() const {
  if (!compression_) compression_ = host.blosc_opts(9, "blosc:lz4");
  return *compression_;
}

void Run::worker_started() const {
  const pid_t self = ::getpid();
  if (hooked_pid_ == self) return;
  hooked_pid_ = self;
  client.on_worker_start();
}

}  // namespace tessal_plus::bundle
