#pragma once
// Small helpers shared by the module's units: one message per line on the
// console (standard output), flushed at once so it keeps its place among the
// lines of worker processes; the prompt; the one reader of answers at a
// prompt; a suffix test.
#include <cstdio>
#include <string>
#include <string_view>
#include <functional>
#include <optional>

namespace tessal_plus::bundle {

// Where console lines and prompts go: standard output, unless the program
// needs standard output for something else (the command line's --json sends
// its document there and the console text to standard error). Process-wide
// and inherited by forked workers, so set it before an operation starts.
std::FILE* console_stream() noexcept;
void set_console_stream(std::FILE* stream) noexcept;

// What writes console text instead of the stream, when set: a program that
// embeds the module and keeps a standard output of its own (the Python
// package writes through sys.stdout, so the lines keep their order among
// the host's prints and reach whatever the host redirected it to). The
// writer gets the text as it is to appear and flushes it. Process-wide.
using ConsoleWriter = std::function<void(const std::string&)>;
void set_console_writer(ConsoleWriter writer);
const ConsoleWriter& console_writer() noexcept;

// Text exactly as given, flushed.
inline void write_console(const std::string& s) {
  if (const auto& writer = console_writer()) return writer(s);
  std::FILE* out = console_stream();
  std::fputs(s.c_str(), out);
  std::fflush(out);
}

inline void print_line(const std::string& s) { write_console(s + "\n"); }

// A prompt: the text without a line ending, flushed, the answer is typed
// after it.
inline void print_prompt(const std::string& s) { write_console(s); }

// One answer typed at a prompt: a line of standard input without its line
// ending (a "\r" before it too, as a Windows terminal or a here-document
// written there sends it). Throws util::Error at end of input: a prompt
// nobody can answer must not count as any answer.
std::string read_answer();
// Where answers come from: std::cin unless a program that embeds the module
// reads its own standard input (the Python package reads sys.stdin). The
// reader returns nothing at end of input.
void set_answer_reader(std::function<std::optional<std::string>()> reader);

inline bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace tessal_plus::bundle
