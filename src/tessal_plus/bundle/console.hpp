#pragma once
// The console of one run: one message per line, flushed at once so it keeps
// its place among the lines of worker processes; prompts; the one reader
// of answers at a prompt. And a suffix test the units share.
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tessal_plus::bundle {

class Console {
 public:
  // What writes the text as it is to appear, flushed: a program that embeds
  // the module and keeps a standard output of its own (the Python package
  // writes through sys.stdout, so the lines keep their order among the
  // host's prints and reach whatever the host redirected it to).
  using Writer = std::function<void(const std::string&)>;
  // Where answers come from: a line without its ending, nothing at end of
  // input.
  using AnswerReader = std::function<std::optional<std::string>()>;

  // Standard output and standard input.
  Console() = default;
  // Another stream (the command line's --json sends its document to
  // standard output and the console text to standard error).
  explicit Console(std::FILE* stream) : stream_(stream) {}
  Console(Writer writer, AnswerReader answers) : writer_(std::move(writer)), answers_(std::move(answers)) {}

  // Text exactly as given, flushed.
  void write(const std::string& s) const;
  void line(const std::string& s) const { write(s + "\n"); }
  // A prompt: the text without a line ending; the answer is typed after it.
  void prompt(const std::string& s) const { write(s); }
  // One answer typed at a prompt, without its line ending (a "\r" before it
  // too, as a Windows terminal or a here-document written there sends it).
  // Throws util::Error (end_of_input) at end of input: a prompt nobody can
  // answer must not count as any answer.
  std::string read_answer() const;

 private:
  std::FILE* stream_ = nullptr;  // standard output when null
  Writer writer_;
  AnswerReader answers_;
};

inline bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace tessal_plus::bundle
