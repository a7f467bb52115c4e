#pragma once
// Reading one 64-bit integer member of a compound dataset, or its whole
// records, every row, as fast as the data can be inflated: for a chunked
// dataset whose only filter is deflate, raw chunks are read
// (H5Dread_chunk) and inflated with libdeflate, several times faster than
// HDF5's own filter pipeline with zlib. Any other layout, filter or member
// type goes through HDF5's ordinary read, with the same result. A chunk
// that does not inflate, or inflates to the wrong size, is the same error
// (kind damaged) either way.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "h5/h5.hpp"

namespace h5 {

std::vector<std::int64_t> read_int64_member(const Dataset& ds, const std::string& member, std::size_t itemsize);
// Every record of a one-dimensional compound dataset of `itemsize`-byte
// records, as the file stores them (its own member types and offsets), by
// the same two paths. A dataset whose type is not a compound of that size
// is refused as damaged.
std::vector<char> read_records(const Dataset& ds, std::size_t itemsize);
// The same into the first rows x itemsize bytes of `buffer` (grown when
// short, never shrunk, so it can serve file after file); the rows read.
std::size_t read_records(const Dataset& ds, std::size_t itemsize, std::vector<char>& buffer);

// Every record handed to `visit` in row order, a chunk at a time on the
// raw-chunk path (each piece still in the cache when visited), else all at
// once from HDF5's read into `buffer`. Should the raw path give up part way
// (a chunk not stored after all), the rows are visited again from row 0:
// a visitor handed row 0 twice starts over.
using RowsVisitor = std::function<void(const char* rows, hsize_t first, hsize_t count)>;
void visit_records(const Dataset& ds, std::size_t itemsize, std::vector<char>& buffer, const RowsVisitor& visit);

// Row `row` of a one-dimensional dataset of `itemsize`-byte records whose
// file type is `file_type`, as the file stores it, into `out`: one raw
// chunk read and inflated with libdeflate, the cheap way to look at a
// dataset's last record. False when that path does not apply (another
// layout or filter, a chunk not stored): the caller reads through HDF5.
bool read_stored_row(const Dataset& ds, const Type& file_type, hsize_t row, std::size_t itemsize, void* out);

// Forces HDF5's ordinary read path (for tests that compare both paths).
void set_fast_column_reads(bool enabled);
// How many reads of this process took the raw-chunk path (for tests: a
// layout it should take must not quietly fall back).
std::uint64_t fast_column_reads_done();

}  // namespace h5
