// `status` over a large store: per file, opening it and reading its
// metadata (minute bars: the first and last `index` record and the size of
// `data`; ticks: the day names and each day's row count).
//
//   build/bench/bench_status [minute_files=1000] [tick_files=200] [days=20] [rounds=5]
//
// The store is built once with update_minbar / update_tick and kept in the
// temporary folder for later runs of the same size. The aim is under 2 ms
// per file (warm page cache).
#include <algorithm>
#include <fstream>

#include <fmt/format.h>

#include "common.hpp"
#include "util/npy.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/health_page.hpp"
#include "tessal_plus/bundle/status.hpp"

using namespace tessal_plus::bundle;

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int n_tick = argc > 2 ? std::atoi(argv[2]) : 200;
  const int days = argc > 3 ? std::atoi(argv[3]) : 20;
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 5;
  std::vector<std::string> ids;
  auto sim = bench::stock_market(n, fmt::format("history={}", days), ids, fmt::format(",tick_days={}", days));
  bench::use(sim);

  const std::string root = (std::filesystem::temp_directory_path() / fmt::format("tb-bench-status-{}-{}-{}", n, n_tick, days)).string();
  if (!std::filesystem::exists(root + "/ready")) {
    std::filesystem::remove_all(root);
    std::fprintf(stderr, "building the store in %s ...\n", root.c_str());
    std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    (void)quiet;
    update_minbar(bench::test_run(), root + "/bundle/h5", ids, false, 2);
    update_tick(bench::test_run(), root + "/bundle/ticks", std::vector<std::string>(ids.begin(), ids.begin() + std::min<std::ptrdiff_t>(n_tick, static_cast<std::ptrdiff_t>(ids.size()))),
                false, 2);
    // The base files as an update writes them: the calendar, the instrument
    // list and the suspension days the health page reads.
    bench::host().update_daybar(root + "/bundle", true, true, 1, false, tessal::BjseKeyword::quillon_kwargs);
    std::ofstream(root + "/ready") << "ok";
  }

  std::vector<double> times;
  BundleStatus last;
  for (int r = 0; r < rounds; ++r) {
    const double t0 = bench::now_seconds();
    last = bundle_status(bench::host(), root);
    times.push_back(bench::now_seconds() - t0);
  }
  std::sort(times.begin(), times.end());
  std::size_t files = 0, minute_files = 0, tick_files = 0;
  for (const auto& s : last.stores) {
    files += s.files.size();
    (s.store == Store::minute ? minute_files : tick_files) += s.files.size();
  }
  // The health page: the status with every file's days, the instrument
  // lives, the suspension days and the page itself.
  std::vector<double> page_times;
  std::size_t page_bytes = 0;
  for (int r = 0; r < rounds; ++r) {
    const double t0 = bench::now_seconds();
    const BundleStatus with_days = bundle_status(bench::host(), root, true);
    HealthInputs inputs;
    read_instrument_lives(with_days, inputs);
    read_suspensions(with_days, inputs);
    page_bytes = health_page(bench::host(), with_days, inputs).size();
    page_times.push_back(bench::now_seconds() - t0);
  }
  std::sort(page_times.begin(), page_times.end());
  const double median = times[times.size() / 2];
  std::fprintf(stderr, "status, %zu files (%zu minute-bar, %zu tick, %d days each), %zu unreadable\n", files, minute_files, tick_files,
               days, last.unreadable_files());
  std::fprintf(stderr, "  median of %d rounds: %.3f s = %.3f ms per file (best %.3f s, worst %.3f s); aim 2 ms per file\n", rounds,
               median, median * 1e3 / static_cast<double>(files), times.front(), times.back());
  const double page = page_times[page_times.size() / 2];
  std::fprintf(stderr, "  health page (%zu KB): median %.3f s = %.3f ms per file (best %.3f s); aim 3 ms per file\n",
               page_bytes / 1024, page, page * 1e3 / static_cast<double>(files), page_times.front());
  return 0;
}
