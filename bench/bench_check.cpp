// Minute-bar check throughput against its limit: opening every file and
// reading (decompressing) its whole `datetime` column.
//
//   build/bench/bench_check [files=300] [years=3]
//
// The store is built once with update_minbar and kept in the temporary
// folder for later runs of the same size.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

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
  quillonc::install(sim);
  quillonc::Client& q = *sim;

  const std::string root = (std::filesystem::temp_directory_path() / fmt::format("tb-bench-check-{}-{}", n, years)).string();
  const std::string h5_root = root + "/bundle/h5";
  if (!std::filesystem::exists(root + "/ready")) {
    std::filesystem::remove_all(root);
    std::fprintf(stderr, "building the store in %s ...\n", root.c_str());
    std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    (void)quiet;
    update_minbar(h5_root, ids, false, 2);
    const auto cal = q.get_trading_dates(20050104, 20241231);
    util::npy::write_int64(root + "/bundle/trading_dates.npy", std::vector<std::int64_t>(cal.begin(), cal.end()));
    std::ofstream(root + "/ready") << "ok";
  }
  std::vector<std::string> files;
  std::uintmax_t bytes = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(h5_root))
    if (e.is_regular_file()) files.push_back(e.path().string()), bytes += e.file_size();

  // The limit: open each file and decompress its datetime column.
  const h5::Type dt = h5::Type::column("datetime", H5T_NATIVE_INT64);
  double t0 = bench::now_seconds();
  std::size_t rows = 0;
  for (const auto& f : files) {
    h5::File file = h5::File::open(f, h5::Mode::read);
    const h5::Dataset d = file.open_dataset("data");
    std::vector<std::int64_t> v(d.size());
    d.read(v.data(), dt.get());
    rows += v.size();
  }
  const double limit = bench::now_seconds() - t0;

  std::istringstream answer("no\n");
  auto* saved = std::cin.rdbuf(answer.rdbuf());
  std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
  (void)quiet;
  t0 = bench::now_seconds();
  check_min_bar_data(root);
  const double check = bench::now_seconds() - t0;
  std::cin.rdbuf(saved);

  std::fprintf(stderr, "minute-bar check, %zu files, %.1f MB compressed, %zu bars\n", files.size(), bytes / 1e6, rows);
  std::fprintf(stderr, "  check: %.2f s = %.1f files/s = %.1f MB/s\n", check, files.size() / check, bytes / 1e6 / check);
  std::fprintf(stderr, "  limit, read + decompress datetime: %.2f s = %.1f files/s = %.1f MB/s (check at %.2fx of it)\n", limit,
               files.size() / limit, bytes / 1e6 / limit, check / limit);
  return 0;
}
