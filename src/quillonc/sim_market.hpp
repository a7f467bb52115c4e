#pragma once
// A deterministic simulated market behind the service-client interface: the
// embedded default service of the command line, the data source of the
// benchmarks, and a realistic peer for end-to-end tests. Every answer is
// computed on request from the seed, the instrument and the day; nothing is
// stored, so the same settings always give the same bytes.
//
// Settings ("sim:key=value,key=value"):
//   seed=N             randomness of prices, suspensions, duplicates (1)
//   stocks=N bjse=N    common stocks on XSHG/XSHE, and on BJSE (12, 2)
//   etfs= lofs= indexes= reits= convertibles= hk=        (2,1,2,1,2,2)
//   futures=N          futures products (2); contracts=N per product (2)
//   expired=N          contracts per product that matured before today (0),
//                      on the 15th of the months before this one
//   options=N          options per underlying, calls and puts alternating (2)
//   start=YYYYMMDD     first day with bars; or history=N trading days
//                      before today (history=60)
//   tick_start=YYYYMMDD first day with ticks; or tick_days=N (3)
//   tick_sec=N         seconds between ticks (3)
//   suspend=N          suspension days per thousand for stocks (20)
//   bjse_perm=0        BJSE data is refused with PermissionDenied
//   tick_perm=0        tick data is refused with PermissionDenied
//   deny=ID|ID         every price request for these ids is refused
//   log=PATH           append one line per price request to PATH (all
//                      processes), so tests can count requests
//   flaky=ID|ID        the first flaky_times price requests (get_price,
//   flaky_times=K      has_price) for these ids fail with a transient
//                      network error (K=1); counted across processes in
//                      PATH.flaky beside the log when log= is set, else
//                      in each process
//   die=ID|ID          a price request for these ids kills the requesting
//                      process (SIGKILL), as an out-of-memory kill would
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "tessal_plus/bundle/outside/market_data.hpp"
#include <functional>

namespace quillonc {

struct SimSettings {
  std::uint64_t seed = 1;
  int stocks = 12, bjse = 2, etfs = 2, lofs = 1, indexes = 2, reits = 1, convertibles = 2, hk = 2;
  int futures = 2, contracts = 2, options = 2, expired = 0;
  std::int32_t start = 0;  // 0: derived from history
  int history = 60;
  std::int32_t tick_start = 0;  // 0: derived from tick_days
  int tick_days = 3;
  int tick_sec = 3;
  int suspend = 20;
  bool bjse_perm = true, tick_perm = true;
  std::vector<std::string> deny;
  std::string log;
  std::vector<std::string> flaky;
  std::vector<std::string> die;
  // History the market corrects: "ID@YYYYMMDD" days whose minute bars
  // answer with one close a price tick higher once today is `revised_from`
  // or later (a vendor's correction after the bundle stored the day).
  std::vector<std::string> revise;
  std::int32_t revised_from = 0;
  int flaky_times = 1;

  // Parses "sim" or "sim:k=v,..."; throws std::invalid_argument naming the
  // bad key or value.
  static SimSettings parse(const std::string& spec);
};

// Where the market runs: the clock that says which day is today, and the
// warning channel the service reports through.
struct SimSurroundings {
  std::function<util::Timestamp()> now;
  std::function<void(const std::string&)> warn;
};
// Those of a host (anything with datetime_now() and warn()).
template <class Host>
SimSurroundings surroundings_of(Host& host) {
  return {[&host] { return host.datetime_now(); }, [&host](const std::string& m) { host.warn(m); }};
}

class SimMarket : public Client {
 public:
  SimMarket(SimSettings settings, SimSurroundings surroundings);

  void init(bool enable_bjse) override;
  bool bjse_enabled() override { return bjse_; }
  std::vector<Instrument> all_instruments(const std::optional<std::string>& type, const std::string& market,
                                          std::optional<util::Timestamp> date) override;
  std::optional<std::vector<ConvertibleInstrument>> convertible_instruments(const std::vector<std::string>& ids) override;
  std::vector<Instrument> instruments(const std::string& order_book_id, const std::string& market) override;
  std::int32_t get_next_trading_date(std::int32_t date, const std::string& market) override;
  std::optional<Table> get_price(const std::string& order_book_id, std::int32_t start_date, std::int32_t end_date,
                                 Frequency frequency, const std::string& market) override;
  bool has_price(const std::string& order_book_id, std::int32_t day, Frequency frequency) override;
  void probe_price(const std::string& order_book_id) override;
  std::vector<std::pair<std::int32_t, bool>> is_suspended(const std::string& order_book_id, std::int32_t start_date,
                                                          std::int32_t end_date) override;

  // The simulation's own view, for the day-bar updater and tests.
  const std::vector<std::int32_t>& trading_dates() const { return calendar_; }
  const SimSettings& settings() const { return s_; }
  std::int32_t history_start() const { return history_start_; }
  std::int32_t tick_start() const { return tick_start_; }
  bool suspended_on(const std::string& order_book_id, std::int32_t day) const;

 private:
  struct Inst {
    Instrument rec;
    std::vector<Instrument> extra_records;  // further records of a re-listed id
    std::string stock_code;                 // convertibles
    std::string market = "cn";
    bool hidden_without_bjse = false;
    bool night = false;  // futures and options on futures with a night session
    double base = 10;
    std::int32_t first_day = 0, last_day = 99991231;  // days with data
  };
  // Building the instrument list, in the order the service lists it.
  std::int32_t trading_days_before(int n) const;
  double base_of(const std::string& id, double lo, double hi) const;
  Inst& add(Instrument rec, double base, std::string market = "cn");
  Inst& add_stock(const std::string& id, const std::string& exch, const std::string& listed = "2000-01-04",
                  const std::string& delisted = "0000-00-00");
  std::vector<std::string> add_stocks();
  std::pair<std::vector<std::string>, std::vector<std::string>> add_funds(const std::vector<std::string>& stock_ids);
  void add_options_on(const Inst& under, const std::string& prefix, const std::string& exch, bool night);
  void add_futures_and_options(const std::vector<std::string>& index_ids);

  const Inst* find(const std::string& id) const;
  const Inst& require(const std::string& id) const;
  bool trades_on(const Inst& inst, std::int32_t day) const;
  void check_permission(const Inst& inst, Frequency f) const;
  void log_request(const std::string& what) const;
  // Throws the transient failure of a flaky id while it has failed fewer
  // than flaky_times requests.
  void maybe_fail_transiently(const std::string& id);
  std::map<std::string, int> flaky_failures_;  // per process, without log=
  std::int32_t previous_trading_day(std::int32_t day) const;
  void add_minute_bars(const Inst& inst, std::int32_t day, Table& t) const;
  void add_ticks(const Inst& inst, std::int32_t day, Table& t) const;
  double day_open(const Inst& inst, std::int32_t day) const;

  SimSettings s_;
  SimSurroundings surroundings_;
  bool bjse_ = false;
  std::vector<std::int32_t> calendar_;
  std::int32_t today_ = 0;
  std::int32_t history_start_ = 0;
  std::int32_t tick_start_ = 0;
  std::vector<Inst> insts_;
  std::unordered_map<std::string, std::size_t> by_id_;
};

}  // namespace quillonc
