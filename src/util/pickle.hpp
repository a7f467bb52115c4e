#pragma once
// The host's instrument list `instruments.pk`: a Python pickle of a list of
// dicts. The writer emits protocol 2; the reader accepts the data opcodes
// of protocols 2 to 5 only (containers, texts, numbers, booleans, None,
// bytes, memo). Any opcode that could build an object or call code (GLOBAL,
// REDUCE, BUILD, ...) is refused: a hostile file is an error, never code.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace util::pickle {

struct Value;
using ValuePtr = std::shared_ptr<Value>;
struct Value {
  enum class Kind { none, boolean, integer, real, text, bytes, list, tuple, dict, set } kind = Kind::none;
  bool b = false;
  std::int64_t i = 0;
  double d = 0;
  std::string s;                                   // text or bytes
  std::vector<ValuePtr> items;                     // list, tuple, set
  std::vector<std::pair<ValuePtr, ValuePtr>> map;  // dict, in insertion order
  std::size_t depth = 0;                           // levels of containers, itself included (0: no container)
  // Set once the stream refers to this value a second time (through the
  // memo). Such a value takes no further items: that keeps `depth` exact
  // for every container holding it and makes cycles impossible.
  bool shared = false;
  // Dict lookup by text key; nullptr when absent or not a dict.
  const Value* get(const std::string& key) const;
};

// Deepest nesting of containers the reader builds. Deeper streams are
// refused: every consumer (and the destructor of Value) walks the tree
// recursively, and a file of a few hundred kilobytes could otherwise nest
// deep enough to overflow the stack.
inline constexpr std::size_t MAX_DEPTH = 1000;

// Writes a list of records (text keys and text values) atomically.
using Record = std::vector<std::pair<std::string, std::string>>;
void write_records(const std::string& path, const std::vector<Record>& records);
// Reads such a list back, also as Python wrote it: the text keys of each
// dict with their scalar values as texts (None an empty text, booleans
// True/False); a record that is not a dict has no fields. Nothing when the
// file holds no list or tuple; read()'s errors otherwise.
std::optional<std::vector<Record>> read_records(const std::string& path);

// Reads a whole pickle. Throws util::Error (kind damaged) naming the file,
// the offset and the opcode for anything outside the data subset, for a
// truncated or malformed stream, for nesting deeper than MAX_DEPTH and for a
// memo index larger than the stream could use.
Value read(const std::string& path);
Value read_bytes(const std::string& data, const std::string& name);

}  // namespace util::pickle
