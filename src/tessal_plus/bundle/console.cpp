#include "tessal_plus/bundle/console.hpp"

#include <iostream>

#include "util/error.hpp"

namespace tessal_plus::bundle {

namespace {
std::function<std::optional<std::string>()>& answer_reader() {
  static std::function<std::optional<std::string>()> reader;
  return reader;
}
std::FILE*& stream_slot() noexcept {
  static std::FILE* stream = nullptr;
  return stream;
}
ConsoleWriter& writer_slot() noexcept {
  static ConsoleWriter writer;
  return writer;
}
}  // namespace

std::FILE* console_stream() noexcept { return stream_slot() ? stream_slot() : stdout; }
void set_console_stream(std::FILE* stream) noexcept { stream_slot() = stream; }
void set_console_writer(ConsoleWriter writer) { writer_slot() = std::move(writer); }
const ConsoleWriter& console_writer() noexcept { return writer_slot(); }

void set_answer_reader(std::function<std::optional<std::string>()> reader) { answer_reader() = std::move(reader); }

std::string read_answer() {
  std::string line;
  if (answer_reader()) {
    auto answer = answer_reader()();
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
