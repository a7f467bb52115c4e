#pragma once
// The `.npy` array-file format, as far as the trading calendar needs it: a
// one-dimensional array of little-endian integers.
#include <cstdint>
#include <string>
#include <vector>

namespace util::npy {

// Writes `values` as a version 1.0 file of '<i8' (atomically: a temporary
// file renamed over the target).
void write_int64(const std::string& path, const std::vector<std::int64_t>& values);

// Reads a 1-D C-order array of little-endian (or single-byte) integers of
// 1, 2, 4 or 8 bytes. Anything else throws util::Error naming the file
// (kind damaged for the bytes, an OS kind when the file cannot be read).
// The declared shape is checked against the bytes actually present before
// anything is allocated.
std::vector<std::int64_t> read_int_1d(const std::string& path);
// The same from the bytes of a whole file; `name` is used in messages.
std::vector<std::int64_t> read_int_1d_bytes(const std::string& data, const std::string& name);

}  // namespace util::npy
