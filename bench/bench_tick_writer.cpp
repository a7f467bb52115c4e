// Tick writer throughput for one instrument over 100 trading days, against
// its limit: c-blosc LZ4 level 9 with byte shuffle on the same records. Two
// costs no writer can avoid are measured apart, so the rest is visible:
// writing the compressed bytes to a file, and reading the service's answer
// (some thirty columns of doubles, far larger than the caches) once.
//
//   build/bench/bench_tick_writer [days=100] [tick_sec=3] [runs=5]
#include <blosc.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include <fmt/format.h>

#include "common.hpp"
#include "tessal/ticks_layout.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/writers.hpp"

using namespace tessal_plus::bundle;

int main(int argc, char** argv) {
  const int days = argc > 1 ? std::atoi(argv[1]) : 100;
  const int tick_sec = argc > 2 ? std::atoi(argv[2]) : 3;
  const int n_runs = std::max(1, argc > 3 ? std::atoi(argv[3]) : 5);
  std::vector<std::string> ids;
  auto sim = bench::stock_market(2, fmt::format("history={}", days), ids, fmt::format(",tick_days={},tick_sec={}", days, tick_sec));
  auto service = std::make_shared<bench::CachedService>(sim);
  use(service);
  const auto flag = bench::installed_flag();
  const std::string id = "600000.XSHG";
  const std::int32_t start = sim->tick_start(), end = _get_end_date(bench::host());

  // Warm the cache with exactly the requests the writer makes.
  const auto day_bars = service->get_price(id, start, end, quillonc::Frequency::day, "cn");
  std::vector<std::int32_t> trading;
  for (auto t : day_bars->time) trading.push_back(util::timestamp_date(t));
  std::size_t ticks = 0;
  for (std::size_t c = 0; c < trading.size(); c += TICK_DATE_CHUNK_SIZE) {
    const std::int32_t last = trading[std::min(trading.size(), c + TICK_DATE_CHUNK_SIZE) - 1];
    const auto t = service->get_price(id, trading[c], last, quillonc::Frequency::tick, "cn");
    ticks += t ? t->rows() : 0;
    service->prepare(id, trading[c], last, quillonc::Frequency::tick, "cn", n_runs + 1);
  }

  const std::string dir = bench::scratch("ticks");
  std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
  // Runs into a fresh file each; single runs vary with the machine's memory
  // behaviour, so the median is reported.
  std::vector<double> runs;
  bench::profile(true);
  for (int r = 0; r < n_runs; ++r) {
    std::filesystem::remove(dir + "/" + id + ".h5");
    const double t0 = bench::now_seconds();
    _append_h5_tick(bench::test_run(), id, dir, std::nullopt, start);
    runs.push_back(bench::now_seconds() - t0);
  }
  bench::profile(false);
  std::sort(runs.begin(), runs.end());
  const double secs = runs[runs.size() / 2];
  std::fflush(stdout);
  (void)quiet;

  // The limit: blosc over the records of each stored day, as the filter
  // does, median of five passes; the compressed days are then written to a
  // file as they would be stored.
  std::size_t raw = 0, stored = std::filesystem::file_size(dir + "/" + id + ".h5");
  std::vector<std::vector<char>> compressed;
  std::vector<double> blosc_runs;
  {
    h5::File f = h5::File::open(dir + "/" + id + ".h5", h5::Mode::read);
    blosc_init();
    blosc_set_compressor("lz4");
    const auto names = f.root_names();
    for (int pass = 0; pass < 5; ++pass) {
      double pass_secs = 0;
      raw = 0;
      compressed.clear();
      for (const auto& name : names) {
        const h5::Dataset ds = f.open_dataset(name);
        std::vector<tessal::TickRecord> rows(ds.size());
        ds.read(rows.data(), bench::host().tick_layout().type.get());
        const std::size_t bytes = rows.size() * sizeof(tessal::TickRecord);
        std::vector<char> out(bytes + BLOSC_MAX_OVERHEAD);
        const double b0 = bench::now_seconds();
        const int n = blosc_compress(9, BLOSC_SHUFFLE, sizeof(tessal::TickRecord), bytes, rows.data(), out.data(), out.size());
        pass_secs += bench::now_seconds() - b0;
        out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        compressed.push_back(std::move(out));
        raw += bytes;
      }
      blosc_runs.push_back(pass_secs);
    }
  }
  std::sort(blosc_runs.begin(), blosc_runs.end());
  const double blosc_secs = blosc_runs[2];

  // Into a fresh file each time, as the writer's runs do; median of five.
  const std::string copy = dir + "/written.bin";
  std::vector<double> write_runs;
  for (int pass = 0; pass < 5; ++pass) {
    std::filesystem::remove(copy);
    const double w0 = bench::now_seconds();
    const int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (const auto& day : compressed)
      if (fd < 0 || ::write(fd, day.data(), day.size()) != static_cast<ssize_t>(day.size())) return 2;
    ::close(fd);
    write_runs.push_back(bench::now_seconds() - w0);
  }
  std::sort(write_runs.begin(), write_runs.end());
  const double write_secs = write_runs[2];

  // The answers' columns, read once each from the last prepared copy.
  std::vector<std::optional<quillonc::Table>> answers;
  for (std::size_t c = 0; c < trading.size(); c += TICK_DATE_CHUNK_SIZE)
    answers.push_back(service->get_price(id, trading[c], trading[std::min(trading.size(), c + TICK_DATE_CHUNK_SIZE) - 1],
                                         quillonc::Frequency::tick, "cn"));
  const double r0 = bench::now_seconds();
  double sum = 0;
  for (const auto& a : answers)
    for (const auto& [name, column] : a->columns)
      for (double v : column) sum += v;
  const double read_secs = bench::now_seconds() - r0;
  const double floor_secs = blosc_secs + write_secs + read_secs;

  std::fprintf(stderr, "tick writer, 1 instrument, %zu trading days, %zu ticks (%.1f MB of records)\n", trading.size(), ticks, raw / 1e6);
  std::fprintf(stderr, "  writer (median of %zu): %.3f s = %.0f ticks/s = %.1f MB/s, stored %.1f MB (best %.3f s)\n", runs.size(), secs,
               ticks / secs, raw / 1e6 / secs, stored / 1e6, runs.front());
  std::fprintf(stderr, "  limit, blosc lz4 -9 shuffle on the same records (median of 5): %.3f s = %.0f ticks/s (writer at %.2fx of it)\n",
               blosc_secs, ticks / blosc_secs, secs / blosc_secs);
  std::fprintf(stderr, "  + writing the compressed bytes: %.3f s; + reading the answer once: %.3f s (checksum %.0f)\n", write_secs,
               read_secs, sum);
  std::fprintf(stderr, "  floor, the three together: %.3f s (writer at %.2fx of it)\n", floor_secs, secs / floor_secs);
  std::filesystem::remove_all(dir);
  return flag->value() ? 0 : 1;
}
