#include "util/npy.hpp"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <stdexcept>

#include <fmt/format.h>

namespace util::npy {

void write_int64(const std::string& path, const std::vector<std::int64_t>& values) {
  std::string header = fmt::format("{{'descr': '<i8', 'fortran_order': False, 'shape': ({},), }}", values.size());
  // Magic (6) + version (2) + length (2) + header, padded to 64 bytes, ending in a newline.
  const std::size_t total = 10 + header.size() + 1;
  header.append((64 - total % 64) % 64, ' ');
  header += '\n';
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error(fmt::format("cannot write '{}': {}", tmp, std::strerror(errno)));
    const unsigned char pre[8] = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
    out.write(reinterpret_cast<const char*>(pre), 8);
    const std::uint16_t len = static_cast<std::uint16_t>(header.size());
    const unsigned char le[2] = {static_cast<unsigned char>(len & 0xff), static_cast<unsigned char>(len >> 8)};
    out.write(reinterpret_cast<const char*>(le), 2);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    for (std::int64_t v : values) {
      unsigned char b[8];
      for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(static_cast<std::uint64_t>(v) >> (8 * i));
      out.write(reinterpret_cast<const char*>(b), 8);
    }
    if (!out.flush()) throw std::runtime_error(fmt::format("cannot write '{}'", tmp));
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0)
    throw std::runtime_error(fmt::format("cannot replace '{}': {}", path, std::strerror(errno)));
}

std::vector<std::int64_t> read_int_1d(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(fmt::format("cannot open '{}': {}", path, std::strerror(errno)));
  auto bad = [&](const std::string& why) { return std::runtime_error(fmt::format("'{}' is not a usable trading calendar: {}", path, why)); };
  unsigned char pre[8];
  if (!in.read(reinterpret_cast<char*>(pre), 8) || std::memcmp(pre, "\x93NUMPY", 6) != 0) throw bad("no .npy magic");
  const int major = pre[6];
  std::size_t header_len = 0;
  if (major == 1) {
    unsigned char b[2];
    if (!in.read(reinterpret_cast<char*>(b), 2)) throw bad("truncated header");
    header_len = b[0] | (static_cast<std::size_t>(b[1]) << 8);
  } else if (major == 2 || major == 3) {
    unsigned char b[4];
    if (!in.read(reinterpret_cast<char*>(b), 4)) throw bad("truncated header");
    header_len = b[0] | (static_cast<std::size_t>(b[1]) << 8) | (static_cast<std::size_t>(b[2]) << 16) | (static_cast<std::size_t>(b[3]) << 24);
  } else {
    throw bad(fmt::format("unsupported format version {}.{}", major, pre[7]));
  }
  if (header_len > 65536) throw bad("header too long");
  std::string header(header_len, '\0');
  if (!in.read(header.data(), static_cast<std::streamsize>(header_len))) throw bad("truncated header");

  std::smatch m;
  if (!std::regex_search(header, m, std::regex(R"('descr'\s*:\s*'([<|>=])([iu])([1248])')"))) throw bad("element type is not an integer");
  const char order = m[1].str()[0];
  const bool is_signed = m[2] == "i";
  const int width = std::stoi(m[3]);
  if (order == '>' && width > 1) throw bad("big-endian integers");
  if (!std::regex_search(header, std::regex(R"('fortran_order'\s*:\s*False)"))) throw bad("Fortran order");
  if (!std::regex_search(header, m, std::regex(R"('shape'\s*:\s*\(\s*(\d+)\s*,\s*\))"))) throw bad("not a one-dimensional array");
  const std::size_t n = std::stoull(m[1]);

  std::vector<unsigned char> raw(n * static_cast<std::size_t>(width));
  if (!in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()))) throw bad("truncated data");
  std::vector<std::int64_t> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t u = 0;
    for (int b = 0; b < width; ++b) u |= static_cast<std::uint64_t>(raw[i * static_cast<std::size_t>(width) + static_cast<std::size_t>(b)]) << (8 * b);
    if (is_signed && width < 8 && (u >> (8 * width - 1)) & 1) u |= ~0ULL << (8 * width);
    out[i] = static_cast<std::int64_t>(u);
  }
  return out;
}

}  // namespace util::npy
