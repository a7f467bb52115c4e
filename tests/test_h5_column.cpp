// The fast column read (raw chunks inflated with libdeflate) against HDF5's
// own read: the same values for every layout, and the same verdict on a
// damaged chunk.
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>

#include "h5/column.hpp"
#include "support.hpp"
#include "tessal_plus/bundle/constants.hpp"

using namespace testing_support;
using tessal_plus::bundle::EquitiesBar;

namespace {

// Writes `rows` equities records with the given storage settings through
// the raw API (shuffle, chunk shapes and filters our own writer never uses).
void write(const std::string& path, hsize_t rows, hsize_t chunk, bool deflate, bool shuffle, bool blosc) {
  std::vector<EquitiesBar> bars(rows);
  for (hsize_t i = 0; i < rows; ++i) bars[i] = EquitiesBar{20240603093100 + static_cast<std::int64_t>(i) * 37, 1, 2, 3, 4, 5, 6};
  h5::File f = h5::File::open(path, h5::Mode::create);
  const hsize_t dims[1] = {rows}, unlimited[1] = {H5S_UNLIMITED};
  const hid_t space = H5Screate_simple(1, dims, chunk ? unlimited : nullptr);
  const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
  if (chunk) H5Pset_chunk(dcpl, 1, &chunk);
  if (shuffle) H5Pset_shuffle(dcpl);
  if (deflate) H5Pset_deflate(dcpl, 6);
  if (blosc) {
    const unsigned cd[7] = {0, 0, 0, 0, 5, 1, 1};
    H5Pset_filter(dcpl, h5::kBloscFilter, H5Z_FLAG_OPTIONAL, 7, cd);
  }
  const hid_t ds = H5Dcreate2(f.get(), "data", tessal_plus::bundle::EQUITIES_DTYPE().type.get(), space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
  H5Dwrite(ds, tessal_plus::bundle::EQUITIES_DTYPE().type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, bars.data());
  H5Dclose(ds);
  H5Pclose(dcpl);
  H5Sclose(space);
  f.close();
}

// Which path the reads of a scope take; the fast one again after it, also
// when a read throws.
struct ReadPath {
  explicit ReadPath(bool fast) { h5::set_fast_column_reads(fast); }
  ~ReadPath() { h5::set_fast_column_reads(true); }
};

std::vector<char> read_records(const std::string& path, bool fast) {
  const ReadPath path_taken(fast);
  h5::File f = h5::File::open(path, h5::Mode::read);
  return h5::read_records(f.open_dataset("data"), sizeof(EquitiesBar));
}

std::vector<std::int64_t> read(const std::string& path, bool fast) {
  const ReadPath path_taken(fast);
  h5::File f = h5::File::open(path, h5::Mode::read);
  return h5::read_int64_member(f.open_dataset("data"), "datetime", sizeof(EquitiesBar));
}

// One row through the raw read a writer's look uses; nothing when it
// leaves the row to HDF5.
std::optional<EquitiesBar> stored_row(const std::string& path, hsize_t row, std::size_t itemsize = sizeof(EquitiesBar)) {
  h5::File f = h5::File::open(path, h5::Mode::read);
  const h5::Dataset ds = f.open_dataset("data");
  EquitiesBar bar{};
  if (!h5::read_stored_row(ds, ds.type(), row, itemsize, &bar)) return std::nullopt;
  return bar;
}

TEST(FastColumnRead, EqualsHdf5sReadForEveryLayout) {
  TempDir dir;
  struct Case {
    const char* name;
    hsize_t rows, chunk;
    bool deflate, shuffle, blosc;
    bool raw_path() const { return deflate && !shuffle && !blosc && chunk > 0; }
  } cases[] = {
      {"ours", 1000, 128, true, false, false},      {"big chunks", 1000, 4096, true, false, false},
      {"odd chunks", 1001, 77, true, false, false}, {"shuffled", 700, 100, true, true, false},
      {"blosc", 700, 100, false, false, true},      {"contiguous", 300, 0, false, false, false},
      {"one row", 1, 128, true, false, false},
  };
  for (const auto& c : cases) {
    const std::string p = dir / (std::string(c.name) + ".h5");
    write(p, c.rows, c.chunk, c.deflate, c.shuffle, c.blosc);
    const auto before = h5::fast_column_reads_done();
    const auto slow = read(p, false), fast = read(p, true);
    // Deflate alone is read raw; any other layout falls back.
    EXPECT_EQ(h5::fast_column_reads_done() - before, c.raw_path() ? 1u : 0u) << c.name;
    ASSERT_EQ(slow.size(), c.rows) << c.name;
    EXPECT_EQ(fast, slow) << c.name;
    EXPECT_EQ(fast.back(), 20240603093100 + static_cast<std::int64_t>(c.rows - 1) * 37) << c.name;
    for (const hsize_t row : {c.rows / 2, c.rows - 1}) {
      const auto one = stored_row(p, row);
      EXPECT_EQ(one.has_value(), c.raw_path()) << c.name;
      if (one) {
        EXPECT_EQ(one->datetime, slow[row]) << c.name << " row " << row;
      }
    }
  }
  // Records of another size, or the raw path switched off: left to HDF5.
  const std::string ours = dir / "ours.h5";
  EXPECT_FALSE(stored_row(ours, 0, sizeof(EquitiesBar) - 8));
  // A chunk larger than a look should inflate (16 MiB and more) too.
  const std::string huge = dir / "huge.h5";
  write(huge, 10, hsize_t{1} << 19, true, false, false);
  EXPECT_FALSE(stored_row(huge, 9));
  const ReadPath hdf5s(false);
  EXPECT_FALSE(stored_row(ours, 0));
}

// Chunks never written read as the fill value, on both paths.
TEST(FastColumnRead, UnwrittenChunksReadAsZerosOnBothPaths) {
  TempDir dir;
  const std::string p = dir / "sparse.h5";
  {
    h5::File f = h5::File::open(p, h5::Mode::create);
    const hsize_t rows = 640, chunk = 128, dims[1] = {rows};
    const hid_t space = H5Screate_simple(1, dims, nullptr);
    const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(dcpl, 1, &chunk);
    H5Pset_deflate(dcpl, 6);
    const hid_t type = tessal_plus::bundle::EQUITIES_DTYPE().type.get();
    const hid_t ds = H5Dcreate2(f.get(), "data", type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    // Rows of the first and the fourth chunk only.
    for (const hsize_t first : {hsize_t{0}, hsize_t{384}}) {
      std::vector<EquitiesBar> bars(chunk, EquitiesBar{20240603093100 + static_cast<std::int64_t>(first), 1, 2, 3, 4, 5, 6});
      const hsize_t start[1] = {first}, count[1] = {chunk};
      const hid_t mem = H5Screate_simple(1, count, nullptr);
      H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, count, nullptr);
      H5Dwrite(ds, type, mem, space, H5P_DEFAULT, bars.data());
      H5Sclose(mem);
    }
    H5Dclose(ds);
    H5Pclose(dcpl);
    H5Sclose(space);
    f.close();
  }
  const auto before = h5::fast_column_reads_done();
  const auto slow = read(p, false), fast = read(p, true);
  EXPECT_EQ(h5::fast_column_reads_done(), before);  // left to HDF5
  ASSERT_EQ(fast.size(), 640u);
  EXPECT_EQ(fast, slow);
  EXPECT_EQ(fast[0], 20240603093100);
  EXPECT_EQ(fast[200], 0);
  EXPECT_EQ(fast[400], 20240603093100 + 384);
}

// As many chunks stored as the rows need, but one of them outside the rows
// in place of one inside: still the fill value there, not "damaged".
TEST(FastColumnRead, AChunkOutsideTheRowsDoesNotHideAMissingOne) {
  TempDir dir;
  const std::string p = dir / "shifted.h5";
  {
    h5::File f = h5::File::open(p, h5::Mode::create);
    const hsize_t rows = 256, chunk = 128, dims[1] = {rows}, unlimited[1] = {H5S_UNLIMITED};
    const hid_t space = H5Screate_simple(1, dims, unlimited);
    const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(dcpl, 1, &chunk);
    H5Pset_deflate(dcpl, 6);
    const hid_t type = tessal_plus::bundle::EQUITIES_DTYPE().type.get();
    const hid_t ds = H5Dcreate2(f.get(), "data", type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    std::vector<EquitiesBar> bars(chunk, EquitiesBar{20240603093100, 1, 2, 3, 4, 5, 6});
    const hsize_t first[1] = {0}, beyond[1] = {256};
    // Stored with the filter skipped (mask bit 0): the bytes as they are.
    ASSERT_GE(H5Dwrite_chunk(ds, H5P_DEFAULT, 1, first, chunk * sizeof(EquitiesBar), bars.data()), 0);
    ASSERT_GE(H5Dwrite_chunk(ds, H5P_DEFAULT, 1, beyond, chunk * sizeof(EquitiesBar), bars.data()), 0);
    H5Dclose(ds);
    H5Pclose(dcpl);
    H5Sclose(space);
    f.close();
  }
  const auto slow = read(p, false), fast = read(p, true);
  ASSERT_EQ(fast.size(), 256u);
  EXPECT_EQ(fast, slow);
  EXPECT_EQ(fast[0], 20240603093100);
  EXPECT_EQ(fast[200], 0);
  // A buffer kept from another file gets the fill value there, not its old bytes.
  std::vector<char> kept(256 * sizeof(EquitiesBar), '\x55');
  {
    h5::File f = h5::File::open(p, h5::Mode::read);
    h5::read_records(f.open_dataset("data"), sizeof(EquitiesBar), kept);
  }
  EXPECT_EQ(kept, read_records(p, false));
  EXPECT_EQ(stored_row(p, 5).value_or(EquitiesBar{}).datetime, 20240603093100);  // stored unfiltered
  EXPECT_FALSE(stored_row(p, 200));                                                // not stored: HDF5's
}

// Overwrites bytes in the middle of the deflated chunk at row 384.
void damage_a_chunk(const std::string& p) {
  haddr_t addr = 0;
  hsize_t size = 0;
  {
    h5::File f = h5::File::open(p, h5::Mode::read);
    const h5::Dataset ds = f.open_dataset("data");
    hsize_t offset[1] = {384};
    unsigned mask = 0;
    ASSERT_GE(H5Dget_chunk_info_by_coord(ds.get(), offset, &mask, &addr, &size), 0);
  }
  {
    std::fstream out(p, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(static_cast<std::streamoff>(addr + size / 2));
    const std::string junk(std::min<hsize_t>(40, size / 2), '\x55');
    out.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
}

// Each read of `p` refuses it as damaged, naming the file, and the raw
// reads say `why` (HDF5's own read says it in its words).
void expect_damaged(const std::string& p, hsize_t row, const std::string& why, bool hdf5s_too) {
  std::vector<std::pair<const char*, std::function<void()>>> reads = {{"raw chunks", [&] { read(p, true); }},
                                                                      {"one raw row", [&] { stored_row(p, row); }}};
  if (hdf5s_too) reads.emplace_back("HDF5", [&] { read(p, false); });
  for (const auto& [name, how] : reads) {
    try {
      how();
      ADD_FAILURE() << "a damaged chunk must not read by " << name;
    } catch (const util::Error& e) {
      EXPECT_EQ(e.kind(), util::ErrorKind::damaged) << e.what();
      EXPECT_EQ(e.path(), p) << e.what();
      EXPECT_NE(std::string(e.what()).find(p), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find(why) != std::string::npos, std::string(name) != "HDF5") << e.what();
    }
  }
}

TEST(FastColumnRead, ADamagedChunkIsDamagedOnBothPaths) {
  TempDir dir;
  const std::string p = dir / "d.h5";
  write(p, 1000, 128, true, false, false);
  damage_a_chunk(p);
  expect_damaged(p, 400, "inflate failed", true);
}

// A whole stream that inflates to fewer bytes than the chunk's rows take
// (another dataset's smaller chunk put in its place) is damaged too.
TEST(FastColumnRead, AChunkThatInflatesShortIsDamaged) {
  TempDir dir;
  const std::string p = dir / "short.h5", small = dir / "small.h5";
  write(p, 128, 128, true, false, false);
  write(small, 64, 64, true, false, false);
  hsize_t at[1] = {0}, size = 0;
  std::vector<char> raw;
  {
    h5::File f = h5::File::open(small, h5::Mode::read);
    const h5::Dataset ds = f.open_dataset("data");
    std::uint32_t mask = 0;
    ASSERT_GE(H5Dget_chunk_storage_size(ds.get(), at, &size), 0);
    raw.resize(size);
    ASSERT_GE(H5Dread_chunk(ds.get(), H5P_DEFAULT, at, &mask, raw.data()), 0);
  }
  {
    h5::File f = h5::File::open(p, h5::Mode::read_write);
    ASSERT_GE(H5Dwrite_chunk(f.open_dataset("data").get(), H5P_DEFAULT, 0, at, raw.size(), raw.data()), 0);
    f.close();
  }
  expect_damaged(p, 0, "wrong size", false);
}

// Whole records: the stored bytes on both paths (whole chunks inflated in
// place, the last one partly beyond the rows), refused when damaged.
TEST(H5Column, ReadRecordsEqualsHdf5sReadAndRefusesADamagedChunk) {
  TempDir dir;
  const std::string p = dir / "r.h5";
  write(p, 1001, 128, true, false, false);
  const auto before = h5::fast_column_reads_done();
  const auto fast = read_records(p, true), slow = read_records(p, false);
  EXPECT_EQ(h5::fast_column_reads_done() - before, 1u);
  ASSERT_EQ(fast.size(), 1001 * sizeof(EquitiesBar));
  EXPECT_EQ(fast, slow);
  EquitiesBar last;
  std::memcpy(&last, fast.data() + 1000 * sizeof(EquitiesBar), sizeof last);
  EXPECT_EQ(last.datetime, 20240603093100 + 1000 * 37);
  EXPECT_EQ(last.total_turnover, 6);
  damage_a_chunk(p);
  for (bool fast_path : {true, false})
    EXPECT_THROW(
        try { read_records(p, fast_path); } catch (const util::Error& e) {
          EXPECT_EQ(e.kind(), util::ErrorKind::damaged) << e.what();
          throw;
        },
        util::Error);
}

}  // namespace
