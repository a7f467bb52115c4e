// update_minbar over a simulated market at concurrency 1 and 2, and the
// cost of an up-to-date rerun per instrument.
//
//   build/bench/bench_update [instruments=500] [trading_days=244]
//
// The service is the simulated market itself, so its bar generation is part
// of the figures, as a real service's transfer would be.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <fmt/format.h>

#include "common.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/writers.hpp"

using namespace tessal_plus::bundle;

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 500;
  const int days = argc > 2 ? std::atoi(argv[2]) : 244;
  std::vector<std::string> ids;
  auto sim = bench::stock_market(n, fmt::format("history={}", days), ids);
  bench::use(sim);
  quillonc::Client& q = *sim;
  std::size_t bars = 0;
  for (const auto& id : {ids[0]}) bars = q.get_price(id, MIN_START_DATE, _get_end_date(bench::host()), quillonc::Frequency::minute, "cn")->rows();
  // Every fifth stock lists late, so count the bars of all from the files.
  const std::string dir = bench::scratch("update");
  std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
  (void)quiet;

  double wall[3] = {0, 0, 0};
  for (int c = 1; c <= 2; ++c) {
    std::filesystem::remove_all(dir);
    const double t0 = bench::now_seconds();
    // Each run in a child, so peak memory is per run.
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(update_minbar(bench::test_run(), dir, ids, false, c).succeeded ? 0 : 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    wall[c] = bench::now_seconds() - t0;
  }
  bars = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file()) {
      h5::File f = h5::File::open(e.path().string(), h5::Mode::read);
      bars += f.open_dataset("data").size();
    }
  const double peak_worker = bench::peak_rss_mb(RUSAGE_CHILDREN);

  // Up-to-date rerun: the writer's own cost beyond the service's lookups.
  const auto flag = bench::installed_flag();
  double t0 = bench::now_seconds();
  for (const auto& id : ids) _append_h5(bench::test_run(), id, dir);
  const double rerun = bench::now_seconds() - t0;
  t0 = bench::now_seconds();
  for (const auto& id : ids) {
    q.instruments(id, "cn");
    q.get_next_trading_date(20241231, "cn");
  }
  const double service = bench::now_seconds() - t0;

  std::fprintf(stderr, "update_minbar, %zu instruments, %d trading days, %zu bars written\n", ids.size(), days, bars);
  for (int c = 1; c <= 2; ++c)
    std::fprintf(stderr, "  concurrency %d: %6.1f s, %6.1f instruments/s, %9.0f bars/s\n", c, wall[c], ids.size() / wall[c], bars / wall[c]);
  std::fprintf(stderr, "  speed-up at concurrency 2: %.2fx\n", wall[1] / wall[2]);
  std::fprintf(stderr, "  peak memory of one worker (largest child): %.1f MB\n", peak_worker);
  std::fprintf(stderr, "  up-to-date rerun: %.3f ms per instrument, of which service lookups %.3f ms; writer's own %.3f ms\n",
               1e3 * rerun / ids.size(), 1e3 * service / ids.size(), 1e3 * (rerun - service) / ids.size());
  std::filesystem::remove_all(dir);
  return 0;
}
