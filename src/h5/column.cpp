#include "h5/column.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include <fmt/format.h>

namespace h5 {
namespace {

bool g_fast = true;
std::uint64_t g_fast_done = 0;

struct Decompressor {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  ~Decompressor() { libdeflate_free_decompressor(d); }
};

// What the fast path needs to know of the dataset; nothing when it does not apply.
struct ChunkPlan {
  hsize_t chunk_rows = 0;
  std::size_t member_offset = 0;
};

std::optional<ChunkPlan> plan(const Dataset& ds, const std::string& member) {
  Handle dcpl(H5Dget_create_plist(ds.get()), H5Pclose);
  if (!dcpl.valid() || H5Pget_layout(dcpl.get()) != H5D_CHUNKED) return std::nullopt;
  if (H5Pget_nfilters(dcpl.get()) != 1) return std::nullopt;
  unsigned flags = 0;
  std::size_t nvalues = 0;
  if (H5Pget_filter2(dcpl.get(), 0, &flags, &nvalues, nullptr, 0, nullptr, nullptr) != H5Z_FILTER_DEFLATE) return std::nullopt;
  hsize_t chunk[1] = {0};
  if (H5Pget_chunk(dcpl.get(), 1, chunk) != 1 || chunk[0] == 0) return std::nullopt;
  const Type file_type = ds.type();
  if (!file_type.is_compound()) return std::nullopt;
  const int idx = H5Tget_member_index(file_type.get(), member.c_str());
  if (idx < 0) return std::nullopt;
  Handle mtype(H5Tget_member_type(file_type.get(), static_cast<unsigned>(idx)), H5Tclose);
  if (!mtype.valid() || H5Tequal(mtype.get(), H5T_STD_I64LE) <= 0) return std::nullopt;
  H5Eclear2(H5E_DEFAULT);
  return ChunkPlan{chunk[0], H5Tget_member_offset(file_type.get(), static_cast<unsigned>(idx))};
}

// Whether every chunk of the `rows` is in the file. A dataset with chunks
// never written (they read as the fill value) is left to HDF5's own read:
// the chunk-size query fails on them instead of reporting none.
bool every_chunk_stored(const Dataset& ds, hsize_t rows, hsize_t chunk_rows) {
  hsize_t stored = 0;
  Handle space(H5Dget_space(ds.get()), H5Sclose);
  if (!space.valid() || H5Dget_num_chunks(ds.get(), space.get(), &stored) < 0) {
    H5Eclear2(H5E_DEFAULT);
    return false;
  }
  return stored == (rows + chunk_rows - 1) / chunk_rows;
}

// The whole member through HDF5's own read and filter pipeline.
std::vector<std::int64_t>& read_through_hdf5(const Dataset& ds, const std::string& member, std::vector<std::int64_t>& out) {
  ds.read(out.data(), Type::column(member.c_str(), H5T_NATIVE_INT64).get());
  return out;
}

[[noreturn]] void damaged(const Dataset& ds, hsize_t row, const char* why) {
  throw Error(ErrorKind::damaged, ds.path(), fmt::format("the chunk at row {} of '{}' cannot be read: {}", row, ds.path(), why));
}

}  // namespace

void set_fast_column_reads(bool enabled) { g_fast = enabled; }
std::uint64_t fast_column_reads_done() { return g_fast_done; }

std::vector<std::int64_t> read_int64_member(const Dataset& ds, const std::string& member, std::size_t itemsize) {
  const QuietErrors quiet;
  const hsize_t n = ds.checked_size(itemsize);
  std::vector<std::int64_t> out(n, 0);
  if (n == 0) return out;
  const auto p = g_fast ? plan(ds, member) : std::nullopt;
  if (!p || !every_chunk_stored(ds, n, p->chunk_rows)) return read_through_hdf5(ds, member, out);
  hsize_t file_size = 0;
  {
    Handle file(H5Iget_file_id(ds.get()), H5Fclose);
    if (!file.valid() || H5Fget_filesize(file.get(), &file_size) < 0) throw_from_stack("cannot read the size of", ds.path());
  }
  static thread_local Decompressor inflater;
  const std::size_t chunk_bytes = p->chunk_rows * itemsize;
  std::vector<char> raw, plain(chunk_bytes);
  for (hsize_t first = 0; first < n; first += p->chunk_rows) {
    // Both calls find the chunk through the chunk index's tree. (HDF5 1.10's
    // H5Dget_chunk_info_by_coord walks every chunk before the one asked
    // for instead, which made reading a column quadratic in its length.)
    hsize_t offset[1] = {first};
    hsize_t stored = 0;
    if (H5Dget_chunk_storage_size(ds.get(), offset, &stored) < 0) {
      // Not stored after all (the count matched, but a chunk lies outside
      // the rows): HDF5's read gives the fill value there.
      H5Eclear2(H5E_DEFAULT);
      return read_through_hdf5(ds, member, out);
    }
    // A size larger than the file is a damaged index, not an allocation to try.
    if (stored > file_size) damaged(ds, first, "it is larger than the file");
    raw.resize(stored);
    std::uint32_t filters = 0;
    if (H5Dread_chunk(ds.get(), H5P_DEFAULT, offset, &filters, raw.data()) < 0) throw_from_stack("cannot read a chunk of", ds.path());
    const char* rows = raw.data();
    if (filters & 1u) {
      // The filter was skipped for this chunk: its bytes are stored as they are.
      if (stored != chunk_bytes) damaged(ds, first, "wrong size");
    } else {
      std::size_t got = 0;
      const auto r = libdeflate_zlib_decompress(inflater.d, raw.data(), stored, plain.data(), chunk_bytes, &got);
      if (r != LIBDEFLATE_SUCCESS || got != chunk_bytes) damaged(ds, first, r == LIBDEFLATE_SUCCESS ? "wrong size" : "inflate failed");
      rows = plain.data();
    }
    const hsize_t end = std::min(n, first + p->chunk_rows);
    for (hsize_t r = first; r < end; ++r) std::memcpy(&out[r], rows + (r - first) * itemsize + p->member_offset, 8);
  }
  ++g_fast_done;
  return out;
}

}  // namespace h5
