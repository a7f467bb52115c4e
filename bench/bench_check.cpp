// Minute-bar check against its limits, on one store: the check at -j 1 and
// -j 2, a Python/h5py full-column check of the same files, HDF5's own read
// of the column, and reading every raw chunk and inflating it with
// libdeflate in one and two processes; and the check with its content
// rules (--quality) beside the plain one.
//
//   build/bench/bench_check [files=300] [years=3]
//
// The store is built once with update_minbar and kept in the temporary
// folder for later runs of the same size.
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <functional>

#include <fmt/format.h>

#include "common.hpp"
#include "util/npy.hpp"
#include "tessal_plus/bundle/checks.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/outside/host.hpp"

using namespace tessal_plus::bundle;

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 300;
  const int years = argc > 2 ? std::atoi(argv[2]) : 3;
  std::vector<std::string> ids;
  auto sim = bench::stock_market(n, fmt::format("start={}", (2025 - years) * 10000 + 102), ids);
  bench::use(sim);

  const std::string root = (std::filesystem::temp_directory_path() / fmt::format("tb-bench-check-{}-{}", n, years)).string();
  const std::string h5_root = root + "/bundle/h5";
  if (!std::filesystem::exists(root + "/ready")) {
    std::filesystem::remove_all(root);
    std::fprintf(stderr, "building the store in %s ...\n", root.c_str());
    std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    (void)quiet;
    update_minbar(bench::test_run(), h5_root, ids, false, 2);
    std::vector<std::int64_t> cal;
    for (const auto d : sim->trading_dates())
      if (d >= 20050104 && d <= 20241231) cal.push_back(d);
    util::npy::write_int64(root + "/bundle/trading_dates.npy", cal);
    std::ofstream(root + "/ready") << "ok";
  }
  std::vector<std::string> files;
  std::uintmax_t bytes = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(h5_root))
    if (e.is_regular_file()) files.push_back(e.path().string()), bytes += e.file_size();

  // Runs `work` over the files split between `procs` processes; wall seconds.
  auto in_processes = [&](int procs, const std::function<void(const std::string&)>& work) {
    const double t0 = bench::now_seconds();
    std::vector<pid_t> kids;
    for (int k = 0; k < procs; ++k) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        for (std::size_t i = static_cast<std::size_t>(k); i < files.size(); i += static_cast<std::size_t>(procs)) work(files[i]);
        ::_exit(0);
      }
      kids.push_back(pid);
    }
    for (pid_t p : kids) ::waitpid(p, nullptr, 0);
    return bench::now_seconds() - t0;
  };
  // The limit: read every raw chunk of `data` and inflate it with libdeflate.
  auto inflate_all = [](const std::string& f) {
    static libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    h5::File file = h5::File::open(f, h5::Mode::read);
    const h5::Dataset data = file.open_dataset("data");
    const hsize_t total = data.size(), chunk = *data.chunk_rows();
    const std::size_t chunk_bytes = chunk * data.type().size();
    std::vector<char> raw, plain(chunk_bytes);
    for (hsize_t first = 0; first < total; first += chunk) {
      hsize_t offset[1] = {first}, stored = 0;
      // Found through the chunk tree (H5Dget_chunk_info_by_coord walks all
      // chunks before this one in HDF5 1.10).
      H5Dget_chunk_storage_size(data.get(), offset, &stored);
      raw.resize(stored);
      std::uint32_t filters = 0;
      H5Dread_chunk(data.get(), H5P_DEFAULT, offset, &filters, raw.data());
      std::size_t got = 0;
      libdeflate_zlib_decompress(d, raw.data(), stored, plain.data(), chunk_bytes, &got);
    }
  };
  // HDF5's own filter pipeline (zlib) on the same column.
  const h5::Type dt = h5::Type::column("datetime", H5T_NATIVE_INT64);
  std::size_t rows = 0;
  const double t_hdf5 = bench::now_seconds();
  for (const auto& f : files) {
    h5::File file = h5::File::open(f, h5::Mode::read);
    const h5::Dataset d = file.open_dataset("data");
    std::vector<std::int64_t> v(d.size());
    d.read(v.data(), dt.get());
    rows += v.size();
  }
  const double hdf5_read = bench::now_seconds() - t_hdf5;
  const double limit1 = in_processes(1, inflate_all), limit2 = in_processes(2, inflate_all);

  auto timed_check = [&](int jobs, bool quality = false, int verify = 0) {
    std::istringstream answer("no\n");
    auto* saved = std::cin.rdbuf(answer.rdbuf());
    std::fflush(stdout);
    const int out = ::dup(1);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    bench::profile(true);
    const double t0 = bench::now_seconds();
    check_min_bar_data(bench::test_run(), root, jobs, CheckOptions{.quality = quality, .verify = verify, .verify_seed = 7});
    const double t = bench::now_seconds() - t0;
    bench::profile(false);
    std::fflush(stdout);
    ::dup2(out, 1);
    ::close(out), ::close(null);
    std::cin.rdbuf(saved);
    return t;
  };
  const double check1 = timed_check(1), check2 = timed_check(2);
  // The content rules on the same records: best of three each, the plain
  // check again beside it.
  double plain2 = check2, quality1 = timed_check(1, true), quality2 = timed_check(2, true);
  for (int round = 0; round < 2; ++round) {
    plain2 = std::min(plain2, timed_check(2));
    quality1 = std::min(quality1, timed_check(1, true));
    quality2 = std::min(quality2, timed_check(2, true));
  }
  // One stored day per file fetched again from the simulated market (in this
  // process: the request and its conversion, not a network) and compared.
  const double verify1 = timed_check(1, false, 1), verify2 = timed_check(2, false, 1);
  const double peak_child = bench::peak_rss_mb(RUSAGE_CHILDREN);

  // The same check as a user would write it in Python with h5py.
  const std::string script = std::string(TB_SOURCE_DIR) + "/bench/check_h5py.py";
  const double t_py = bench::now_seconds();
  const int py_status = std::system(fmt::format("/usr/bin/python3 {} {}/bundle > /dev/null", script, root).c_str());
  const double python = bench::now_seconds() - t_py;

  std::fprintf(stderr, "minute-bar check, %zu files, %.1f MB compressed, %zu bars (%.1f MB of records)\n", files.size(),
               bytes / 1e6, rows, rows * 56 / 1e6);
  std::fprintf(stderr, "  check -j 1:                          %6.2f s\n", check1);
  std::fprintf(stderr, "  check -j 2:                          %6.2f s  (speed-up %.2fx)\n", check2, check1 / check2);
  std::fprintf(stderr, "  check --quality -j 1:                %6.2f s  (%.2fx the plain check)\n", quality1, quality1 / check1);
  std::fprintf(stderr, "  check --quality -j 2:                %6.2f s  (%.2fx the plain check's best %.2f s)\n", quality2,
               quality2 / plain2, plain2);
  std::fprintf(stderr, "  check --verify 1 -j 1:               %6.2f s  (%.2fx the plain check; one request per file)\n", verify1,
               verify1 / check1);
  std::fprintf(stderr, "  check --verify 1 -j 2:               %6.2f s  (%.2fx the plain check's best)\n", verify2, verify2 / plain2);
  std::fprintf(stderr, "  python/h5py full-column check:       %6.2f s%s  (our -j 2 is %.1fx faster)\n", python,
               py_status == 0 ? "" : " (failed)", python / check2);
  std::fprintf(stderr, "  HDF5's own read of datetime (zlib):  %6.2f s\n", hdf5_read);
  std::fprintf(stderr, "  limit, raw chunks + libdeflate, 1 process:  %6.2f s  (check -j 1 at %.2fx)\n", limit1, check1 / limit1);
  std::fprintf(stderr, "  limit, raw chunks + libdeflate, 2 processes: %6.2f s  (check -j 2 at %.2fx)\n", limit2, check2 / limit2);
  std::fprintf(stderr, "  peak memory of a checking process: %.1f MB\n", peak_child);
  return 0;
}
