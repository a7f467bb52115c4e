// Minute-bar writer throughput against its limit, zlib level 9 on the same
// bytes in chunks of the same size.
//
//   build/bench/bench_minbar_writer [years=5] [instruments=100]
//
// The service answers from memory after a warm-up pass, so the figures are
// the writer's own: conversion, HDF5, deflate.
#include <zlib.h>

#include <cstdlib>
#include <fmt/format.h>
#include <vector>

#include "common.hpp"
#include "h5/h5.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/writers.hpp"

using namespace tessal_plus::bundle;

namespace {

// zlib level 9 over `bytes` in pieces of `chunk` bytes, MB/s. One stream is
// reset per piece, so allocation is not part of the figure.
double zlib_mb_per_s(const std::vector<char>& bytes, std::size_t chunk) {
  z_stream z{};
  deflateInit(&z, 9);
  std::vector<Bytef> out(deflateBound(&z, chunk));
  const double t0 = bench::now_seconds();
  for (std::size_t off = 0; off < bytes.size(); off += chunk) {
    deflateReset(&z);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + off));
    z.avail_in = static_cast<uInt>(std::min(chunk, bytes.size() - off));
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
  }
  const double secs = bench::now_seconds() - t0;
  deflateEnd(&z);
  return static_cast<double>(bytes.size()) / 1e6 / secs;
}

}  // namespace

int main(int argc, char** argv) {
  const int years = argc > 1 ? std::atoi(argv[1]) : 5;
  const int instruments = argc > 2 ? std::atoi(argv[2]) : 100;
  std::vector<std::string> ids;
  auto sim = bench::stock_market(instruments, fmt::format("start={}", (2025 - years) * 10000 + 102), ids);
  auto service = std::make_shared<bench::CachedService>(sim);
  use(service);
  const auto flag = bench::installed_flag();

  // Warm the cache and collect the bytes the writer will compress.
  std::size_t bars = 0;
  for (const auto& id : ids) {
    const auto t = service->get_price(id, MIN_START_DATE, _get_end_date(bench::host()), quillonc::Frequency::minute, "cn");
    bars += t ? t->rows() : 0;
  }
  const std::size_t bars_one = service->get_price(ids[0], MIN_START_DATE, _get_end_date(bench::host()), quillonc::Frequency::minute, "cn")->rows();

  const std::string dir = bench::scratch("minbar");
  auto run = [&](std::size_t n) {
    std::filesystem::remove_all(dir);
    const double t0 = bench::now_seconds();
    for (std::size_t i = 0; i < n; ++i) _append_h5(bench::test_run(), ids[i], dir);
    return bench::now_seconds() - t0;
  };
  const double t_one = run(1);
  const double t_all = run(ids.size());

  // The limit: zlib level 9 over the same records, chunk by chunk as stored.
  std::vector<char> bytes;
  hsize_t chunk_rows = 0;
  {
    h5::File f = h5::File::open(dir + "/equities/" + ids[0] + ".h5", h5::Mode::read);
    const h5::Dataset d = f.open_dataset("data");
    chunk_rows = d.chunk_rows().value_or(0);
    bytes.resize(d.size() * sizeof(EquitiesBar));
    d.read(bytes.data(), EQUITIES_DTYPE().type.get());
  }
  const std::size_t chunk_bytes = chunk_rows * sizeof(EquitiesBar);
  const double zlib = zlib_mb_per_s(bytes, chunk_bytes);
  const double zlib_bars = zlib * 1e6 / sizeof(EquitiesBar);
  std::uintmax_t stored = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file()) stored += e.file_size();

  std::printf("minute-bar writer, %d years of 1m bars, chunks of %llu rows, deflate 9\n", years,
              static_cast<unsigned long long>(chunk_rows));
  std::printf("  1 instrument:    %8zu bars in %6.2f s = %9.0f bars/s\n", bars_one, t_one, bars_one / t_one);
  std::printf("  %zu instruments: %8zu bars in %6.2f s = %9.0f bars/s\n", ids.size(), bars, t_all, bars / t_all);
  std::printf("  limit, zlib -9 on the same bytes: %.1f MB/s = %9.0f bars/s (the writer takes %.2fx its time)\n", zlib, zlib_bars,
              zlib_bars / (bars / t_all));
  for (std::size_t rows : {128, 256, 1024, 4096})
    std::printf("  zlib -9 in %zu-row pieces: %.1f MB/s\n", rows, zlib_mb_per_s(bytes, rows * sizeof(EquitiesBar)));
  std::printf("  stored %.1f MB for %.1f MB of records (%.1f%%)\n", stored / 1e6, bars * 56 / 1e6, 100.0 * stored / (bars * 56.0));
  std::filesystem::remove_all(dir);
  return flag->value() ? 0 : 1;
}
