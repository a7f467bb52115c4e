#include "util/npy.hpp"

#include <cstring>
#include <functional>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "util/error.hpp"
#include "util/files.hpp"

namespace util::npy {

void write_int64(const std::string& path, const std::vector<std::int64_t>& values) {
  std::string header = fmt::format("{{'descr': '<i8', 'fortran_order': False, 'shape': ({},), }}", values.size());
  // Magic (6) + version (2) + length (2) + header, padded to 64 bytes, ending in a newline.
  const std::size_t total = 10 + header.size() + 1;
  header.append((64 - total % 64) % 64, ' ');
  header += '\n';
  const auto len = static_cast<std::uint16_t>(header.size());
  std::string out = "\x93NUMPY\x01";
  out += '\0';
  out += static_cast<char>(len & 0xff);
  out += static_cast<char>(len >> 8);
  out += header;
  out.reserve(out.size() + 8 * values.size());
  for (std::int64_t v : values)
    for (int i = 0; i < 8; ++i) out += static_cast<char>(static_cast<std::uint64_t>(v) >> (8 * i));
  write_atomically(path, out);
}

namespace {

// What the header dictionary says. numpy writes it as a Python literal:
// {'descr': '<i8', 'fortran_order': False, 'shape': (3,), }
struct Header {
  std::optional<std::string> descr;
  std::optional<bool> fortran_order;
  std::optional<std::vector<std::uint64_t>> shape;
};

// A small parser of exactly that literal: quoted keys, and values that are
// quoted texts, True/False or a tuple of whole numbers. Anything else is
// refused, which keeps the parser short and free of recursion.
class HeaderParser {
 public:
  HeaderParser(std::string_view text, const std::function<void(const std::string&)>& bad) : t_(text), bad_(bad) {}

  Header parse() {
    Header h;
    expect('{');
    while (true) {
      skip_space();
      if (peek() == '}') break;
      const std::string key = quoted();
      expect(':');
      skip_space();
      if (key == "descr") h.descr = quoted();
      else if (key == "fortran_order") h.fortran_order = boolean();
      else if (key == "shape") h.shape = tuple();
      else bad_(fmt::format("unknown header key '{}'", key));
      skip_space();
      if (peek() == ',') ++i_;
      else if (peek() != '}') bad_("malformed header");
    }
    ++i_;
    skip_space();
    if (i_ != t_.size()) bad_("text after the header dictionary");
    return h;
  }

 private:
  char peek() const { return i_ < t_.size() ? t_[i_] : '\0'; }
  void skip_space() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\n' || t_[i_] == '\t' || t_[i_] == '\r')) ++i_;
  }
  void expect(char c) {
    skip_space();
    if (peek() != c) bad_("malformed header");
    ++i_;
  }
  std::string quoted() {
    skip_space();
    const char q = peek();
    if (q != '\'' && q != '"') bad_("malformed header");
    const std::size_t close = t_.find(q, i_ + 1);
    if (close == std::string_view::npos) bad_("malformed header");
    std::string s(t_.substr(i_ + 1, close - i_ - 1));
    i_ = close + 1;
    return s;
  }
  bool boolean() {
    for (const auto& [word, value] : {std::pair{std::string_view("True"), true}, std::pair{std::string_view("False"), false}})
      if (t_.substr(i_, word.size()) == word) {
        i_ += word.size();
        return value;
      }
    bad_("malformed header");
    return false;
  }
  std::vector<std::uint64_t> tuple() {
    std::vector<std::uint64_t> dims;
    expect('(');
    while (true) {
      skip_space();
      if (peek() == ')') break;
      dims.push_back(number());
      skip_space();
      if (peek() == ',') ++i_;
      else if (peek() != ')') bad_("malformed shape");
    }
    ++i_;
    return dims;
  }
  std::uint64_t number() {
    if (peek() < '0' || peek() > '9') bad_("malformed shape");
    std::uint64_t n = 0;
    while (peek() >= '0' && peek() <= '9') {
      const unsigned digit = static_cast<unsigned>(peek() - '0');
      if (n > (UINT64_MAX - digit) / 10) bad_("a dimension of the shape is too large");
      n = n * 10 + digit;
      ++i_;
    }
    return n;
  }

  std::string_view t_;
  std::size_t i_ = 0;
  const std::function<void(const std::string&)>& bad_;
};

std::uint64_t le(const std::string& d, std::size_t at, std::size_t n) {
  std::uint64_t u = 0;
  for (std::size_t i = 0; i < n; ++i) u |= static_cast<std::uint64_t>(static_cast<unsigned char>(d[at + i])) << (8 * i);
  return u;
}

}  // namespace

std::vector<std::int64_t> read_int_1d_bytes(const std::string& data, const std::string& name) {
  const std::function<void(const std::string&)> bad = [&](const std::string& why) {
    throw Error(ErrorKind::damaged, name, fmt::format("'{}' is not a usable trading calendar: {}", name, why));
  };
  if (data.size() < 8 || data.compare(0, 6, "\x93NUMPY") != 0) bad("no .npy magic");
  const int major = static_cast<unsigned char>(data[6]);
  if (major < 1 || major > 3) bad(fmt::format("unsupported format version {}.{}", major, static_cast<unsigned char>(data[7])));
  const std::size_t len_size = major == 1 ? 2 : 4;
  if (data.size() < 8 + len_size) bad("truncated header");
  const std::size_t header_len = le(data, 8, len_size);
  if (header_len > 65536) bad("header too long");
  const std::size_t start = 8 + len_size;
  if (data.size() - start < header_len) bad("truncated header");
  const Header h = HeaderParser(std::string_view(data).substr(start, header_len), bad).parse();

  if (!h.descr || !h.fortran_order || !h.shape) bad("the header lacks descr, fortran_order or shape");
  const std::string& d = *h.descr;
  if (d.size() != 3 || std::string_view("<|>=").find(d[0]) == std::string_view::npos || (d[1] != 'i' && d[1] != 'u') ||
      std::string_view("1248").find(d[2]) == std::string_view::npos)
    bad(fmt::format("element type '{}' is not an integer", d));
  const bool is_signed = d[1] == 'i';
  const std::size_t width = static_cast<std::size_t>(d[2] - '0');
  if (d[0] == '>' && width > 1) bad("big-endian integers");
  if (*h.fortran_order) bad("Fortran order");
  if (h.shape->size() != 1) bad(fmt::format("a {}-dimensional array, not a one-dimensional one", h.shape->size()));

  // The shape is only a claim: compare it with what the file holds before
  // allocating anything for it.
  const std::uint64_t n = h.shape->front();
  const std::size_t body = start + header_len;
  const std::size_t present = data.size() - body;
  if (n > present / width)
    bad(fmt::format("the header declares {} elements of {} bytes, but only {} bytes of data follow", n, width, present));
  std::vector<std::int64_t> out(static_cast<std::size_t>(n));
  for (std::size_t i = 0; i < out.size(); ++i) {
    std::uint64_t u = le(data, body + i * width, width);
    if (is_signed && width < 8 && (u >> (8 * width - 1)) & 1) u |= ~0ULL << (8 * width);
    out[i] = static_cast<std::int64_t>(u);
  }
  return out;
}

std::vector<std::int64_t> read_int_1d(const std::string& path) {
  // A calendar is some tens of kilobytes; a file past the cap is not one.
  return read_int_1d_bytes(read_small_file(path, kDocumentCap), path);
}

}  // namespace util::npy
