#include "tessal_plus/bundle/console.hpp"

#include <iostream>

#include "util/error.hpp"

namespace tessal_plus::bundle {

void Console::write(const std::string& s) const {
  if (writer_) return writer_(s);
  std::FILE* out = stream_ ? stream_ : stdout;
  std::fputs(s.c_str(), out);
  std::fflush(out);
}

std::string Console::read_answer() const {
  std::string line;
  if (answers_) {
    auto answer = answers_();
    if (!answer) util::fail(util::ErrorKind::end_of_input, "", "EOF when reading a line");
    line = std::move(*answer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
  } else if (!std::getline(std::cin, line)) {
    util::fail(util::ErrorKind::end_of_input, "", "EOF when reading a line");
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace tessal_plus::bundle
