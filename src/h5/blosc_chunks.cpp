#include "h5/blosc_chunks.hpp"

#include <blosc.h>

#include <cstring>
#include <vector>

namespace h5 {
namespace {

// Where the Blosc filter keeps its parameters (the first four it fills in
// itself when a dataset is created: revision, versions, type and chunk size).
constexpr std::size_t kLevelAt = 4, kShuffleAt = 5, kCodecAt = 6;

}  // namespace

BloscSettings BloscSettings::parse(const FilterSpec& filter, std::size_t record_size, const std::string& path) {
  const std::vector<unsigned>& cd = filter.cd_values;
  BloscSettings s;
  if (cd.size() > kLevelAt) s.level = static_cast<int>(cd[kLevelAt]);
  if (cd.size() > kShuffleAt) s.shuffle = static_cast<int>(cd[kShuffleAt]);
  if (cd.size() > kCodecAt) {
    const char* name = nullptr;
    if (blosc_compcode_to_compname(static_cast<int>(cd[kCodecAt]), &name) < 0 || !name)
      throw Error(ErrorKind::invalid_input, path, "unknown Blosc codec in the dataset's settings");
    s.codec = name;
  }
  // The filter shuffles records wider than Blosc allows byte by byte.
  s.type_size = record_size > BLOSC_MAX_TYPESIZE ? 1 : record_size;
  return s;
}

void write_blosc_chunks(const Dataset& ds, const BloscSettings& settings, const void* data, hsize_t rows,
                        std::size_t record_size, hsize_t chunk_rows) {
  const std::size_t chunk_bytes = chunk_rows * record_size;
  thread_local std::vector<char> padded, out;
  out.resize(chunk_bytes);
  const char* records = static_cast<const char*>(data);
  for (hsize_t first = 0; first < rows; first += chunk_rows) {
    const char* src = records + first * record_size;
    if (rows - first < chunk_rows) {
      padded.assign(chunk_bytes, 0);
      std::memcpy(padded.data(), src, (rows - first) * record_size);
      src = padded.data();
    }
    // The context call: the codec is this call's own, not the process-wide
    // one the filter sets. Automatic block size as the filter's; the output
    // does not depend on the number of threads.
    const int n = blosc_compress_ctx(settings.level, settings.shuffle, settings.type_size, chunk_bytes, src, out.data(),
                                     chunk_bytes, settings.codec.c_str(), 0, 1);
    hsize_t offset[1] = {first};
    const bool stored = n > 0;
    if (H5Dwrite_chunk(ds.get(), H5P_DEFAULT, stored ? 0u : 1u, offset, stored ? static_cast<std::size_t>(n) : chunk_bytes,
                       stored ? out.data() : src) < 0)
      ds.fail("cannot write");
  }
}

}  // namespace h5
