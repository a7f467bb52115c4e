#include "tessal_plus/bundle/console.hpp"

#include <iostream>

#include "util/error.hpp"

namespace tessal_plus::bundle {

std::string read_answer() {
  std::string line;
  if (!std::getline(std::cin, line)) util::fail(util::ErrorKind::invalid_input, "", "EOF when reading a line");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace tessal_plus::bundle
