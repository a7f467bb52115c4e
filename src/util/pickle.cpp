#include "util/pickle.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include <fmt/format.h>

#include "util/error.hpp"
#include "util/files.hpp"

namespace util::pickle {

const Value* Value::get(const std::string& key) const {
  if (kind != Kind::dict) return nullptr;
  for (const auto& [k, v] : map)
    if (k->kind == Kind::text && k->s == key) return v.get();
  return nullptr;
}

namespace {

void put_text(std::string& out, const std::string& s) {
  out += 'X';
  const auto n = static_cast<std::uint32_t>(s.size());
  for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xff);
  out += s;
}

class Reader {
 public:
  Reader(const std::string& data, const std::string& name) : d_(data), name_(name) {}

  // One line per accepted opcode, so the whole accepted subset reads as one
  // table; anything not listed is refused by the default case.
  Value run() {
    while (true) {
      const std::size_t at = pos_;
      const auto op = static_cast<unsigned char>(byte());
      switch (op) {
        case 0x80: {  // PROTO
          const int proto = static_cast<unsigned char>(byte());
          if (proto < 2 || proto > 5) fail(at, fmt::format("protocol {} is not supported (2 to 5 are)", proto));
          break;
        }
        case 0x95: take(8); break;  // FRAME: the length only groups opcodes
        case '.':                   // STOP
          if (stack_.size() != 1 || !marks_.empty()) fail(at, "malformed stream at STOP");
          return *stack_.back();
        case '(': marks_.push_back(stack_.size()); break;
        case ']': push(Value::Kind::list); break;
        case '}': push(Value::Kind::dict); break;
        case ')': push(Value::Kind::tuple); break;
        case 0x8f: push(Value::Kind::set); break;  // EMPTY_SET
        case 'N': push(Value::Kind::none); break;
        case 0x88: push_bool(true); break;
        case 0x89: push_bool(false); break;
        case 'J': push_int(static_cast<std::int32_t>(le(4))); break;
        case 'K': push_int(static_cast<std::int64_t>(le(1))); break;
        case 'M': push_int(static_cast<std::int64_t>(le(2))); break;
        case 0x8a: push_long1(at); break;  // LONG1
        case 'G': push_binfloat(); break;  // BINFLOAT
        case 'X': push_text(take(le(4))); break;
        case 0x8c: push_text(take(le(1))); break;  // SHORT_BINUNICODE
        case 0x8d: push_text(take(le(8))); break;  // BINUNICODE8
        case 'B': push_bytes(take(le(4))); break;
        case 'C': push_bytes(take(le(1))); break;
        case 0x8e: push_bytes(take(le(8))); break;
        case 'q': memo(at, le(1)); break;  // BINPUT
        case 'r': memo(at, le(4)); break;  // LONG_BINPUT
        case 0x94: memo(at, memo_.size()); break;  // MEMOIZE
        case 'h': recall(at, le(1)); break;        // BINGET
        case 'j': recall(at, le(4)); break;        // LONG_BINGET
        case 'a': {                                // APPEND
          auto v = pop(at);
          add_items(at, Value::Kind::list, {v});
          break;
        }
        case 'e': {  // APPENDS
          add_items(at, Value::Kind::list, pop_mark(at));
          break;
        }
        case 0x90: {  // ADDITEMS
          add_items(at, Value::Kind::set, pop_mark(at));
          break;
        }
        case 's': {  // SETITEM
          auto v = pop(at);
          auto k = pop(at);
          add_items(at, Value::Kind::dict, {k, v});
          break;
        }
        case 'u': {  // SETITEMS
          auto items = pop_mark(at);
          if (items.size() % 2) fail(at, "odd number of items for SETITEMS");
          add_items(at, Value::Kind::dict, std::move(items));
          break;
        }
        case 't': case 'l': case 'd': case 0x91: build_from_mark(op, at); break;  // TUPLE, LIST, DICT, FROZENSET
        case 0x85: case 0x86: case 0x87: build_small_tuple(op - 0x84u, at); break;  // TUPLE1..3
        case '0': pop(at); break;  // POP
        default:
          fail(at, fmt::format("opcode 0x{:02x} ('{}') is not allowed: only plain data is accepted", op,
                               op >= 32 && op < 127 ? std::string(1, static_cast<char>(op)) : std::string("?")));
      }
    }
  }

 private:
  void push_long1(std::size_t at) {
    const std::size_t n = le(1);
    if (n > 8) fail(at, "integer too large");
    std::uint64_t u = n ? le(n) : 0;
    if (n && n < 8 && (u >> (8 * n - 1)) & 1) u |= ~0ULL << (8 * n);
    push_int(static_cast<std::int64_t>(u));
  }
  // A big-endian IEEE double.
  void push_binfloat() {
    std::uint64_t u = 0;
    for (char c : take(8)) u = (u << 8) | static_cast<unsigned char>(c);
    double v;
    std::memcpy(&v, &u, 8);
    auto val = std::make_shared<Value>();
    val->kind = Value::Kind::real, val->d = v;
    stack_.push_back(val);
  }
  // TUPLE, LIST, DICT, FROZENSET: a container of the items above the mark.
  void build_from_mark(unsigned char op, std::size_t at) {
    auto items = pop_mark(at);
    auto v = std::make_shared<Value>();
    v->depth = depth_above(at, items);
    if (op == 'd') {
      if (items.size() % 2) fail(at, "odd number of items for DICT");
      v->kind = Value::Kind::dict;
      for (std::size_t i = 0; i < items.size(); i += 2) v->map.emplace_back(items[i], items[i + 1]);
    } else {
      v->kind = op == 't' ? Value::Kind::tuple : op == 'l' ? Value::Kind::list : Value::Kind::set;
      v->items = std::move(items);
    }
    stack_.push_back(v);
  }
  // TUPLE1..3: a tuple of the top n items.
  void build_small_tuple(std::size_t n, std::size_t at) {
    if (stack_.size() < n + base()) fail(at, "stack underflow");
    auto v = std::make_shared<Value>();
    v->kind = Value::Kind::tuple;
    v->items.assign(stack_.end() - static_cast<std::ptrdiff_t>(n), stack_.end());
    stack_.resize(stack_.size() - n);
    v->depth = depth_above(at, v->items);
    stack_.push_back(v);
  }
  [[noreturn]] void fail(std::size_t at, const std::string& why) const {
    throw Error(ErrorKind::damaged, name_, fmt::format("cannot read '{}' at byte {}: {}", name_, at, why));
  }
  char byte() {
    if (pos_ >= d_.size()) fail(pos_, "truncated file");
    return d_[pos_++];
  }
  std::string take(std::size_t n) {
    if (n > d_.size() - pos_) fail(pos_, "truncated file");
    std::string s = d_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  std::uint64_t le(std::size_t n) {
    std::uint64_t u = 0;
    const std::string b = take(n);
    for (std::size_t i = 0; i < n; ++i) u |= static_cast<std::uint64_t>(static_cast<unsigned char>(b[i])) << (8 * i);
    return u;
  }
  std::size_t base() const { return marks_.empty() ? 0 : marks_.back(); }
  void push(Value::Kind k) {
    auto v = std::make_shared<Value>();
    v->kind = k;
    v->depth = k == Value::Kind::list || k == Value::Kind::dict || k == Value::Kind::tuple || k == Value::Kind::set;
    stack_.push_back(v);
  }
  void push_bool(bool b) {
    push(Value::Kind::boolean);
    stack_.back()->b = b;
  }
  void push_int(std::int64_t i) {
    push(Value::Kind::integer);
    stack_.back()->i = i;
  }
  void push_text(std::string s) {
    push(Value::Kind::text);
    stack_.back()->s = std::move(s);
  }
  void push_bytes(std::string s) {
    push(Value::Kind::bytes);
    stack_.back()->s = std::move(s);
  }
  ValuePtr pop(std::size_t at) {
    if (stack_.size() <= base()) fail(at, "stack underflow");
    auto v = stack_.back();
    stack_.pop_back();
    return v;
  }
  std::vector<ValuePtr> pop_mark(std::size_t at) {
    if (marks_.empty()) fail(at, "no MARK");
    const std::size_t m = marks_.back();
    marks_.pop_back();
    std::vector<ValuePtr> items(stack_.begin() + static_cast<std::ptrdiff_t>(m), stack_.end());
    stack_.resize(m);
    return items;
  }
  // The depth of a new container holding `items`.
  std::size_t depth_above(std::size_t at, const std::vector<ValuePtr>& items) const {
    std::size_t d = 1;
    for (const auto& v : items) d = std::max(d, v->depth + 1);
    if (d > MAX_DEPTH) fail(at, fmt::format("containers nested deeper than {} levels", MAX_DEPTH));
    return d;
  }
  // Adds `items` (key, value pairs for a dict) to the container on top of
  // the stack.
  void add_items(std::size_t at, Value::Kind k, std::vector<ValuePtr> items) {
    if (stack_.size() <= base() || stack_.back()->kind != k) fail(at, "item added to a value of the wrong kind");
    Value& c = *stack_.back();
    if (c.shared) fail(at, "items added to a container the stream already refers to elsewhere (a cycle)");
    c.depth = std::max(c.depth, depth_above(at, items));
    if (k == Value::Kind::dict) {
      for (std::size_t i = 0; i + 1 < items.size(); i += 2) c.map.emplace_back(items[i], items[i + 1]);
    } else {
      c.items.insert(c.items.end(), items.begin(), items.end());
    }
  }
  // Every PUT takes at least two bytes, so a stream can fill at most as
  // many memo entries as it has bytes; a larger index only ever comes from
  // a hostile or broken file. Entries live in a map, so a large index costs
  // nothing before it is refused either.
  void memo(std::size_t at, std::uint64_t idx) {
    if (stack_.empty()) fail(at, "memo of an empty stack");
    if (idx >= std::max<std::size_t>(256, d_.size()))
      fail(at, fmt::format("memo index {} is larger than a stream of {} bytes can use", idx, d_.size()));
    memo_[idx] = stack_.back();
  }
  void recall(std::size_t at, std::uint64_t idx) {
    const auto it = memo_.find(idx);
    if (it == memo_.end()) fail(at, "memo entry not set");
    it->second->shared = true;
    stack_.push_back(it->second);
  }

  const std::string& d_;
  std::string name_;
  std::size_t pos_ = 0;
  std::vector<ValuePtr> stack_;
  std::vector<std::size_t> marks_;
  std::unordered_map<std::uint64_t, ValuePtr> memo_;
};

}  // namespace

void write_records(const std::string& path, const std::vector<Record>& records) {
  std::string out = "\x80\x02]";
  if (!records.empty()) out += '(';
  for (const auto& rec : records) {
    out += '}';
    if (!rec.empty()) {
      out += '(';
      for (const auto& [k, v] : rec) put_text(out, k), put_text(out, v);
      out += 'u';
    }
  }
  if (!records.empty()) out += 'e';
  out += '.';
  write_atomically(path, out);
}

Value read_bytes(const std::string& data, const std::string& name) { return Reader(data, name).run(); }

Value read(const std::string& path) {
  // An instrument list is a few megabytes; reading a file far past that
  // into memory only to refuse it later helps nobody.
  return read_bytes(read_small_file(path, kDocumentCap), path);
}

std::optional<std::vector<Record>> read_records(const std::string& path) {
  const Value list = read(path);
  if (list.kind != Value::Kind::list && list.kind != Value::Kind::tuple) return std::nullopt;
  std::vector<Record> out;
  for (const auto& rec : list.items) {
    Record& fields = out.emplace_back();
    for (const auto& [k, v] : rec->map) {
      if (k->kind != Value::Kind::text) continue;
      switch (v->kind) {
        case Value::Kind::text:
        case Value::Kind::bytes: fields.emplace_back(k->s, v->s); break;
        case Value::Kind::none: fields.emplace_back(k->s, ""); break;
        case Value::Kind::boolean: fields.emplace_back(k->s, v->b ? "True" : "False"); break;
        case Value::Kind::integer: fields.emplace_back(k->s, std::to_string(v->i)); break;
        case Value::Kind::real: fields.emplace_back(k->s, fmt::format("{}", v->d)); break;
        default: break;  // containers: no text of their own
      }
    }
  }
  return out;
}

}  // namespace util::pickle
