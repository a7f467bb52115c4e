#pragma once
// Shared pieces of the benchmarks: a service that answers from memory after
// a first pass (so the writer, not the simulation, is timed), a wall clock,
// and peak memory.
#include <sys/resource.h>

#include <cstdlib>
#include <vector>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

#include "quillonc/sim_market.hpp"
#include "tessal/native_host.hpp"
#include "tessal_plus/bundle/run.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"

namespace bench {

// The benchmarks' host (the command line's) and the service they run
// against, set by use().
inline tessal::NativeHost& host() {
  static tessal::NativeHost h;
  return h;
}
inline std::shared_ptr<quillonc::Client>& service() {
  static std::shared_ptr<quillonc::Client> c;
  return c;
}
inline void use(std::shared_ptr<quillonc::Client> client) {
  service() = std::move(client);
  host().set_service(service().get());
}
inline tessal_plus::bundle::Run test_run() { return tessal_plus::bundle::Run(host(), *service()); }
// The run's flag, installed in this process as a worker has it.
inline std::unique_ptr<tessal::SharedFlag> installed_flag() {
  auto flag = host().make_flag(true);
  host().process_init(*flag);
  return flag;
}

class CachedService : public quillonc::Client {
 public:
  explicit CachedService(std::shared_ptr<quillonc::SimMarket> sim) : sim_(std::move(sim)) {}
  void init(bool b) override { sim_->init(b); }
  bool bjse_enabled() override { return sim_->bjse_enabled(); }
  std::vector<quillonc::Instrument> all_instruments(const std::optional<std::string>& t, const std::string& m,
                                                    std::optional<util::Timestamp> d) override {
    return sim_->all_instruments(t, m, d);
  }
  std::optional<std::vector<quillonc::ConvertibleInstrument>> convertible_instruments(const std::vector<std::string>& ids) override {
    return sim_->convertible_instruments(ids);
  }
  std::vector<quillonc::Instrument> instruments(const std::string& id, const std::string& m) override { return sim_->instruments(id, m); }
  std::int32_t get_next_trading_date(std::int32_t d, const std::string& m) override { return sim_->get_next_trading_date(d, m); }
  std::optional<quillonc::Table> get_price(const std::string& id, std::int32_t s, std::int32_t e, quillonc::Frequency f,
                                           const std::string& m) override {
    const auto key = std::make_tuple(id, s, e, static_cast<int>(f), m);
    // Answers prepared ahead with prepare() are handed over, not copied: a
    // real service builds a fresh table per request, so a copy here would
    // be the harness's cost, not the writer's.
    if (auto ready = prepared_.find(key); ready != prepared_.end() && !ready->second.empty()) {
      auto answer = std::move(ready->second.back());
      ready->second.pop_back();
      return answer;
    }
    auto it = cache_.find(key);
    if (it == cache_.end()) it = cache_.emplace(key, sim_->get_price(id, s, e, f, m)).first;
    return it->second;
  }
  bool has_price(const std::string& id, std::int32_t d, quillonc::Frequency f) override { return sim_->has_price(id, d, f); }
  void probe_price(const std::string& id) override { sim_->probe_price(id); }
  std::vector<std::pair<std::int32_t, bool>> is_suspended(const std::string& id, std::int32_t s, std::int32_t e) override {
    return sim_->is_suspended(id, s, e);
  }

  // Keeps `copies` answers of a request ready to be handed over.
  void prepare(const std::string& id, std::int32_t s, std::int32_t e, quillonc::Frequency f, const std::string& m, int copies) {
    const auto answer = get_price(id, s, e, f, m);
    auto& ready = prepared_[std::make_tuple(id, s, e, static_cast<int>(f), m)];
    for (int k = 0; k < copies; ++k) ready.push_back(answer);
  }

 private:
  std::map<std::tuple<std::string, std::int32_t, std::int32_t, int, std::string>, std::vector<std::optional<quillonc::Table>>>
      prepared_;
  std::shared_ptr<quillonc::SimMarket> sim_;
  std::map<std::tuple<std::string, std::int32_t, std::int32_t, int, std::string>, std::optional<quillonc::Table>> cache_;
};

// A market of `stocks` common stocks and nothing else, no suspensions, the
// clock pinned at the end of 2024; `history` is "start=YYYYMMDD" or
// "history=N". Returns the simulation and the ids of its listed stocks.
inline std::shared_ptr<quillonc::SimMarket> stock_market(int stocks, const std::string& history, std::vector<std::string>& ids,
                                                         const std::string& extra = "") {
  ::setenv("TESSAL_NOW", "2024-12-31 18:00:00", 1);
  auto sim = std::make_shared<quillonc::SimMarket>(quillonc::SimSettings::parse(
      "sim:" + history + ",stocks=" + std::to_string(stocks) +
      ",bjse=0,etfs=0,lofs=0,indexes=0,reits=0,convertibles=0,futures=0,hk=0,suspend=0" + extra), quillonc::surroundings_of(host()));
  quillonc::Client& q = *sim;
  ids.clear();
  for (const auto& i : q.all_instruments(std::string("CS")))
    if (i.de_listed_date == "0000-00-00" && ids.size() < static_cast<std::size_t>(stocks)) ids.push_back(i.order_book_id);
  return sim;
}

inline double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Peak resident memory of this process and of its waited-for children, MB.
inline double peak_rss_mb(int who = RUSAGE_SELF) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

// Turns a profiler on around the timed part only: with PERF_CTL_FIFO set,
// run under `perf record -D -1 --control=fifo:$PERF_CTL_FIFO ...` and only
// the region between profile(true) and profile(false) is sampled.
inline void profile(bool on) {
  const char* fifo = std::getenv("PERF_CTL_FIFO");
  if (!fifo || !*fifo) return;
  if (std::FILE* f = std::fopen(fifo, "w")) {
    std::fputs(on ? "enable\n" : "disable\n", f);
    std::fclose(f);
  }
}

inline std::string scratch(const std::string& name) {
  const auto p = std::filesystem::temp_directory_path() / ("tb-bench-" + name);
  std::filesystem::remove_all(p);
  std::filesystem::create_directories(p);
  return p.string();
}

}  // namespace bench
