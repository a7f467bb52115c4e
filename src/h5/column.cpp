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

// The rows of one chunk of a compound dataset whose only filter is
// deflate; nothing when the raw-chunk path does not apply.
std::optional<hsize_t> deflate_chunk_rows(const Dataset& ds, const Type& file_type) {
  Handle dcpl(H5Dget_create_plist(ds.get()), H5Pclose);
  if (!dcpl.valid() || H5Pget_layout(dcpl.get()) != H5D_CHUNKED) return std::nullopt;
  if (H5Pget_nfilters(dcpl.get()) != 1) return std::nullopt;
  unsigned flags = 0;
  std::size_t nvalues = 0;
  if (H5Pget_filter2(dcpl.get(), 0, &flags, &nvalues, nullptr, 0, nullptr, nullptr) != H5Z_FILTER_DEFLATE) return std::nullopt;
  hsize_t chunk[1] = {0};
  if (H5Pget_chunk(dcpl.get(), 1, chunk) != 1 || chunk[0] == 0) return std::nullopt;
  if (!file_type.is_compound()) return std::nullopt;
  return chunk[0];
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

[[noreturn]] void damaged(const Dataset& ds, hsize_t row, const char* why) {
  throw Error(ErrorKind::damaged, ds.path(), fmt::format("the chunk at row {} of '{}' cannot be read: {}", row, ds.path(), why));
}

// Where the chunk loop puts the rows of each chunk.
class ChunkSink {
 public:
  virtual ~ChunkSink() = default;
  // A place for the whole chunk of rows [first, end) (chunk rows x itemsize
  // bytes), or nullptr to have it inflated into a scratch buffer.
  virtual char* place(hsize_t first, hsize_t end) = 0;
  // The rows [first, end), at `rows` (place()'s buffer when it gave one).
  virtual void take(hsize_t first, hsize_t end, const char* rows) = 0;
};

// The stored size of the chunk at row `first`; nothing when it is not
// stored (HDF5's read gives the fill value there). The query finds the
// chunk through the chunk index's tree. (HDF5 1.10's
// H5Dget_chunk_info_by_coord walks every chunk before the one asked for
// instead, which made reading a column quadratic in its length.)
std::optional<hsize_t> stored_size(const Dataset& ds, hsize_t first) {
  hsize_t offset[1] = {first}, stored = 0;
  if (H5Dget_chunk_storage_size(ds.get(), offset, &stored) < 0 || stored == 0) {
    H5Eclear2(H5E_DEFAULT);
    return std::nullopt;
  }
  return stored;
}

// Reads the chunk at row `first`, `stored` bytes in the file, and inflates
// it with libdeflate: its chunk_bytes of rows, at `place` when given, else
// in `scratch` (or in `raw` itself when the filter was skipped for it).
const char* read_chunk(const Dataset& ds, hsize_t first, hsize_t stored, std::size_t chunk_bytes, char* place, std::vector<char>& raw,
                       std::vector<char>& scratch) {
  static thread_local Decompressor inflater;
  hsize_t offset[1] = {first};
  raw.resize(stored);
  std::uint32_t filters = 0;
  if (H5Dread_chunk(ds.get(), H5P_DEFAULT, offset, &filters, raw.data()) < 0) throw_from_stack("cannot read a chunk of", ds.path());
  if (filters & 1u) {
    // The filter was skipped for this chunk: its bytes are stored as they are.
    if (stored != chunk_bytes) damaged(ds, first, "wrong size");
    if (!place) return raw.data();
    std::memcpy(place, raw.data(), chunk_bytes);
    return place;
  }
  if (!place) {
    scratch.resize(chunk_bytes);
    place = scratch.data();
  }
  std::size_t got = 0;
  const auto r = libdeflate_zlib_decompress(inflater.d, raw.data(), stored, place, chunk_bytes, &got);
  if (r != LIBDEFLATE_SUCCESS || got != chunk_bytes) damaged(ds, first, r == LIBDEFLATE_SUCCESS ? "wrong size" : "inflate failed");
  return place;
}

// The one raw-chunk loop: reads every chunk of the first `n` rows with
// H5Dread_chunk and inflates it with libdeflate. False, before any error,
// when a chunk turns out not to be stored: the caller reads through HDF5.
bool read_raw_chunks(const Dataset& ds, hsize_t n, std::size_t itemsize, hsize_t chunk_rows, ChunkSink& sink) {
  if (!every_chunk_stored(ds, n, chunk_rows)) return false;
  hsize_t file_size = 0;
  {
    Handle file(H5Iget_file_id(ds.get()), H5Fclose);
    if (!file.valid() || H5Fget_filesize(file.get(), &file_size) < 0) throw_from_stack("cannot read the size of", ds.path());
  }
  const std::size_t chunk_bytes = chunk_rows * itemsize;
  std::vector<char> raw, scratch;
  for (hsize_t first = 0; first < n; first += chunk_rows) {
    // Not stored after all (the count matched, but a chunk lies outside the rows).
    const std::optional<hsize_t> stored = stored_size(ds, first);
    if (!stored) return false;
    // A size larger than the file is a damaged index, not an allocation to try.
    if (*stored > file_size) damaged(ds, first, "it is larger than the file");
    const hsize_t end = std::min(n, first + chunk_rows);
    sink.take(first, end, read_chunk(ds, first, *stored, chunk_bytes, sink.place(first, end), raw, scratch));
  }
  ++g_fast_done;
  return true;
}

}  // namespace

void set_fast_column_reads(bool enabled) { g_fast = enabled; }
std::uint64_t fast_column_reads_done() { return g_fast_done; }

std::vector<std::int64_t> read_int64_member(const Dataset& ds, const std::string& member, std::size_t itemsize) {
  const QuietErrors quiet;
  const hsize_t n = ds.checked_size(itemsize);
  std::vector<std::int64_t> out(n, 0);
  if (n == 0) return out;
  const Type file_type = ds.type();
  std::optional<hsize_t> chunk_rows = g_fast ? deflate_chunk_rows(ds, file_type) : std::nullopt;
  std::size_t member_offset = 0;
  if (chunk_rows) {
    const int idx = H5Tget_member_index(file_type.get(), member.c_str());
    Handle mtype(idx < 0 ? -1 : H5Tget_member_type(file_type.get(), static_cast<unsigned>(idx)), H5Tclose);
    if (!mtype.valid() || H5Tequal(mtype.get(), H5T_STD_I64LE) <= 0) chunk_rows.reset();
    else member_offset = H5Tget_member_offset(file_type.get(), static_cast<unsigned>(idx));
    H5Eclear2(H5E_DEFAULT);
  }
  struct Member : ChunkSink {
    std::vector<std::int64_t>& out;
    std::size_t itemsize, offset;
    Member(std::vector<std::int64_t>& o, std::size_t i, std::size_t off) : out(o), itemsize(i), offset(off) {}
    char* place(hsize_t, hsize_t) override { return nullptr; }
    void take(hsize_t first, hsize_t end, const char* rows) override {
      for (hsize_t r = first; r < end; ++r) std::memcpy(&out[r], rows + (r - first) * itemsize + offset, 8);
    }
  } sink(out, itemsize, member_offset);
  if (!chunk_rows || !read_raw_chunks(ds, n, itemsize, *chunk_rows, sink))
    ds.read(out.data(), Type::column(member.c_str(), H5T_NATIVE_INT64).get());
  return out;
}

std::vector<char> read_records(const Dataset& ds, std::size_t itemsize) {
  std::vector<char> out;
  out.resize(read_records(ds, itemsize, out) * itemsize);
  return out;
}

namespace {
// The file type of a dataset of `itemsize`-byte compound records; damaged
// when it is not one.
Type record_type(const Dataset& ds, std::size_t itemsize) {
  Type file_type = ds.type();
  if (!file_type.is_compound() || file_type.size() != itemsize)
    throw Error(ErrorKind::damaged, ds.path(),
                fmt::format("the records of '{}' are not the {}-byte records expected", ds.path(), itemsize));
  return file_type;
}
}  // namespace

std::size_t read_records(const Dataset& ds, std::size_t itemsize, std::vector<char>& buffer) {
  const QuietErrors quiet;
  const Type file_type = record_type(ds, itemsize);
  const hsize_t n = ds.checked_size(itemsize);
  // Grown only: a buffer kept from file to file is not cleared each time.
  if (buffer.size() < n * itemsize) buffer.resize(n * itemsize);
  if (n == 0) return 0;
  const std::optional<hsize_t> chunk_rows = g_fast ? deflate_chunk_rows(ds, file_type) : std::nullopt;
  struct Records : ChunkSink {
    char* out;
    std::size_t itemsize;
    hsize_t chunk_rows;
    Records(char* o, std::size_t i, hsize_t c) : out(o), itemsize(i), chunk_rows(c) {}
    // Whole chunks inflate straight into the result; only the last, partly
    // beyond the rows, goes through the scratch buffer.
    char* place(hsize_t first, hsize_t end) override { return end - first == chunk_rows ? out + first * itemsize : nullptr; }
    void take(hsize_t first, hsize_t end, const char* rows) override {
      char* to = out + first * itemsize;
      if (rows != to) std::memcpy(to, rows, (end - first) * itemsize);
    }
  } sink(buffer.data(), itemsize, chunk_rows.value_or(0));
  // The file's own type as the memory type: the stored bytes, unconverted.
  if (!chunk_rows || !read_raw_chunks(ds, n, itemsize, *chunk_rows, sink)) ds.read(buffer.data(), file_type.get());
  return n;
}

void visit_records(const Dataset& ds, std::size_t itemsize, std::vector<char>& buffer, const RowsVisitor& visit) {
  const QuietErrors quiet;
  const Type file_type = record_type(ds, itemsize);
  const hsize_t n = ds.checked_size(itemsize);
  if (n == 0) return;
  const std::optional<hsize_t> chunk_rows = g_fast ? deflate_chunk_rows(ds, file_type) : std::nullopt;
  struct Visit : ChunkSink {
    const RowsVisitor& visit;
    explicit Visit(const RowsVisitor& v) : visit(v) {}
    char* place(hsize_t, hsize_t) override { return nullptr; }
    void take(hsize_t first, hsize_t end, const char* rows) override { visit(rows, first, end - first); }
  } sink(visit);
  if (chunk_rows && read_raw_chunks(ds, n, itemsize, *chunk_rows, sink)) return;
  if (buffer.size() < n * itemsize) buffer.resize(n * itemsize);
  ds.read(buffer.data(), file_type.get());
  visit(buffer.data(), 0, n);
}

bool read_stored_row(const Dataset& ds, const Type& file_type, hsize_t row, std::size_t itemsize, void* out) {
  if (!g_fast || file_type.size() != itemsize) return false;
  const QuietErrors quiet;
  const std::optional<hsize_t> chunk_rows = deflate_chunk_rows(ds, file_type);
  // A chunk far larger than a look needs is left to HDF5, which reads it
  // the same way whatever its size.
  if (!chunk_rows || *chunk_rows > (std::size_t{1} << 24) / itemsize) return false;
  const std::size_t chunk_bytes = *chunk_rows * itemsize;
  const hsize_t first = row - row % *chunk_rows;
  const std::optional<hsize_t> stored = stored_size(ds, first);
  if (!stored) return false;
  // Deflate never grows a chunk by more than this (HDF5 stores the chunk
  // unfiltered instead); a larger size is a damaged index, not an
  // allocation to try.
  if (*stored > chunk_bytes + chunk_bytes / 1000 + 64) damaged(ds, first, "it is larger than its rows can take");
  static thread_local std::vector<char> raw, scratch;
  const char* rows = read_chunk(ds, first, *stored, chunk_bytes, nullptr, raw, scratch);
  std::memcpy(out, rows + (row - first) * itemsize, itemsize);
  return true;
}

}  // namespace h5
