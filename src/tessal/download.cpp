#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "util/progress.hpp"
#include "tessal_plus/bundle/outside/host.hpp"

namespace tessal::cmds::bundle {

void download(std::FILE* out, std::int64_t total_length, const std::string& url, const BodyReader& body) {
  util::ProgressBar bar(total_length, /*bytes=*/true);
  std::vector<char> buf(1 << 16);
  while (const std::size_t n = body(buf.data(), buf.size())) {
    if (std::fwrite(buf.data(), 1, n, out) != n)
      throw std::runtime_error(fmt::format("cannot write the download of {}: {}", url, std::strerror(errno)));
    bar.advance(static_cast<std::int64_t>(n));
  }
  if (std::fflush(out) != 0) throw std::runtime_error(fmt::format("cannot write the download of {}: {}", url, std::strerror(errno)));
}

}  // namespace tessal::cmds::bundle
