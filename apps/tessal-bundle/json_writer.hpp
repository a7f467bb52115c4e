#pragma once
// A small JSON writer for the command line's --json reports: objects,
// arrays, strings, numbers, booleans and null, written in order into one
// string. Strings are escaped as RFC 8259 asks; bytes that are not UTF-8
// (a file name can hold any byte) become U+FFFD, so the document always
// parses.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

namespace cli {

class JsonWriter {
 public:
  JsonWriter& begin_object() { return open('{'); }
  JsonWriter& end_object() { return close('}'); }
  JsonWriter& begin_array() { return open('['); }
  JsonWriter& end_array() { return close(']'); }

  // The next member's name inside an object.
  JsonWriter& key(std::string_view k) {
    separate();
    quote(k);
    out_ += ':';
    after_key_ = true;
    return *this;
  }

  JsonWriter& value(std::string_view s) {
    separate();
    quote(s);
    return *this;
  }
  JsonWriter& value(const char* s) { return value(std::string_view(s)); }
  JsonWriter& value(const std::string& s) { return value(std::string_view(s)); }
  JsonWriter& value(bool b) {
    separate();
    out_ += b ? "true" : "false";
    return *this;
  }
  template <class I>
    requires(std::is_integral_v<I> && !std::is_same_v<I, bool>)
  JsonWriter& value(I n) {
    separate();
    out_ += std::to_string(n);
    return *this;
  }
  // JSON has no NaN or infinity: they are written as null.
  JsonWriter& value(double d) {
    separate();
    out_ += std::isfinite(d) ? fmt::format("{}", d) : "null";
    return *this;
  }
  JsonWriter& null() {
    separate();
    out_ += "null";
    return *this;
  }
  template <class T>
  JsonWriter& value(const std::optional<T>& v) {
    return v ? value(*v) : null();
  }

  // key(k).value(v) in one call.
  template <class T>
  JsonWriter& field(std::string_view k, const T& v) {
    key(k);
    return value(v);
  }
  JsonWriter& field_null(std::string_view k) {
    key(k);
    return null();
  }

  const std::string& str() const noexcept { return out_; }

  static std::string escape(std::string_view s) {
    JsonWriter w;
    w.quote(s);
    return w.out_;
  }

 private:
  JsonWriter& open(char c) {
    separate();
    out_ += c;
    first_.push_back(true);
    return *this;
  }
  JsonWriter& close(char c) {
    out_ += c;
    first_.pop_back();
    return *this;
  }
  // A comma before every element but the first of its container; none
  // between a key and its value.
  void separate() {
    if (after_key_) {
      after_key_ = false;
      return;
    }
    if (first_.empty()) return;
    if (!first_.back()) out_ += ',';
    first_.back() = false;
  }

  // The length of a valid UTF-8 sequence at s[i] (no overlong forms, no
  // surrogates, nothing above U+10FFFF), 0 when the bytes there are not one.
  static std::size_t utf8_length(std::string_view s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    if (b < 0x80) return 1;
    if ((b & 0xe0) == 0xc0) len = 2, cp = b & 0x1f;
    else if ((b & 0xf0) == 0xe0) len = 3, cp = b & 0x0f;
    else if ((b & 0xf8) == 0xf0) len = 4, cp = b & 0x07;
    else return 0;
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xc0) != 0x80) return 0;
      cp = (cp << 6) | (c & 0x3f);
    }
    static const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return len;
  }

  void quote(std::string_view s) {
    out_ += '"';
    for (std::size_t i = 0; i < s.size();) {
      const char c = s[i];
      const auto u = static_cast<unsigned char>(c);
      if (c == '"') out_ += "\\\"";
      else if (c == '\\') out_ += "\\\\";
      else if (c == '\n') out_ += "\\n";
      else if (c == '\r') out_ += "\\r";
      else if (c == '\t') out_ += "\\t";
      else if (u < 0x20 || u == 0x7f) out_ += fmt::format("\\u{:04x}", u);
      else if (u >= 0x80) {
        const std::size_t len = utf8_length(s, i);
        if (len == 0) {
          out_ += "\\ufffd";
          ++i;
        } else {
          out_.append(s.substr(i, len));
          i += len;
        }
        continue;
      } else out_ += c;
      ++i;
    }
    out_ += '"';
  }

  std::string out_;
  std::vector<bool> first_;
  bool after_key_ = false;
};

}  // namespace cli
