#pragma once
// The host's instrument list `instruments.pk`: a Python pickle of a list of
// dicts. The writer emits protocol 2; the reader accepts the data opcodes
// of protocols 2 to 5 only (containers, texts, numbers, booleans, None,
// bytes, memo). Any opcode that could build an object or call code (GLOBAL,
// REDUCE, BUILD, ...) is refused: a hostile file is an error, never code.
#include <cstdint>
#include <map>
#include <memory>
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
  // Dict lookup by text key; nullptr when absent or not a dict.
  const Value* get(const std::string& key) const;
};

// Writes a list of records (text keys and text values) atomically.
void write_records(const std::string& path, const std::vector<std::vector<std::pair<std::string, std::string>>>& records);

// Reads a whole pickle. Throws std::runtime_error naming the file, the
// offset and the opcode for anything outside the data subset, and for a
// truncated or malformed stream.
Value read(const std::string& path);
Value read_bytes(const std::string& data, const std::string& name);

}  // namespace util::pickle
