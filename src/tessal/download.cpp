#include <cerrno>
#include <vector>

#include <fmt/format.h>

#include "tessal/native_host.hpp"
#include "util/error.hpp"
#include "util/progress.hpp"

namespace tessal {

void NativeHost::download(std::FILE* out, std::int64_t total_length, const std::string& url, const BodyReader& body) {
  util::ProgressBar bar(total_length, /*bytes=*/true);
  std::vector<char> buf(1 << 16);
  std::int64_t done = 0;
  while (const std::size_t n = body(buf.data(), buf.size())) {
    // The announced length is what was made room for: a body that runs past
    // it is refused before the excess reaches the disk.
    done += static_cast<std::int64_t>(n);
    if (done > total_length)
      throw util::Error(util::ErrorKind::network, url,
                        fmt::format("the download of {} is longer than the {} bytes announced", url, total_length));
    if (std::fwrite(buf.data(), 1, n, out) != n) util::throw_os_error(errno, "cannot write the download of", url);
    bar.advance(static_cast<std::int64_t>(n));
  }
  if (std::fflush(out) != 0) util::throw_os_error(errno, "cannot write the download of", url);
}

}  // namespace tessal
