#include <stdexcept>

#include "tessal_plus/bundle/commands.hpp"

namespace tessal_plus::bundle {
void download_simple_bundle(const std::string&, bool, const std::optional<std::string>&) {
  throw std::runtime_error("the sample download is not available yet");
}
bool pack_sample_bundle(const std::string&, int) { throw std::runtime_error("packing a sample is not available yet"); }
}  // namespace tessal_plus::bundle
