#include <stdexcept>

#include "tessal_plus/bundle/checks.hpp"

namespace tessal_plus::bundle {
void deal_with_check_result(const std::vector<std::string>&, const std::vector<std::string>&, const std::string&) {
  throw std::runtime_error("the store checks are not available yet");
}
void check_min_bar_data(const std::string&) { throw std::runtime_error("the store checks are not available yet"); }
void check_tick_data(const std::string&) { throw std::runtime_error("the store checks are not available yet"); }
}  // namespace tessal_plus::bundle
