#pragma once
// What the bundle module requires of the market-data service client
// `quillonc`. The module makes no other use of the outside world's data
// than the calls declared here; an operation is handed its client with its
// run (run.hpp) and never looks one up.
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/datetime.hpp"
#include "util/error.hpp"

namespace quillonc {

// The service refuses a request the account may not make
// (quillonc.share.errors.PermissionDenied).
class PermissionDenied : public util::Error {
 public:
  explicit PermissionDenied(const std::string& what) : util::Error(util::ErrorKind::denied, "", what) {}
};

// Any other failure reported by the service itself.
class ServiceError : public util::Error {
 public:
  explicit ServiceError(const std::string& what) : util::Error(util::ErrorKind::service, "", what) {}
};

// The service's instrument `type` texts (the host's INSTRUMENT_TYPE holds
// the same values).
namespace instrument_type {
inline constexpr std::string_view CS = "CS";
inline constexpr std::string_view FUTURE = "Future";
inline constexpr std::string_view ETF = "ETF";
inline constexpr std::string_view LOF = "LOF";
inline constexpr std::string_view INDX = "INDX";
inline constexpr std::string_view OPTION = "Option";
inline constexpr std::string_view CONVERTIBLE = "Convertible";
inline constexpr std::string_view REITs = "REITs";
}  // namespace instrument_type

// One row of an instrument table, or one instrument record.
struct Instrument {
  std::string order_book_id;
  std::string type;                      // an instrument_type value
  std::string exchange;
  std::string de_listed_date = "0000-00-00";  // YYYY-MM-DD, "0000-00-00" while listed
  std::string listed_date = "0000-00-00";
  std::string underlying_symbol;         // futures and options
  std::string underlying_order_book_id;  // futures and options
};

// Record of convertible.instruments: the bond and the stock it converts into.
struct ConvertibleInstrument {
  std::string order_book_id;
  std::string stock_code;
};

// A table of one instrument's rows, indexed by (order book id, time stamp):
// bars, ticks or day bars. Columns are named as the service names them.
struct Table {
  std::string order_book_id;
  std::vector<util::Timestamp> time;                         // second index level
  std::vector<std::pair<std::string, std::vector<double>>> columns;
  std::optional<std::vector<util::Timestamp>> trading_date;  // present for futures bars and ticks

  std::size_t rows() const noexcept { return time.size(); }
  bool empty() const noexcept { return time.empty(); }
  const std::vector<double>* column(std::string_view name) const noexcept {
    for (const auto& [n, v] : columns)
      if (n == name) return &v;
    return nullptr;
  }
  std::vector<double>& add_column(std::string name) { return columns.emplace_back(std::move(name), std::vector<double>{}).second; }
};

enum class Frequency { minute, tick, day };

class Client {
 public:
  virtual ~Client() = default;

  // init(enable_bjse=...): (re)opens the session with or without BJSE
  // coverage; throws when the session cannot be opened.
  virtual void init(bool enable_bjse) = 0;
  // client.bjse_enabled()
  virtual bool bjse_enabled() = 0;

  // all_instruments(), all_instruments(TYPE), all_instruments("CS", market="hk"),
  // all_instruments(type="CS", date=now): rows in the service's order.
  virtual std::vector<Instrument> all_instruments(const std::optional<std::string>& type = std::nullopt,
                                                  const std::string& market = "cn",
                                                  std::optional<util::Timestamp> date = std::nullopt) = 0;
  // convertible.instruments(ids): nothing, or the records found.
  virtual std::optional<std::vector<ConvertibleInstrument>> convertible_instruments(const std::vector<std::string>& ids) = 0;
  // instruments(id, market=...): the records of the id (usually one;
  // several for a re-listed id); empty for an unknown id.
  virtual std::vector<Instrument> instruments(const std::string& order_book_id, const std::string& market = "cn") = 0;
  // get_next_trading_date(date, market=...): the next trading day after `date`.
  virtual std::int32_t get_next_trading_date(std::int32_t date, const std::string& market = "cn") = 0;
  // get_price(id, start, end, frequency=..., adjust_type="none", expect_df=True, market=...):
  // nothing when there is no data. Days are YYYYMMDD, both inclusive.
  virtual std::optional<Table> get_price(const std::string& order_book_id, std::int32_t start_date, std::int32_t end_date,
                                         Frequency frequency, const std::string& market = "cn") = 0;
  // get_price(id, d, d, frequency=...) asked only for whether data exists.
  virtual bool has_price(const std::string& order_book_id, std::int32_t day, Frequency frequency) {
    return get_price(order_book_id, day, day, frequency).has_value();
  }
  // get_price(id, stored_day, end) of day bars, where `stored_day` is a day
  // the tick store holds and is passed on as its dataset's name
  // ("20240603"), as a Python host's client has always received it; the
  // same request as get_price's otherwise.
  virtual std::optional<Table> day_bars_since_stored(const std::string& order_book_id, std::int32_t stored_day,
                                                     std::int32_t end_date) {
    return get_price(order_book_id, stored_day, end_date, Frequency::day);
  }
  // get_price(id) with no dates: only whether the account may read the id
  // matters; throws PermissionDenied when it may not.
  virtual void probe_price(const std::string& order_book_id) = 0;
  // is_suspended(id, start, end): one flag per trading day, ascending.
  virtual std::vector<std::pair<std::int32_t, bool>> is_suspended(const std::string& order_book_id, std::int32_t start_date,
                                                                  std::int32_t end_date) = 0;

  // Runs once in each new worker process of an update, before its first
  // task: a client that holds sockets, threads or random state inherited
  // through fork reconnects or re-seeds here.
  virtual void on_worker_start() {}

};

}  // namespace quillonc
