// Tick writer throughput for one instrument over 100 trading days, against
// its limit: c-blosc LZ4 level 9 with byte shuffle on the same records.
//
//   build/bench/bench_tick_writer [days=100] [tick_sec=3]
#include <blosc.h>

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
  std::vector<std::string> ids;
  auto sim = bench::stock_market(2, fmt::format("history={}", days), ids, fmt::format(",tick_days={},tick_sec={}", days, tick_sec));
  auto service = std::make_shared<bench::CachedService>(sim);
  quillonc::install(service);
  tessal::SharedFlagOwner flag(true);
  tessal::data::bundle::process_init(flag.get());
  const std::string id = "600000.XSHG";
  const std::int32_t start = sim->tick_start(), end = _get_end_date();

  // Warm the cache with exactly the requests the writer makes.
  const auto day_bars = service->get_price(id, start, end, quillonc::Frequency::day, "cn");
  std::vector<std::int32_t> trading;
  for (auto t : day_bars->time) trading.push_back(util::timestamp_date(t));
  std::size_t ticks = 0;
  for (std::size_t c = 0; c < trading.size(); c += TICK_DATE_CHUNK_SIZE) {
    const std::int32_t last = trading[std::min(trading.size(), c + TICK_DATE_CHUNK_SIZE) - 1];
    const auto t = service->get_price(id, trading[c], last, quillonc::Frequency::tick, "cn");
    ticks += t ? t->rows() : 0;
    service->prepare(id, trading[c], last, quillonc::Frequency::tick, "cn", 5);
  }

  const std::string dir = bench::scratch("ticks");
  std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
  // Five runs into a fresh file each; single runs vary with the machine's
  // memory behaviour, so the median is reported.
  std::vector<double> runs;
  for (int r = 0; r < 5; ++r) {
    std::filesystem::remove(dir + "/" + id + ".h5");
    const double t0 = bench::now_seconds();
    _append_h5_tick(id, dir, std::nullopt, start);
    runs.push_back(bench::now_seconds() - t0);
  }
  std::sort(runs.begin(), runs.end());
  const double secs = runs[2];
  std::fflush(stdout);
  (void)quiet;

  // The limit: blosc over the records of each stored day, as the filter does.
  std::size_t raw = 0, stored = std::filesystem::file_size(dir + "/" + id + ".h5");
  double blosc_secs = 0;
  {
    h5::File f = h5::File::open(dir + "/" + id + ".h5", h5::Mode::read);
    blosc_init();
    for (const auto& name : f.root_names()) {
      const h5::Dataset ds = f.open_dataset(name);
      std::vector<tessal::TickRecord> rows(ds.size());
      ds.read(rows.data(), tessal::H5TicksLoader::DTYPES().get());
      const std::size_t bytes = rows.size() * sizeof(tessal::TickRecord);
      std::vector<char> out(bytes + BLOSC_MAX_OVERHEAD);
      blosc_set_compressor("lz4");
      const double b0 = bench::now_seconds();
      blosc_compress(9, BLOSC_SHUFFLE, sizeof(tessal::TickRecord), bytes, rows.data(), out.data(), out.size());
      blosc_secs += bench::now_seconds() - b0;
      raw += bytes;
    }
  }
  std::fprintf(stderr, "tick writer, 1 instrument, %zu trading days, %zu ticks (%.1f MB of records)\n", trading.size(), ticks, raw / 1e6);
  std::fprintf(stderr, "  writer (median of 5): %.2f s = %.0f ticks/s = %.1f MB/s, stored %.1f MB (best %.2f s)\n", secs,
               ticks / secs, raw / 1e6 / secs, stored / 1e6, runs.front());
  std::fprintf(stderr, "  limit, blosc lz4 -9 shuffle on the same records: %.2f s = %.0f ticks/s (writer at %.2fx of it)\n",
               blosc_secs, ticks / blosc_secs, secs / blosc_secs);
  std::filesystem::remove_all(dir);
  return flag.get()->value() ? 0 : 1;
}
