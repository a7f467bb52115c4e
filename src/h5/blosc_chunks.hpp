#pragma once
// Chunks of a new Blosc dataset compressed here and written as they are
// (H5Dwrite_chunk), byte for byte what the Blosc filter itself would store:
// HDF5 then neither copies the records into its chunk cache nor runs its
// filter pipeline, which cost as much as the compression itself.
#include <cstddef>
#include <string>

#include "h5/h5.hpp"

namespace h5 {

// What the Blosc filter compresses a chunk with, read from the filter's
// parameters as the filter reads them.
struct BloscSettings {
  int level = 5;                    // 0 to 9
  int shuffle = 1;                  // 0 none, 1 byte, 2 bit
  std::string codec = "blosclz";    // a codec name of the Blosc library
  std::size_t type_size = 1;        // bytes shuffled as one element

  // The settings of `filter` (Blosc's parameters: level, shuffle and codec
  // code at their places, unset ones at the filter's defaults) for records
  // of `record_size` bytes. An unknown codec code throws util::Error
  // (invalid_input) naming `path`.
  static BloscSettings parse(const FilterSpec& filter, std::size_t record_size, const std::string& path);
};

// Writes `rows` records of `record_size` bytes as the chunks of `ds`, a new
// dataset of `chunk_rows`-row chunks whose filter `settings` describe. A
// chunk Blosc cannot shrink is stored as it is with the filter marked
// skipped, as the optional filter does; the last chunk is stored whole,
// zero-filled past the records, as HDF5 stores it.
void write_blosc_chunks(const Dataset& ds, const BloscSettings& settings, const void* data, hsize_t rows,
                        std::size_t record_size, hsize_t chunk_rows);

}  // namespace h5
