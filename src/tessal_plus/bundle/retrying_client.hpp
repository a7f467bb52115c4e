#pragma once
// A service client that retries the requests of the client it wraps when
// they fail with a transient error: the service failing a request
// (util::ErrorKind::service) or the transfer failing (network). A refusal
// (PermissionDenied, kind denied) is final, and so is a failure about an
// instrument the service does not know: retrying either only delays the
// run's end. Retries wait with exponential backoff and jitter, and each is
// logged. Installed around the real client by the command line's
// --retries; with no retries the client is used as it is.
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "tessal_plus/bundle/outside/market_data.hpp"

namespace tessal_plus::bundle {

struct RetryPolicy {
  int retries = 0;                   // further attempts after the first
  std::uint32_t base_delay_ms = 500;  // the wait before the first retry
  std::uint32_t max_delay_ms = 30000;
};

class RetryingClient : public quillonc::Client {
 public:
  using Log = std::function<void(const std::string&)>;
  using Sleep = std::function<void(std::uint32_t ms)>;
  // `log` gets one line per retry; `sleep` waits (replaced in tests).
  RetryingClient(std::shared_ptr<quillonc::Client> inner, RetryPolicy policy, Log log, Sleep sleep = {});

  // Whether a failure of kind `kind` may go away on its own.
  static bool transient(util::ErrorKind kind) noexcept;
  // The wait before retry number `attempt` (1 for the first): base * 2^(attempt-1),
  // at most max, of which a random part up to half is taken off, so workers
  // that failed together do not retry together.
  std::uint32_t delay_ms(int attempt);

  void init(bool enable_bjse) override;
  bool bjse_enabled() override;
  std::vector<quillonc::Instrument> all_instruments(const std::optional<std::string>& type, const std::string& market,
                                          std::optional<util::Timestamp> date) override;
  std::optional<std::vector<quillonc::ConvertibleInstrument>> convertible_instruments(const std::vector<std::string>& ids) override;
  std::vector<quillonc::Instrument> instruments(const std::string& order_book_id, const std::string& market) override;
  std::int32_t get_next_trading_date(std::int32_t date, const std::string& market) override;
  std::optional<quillonc::Table> get_price(const std::string& order_book_id, std::int32_t start_date, std::int32_t end_date,
                                 quillonc::Frequency frequency, const std::string& market) override;
  bool has_price(const std::string& order_book_id, std::int32_t day, quillonc::Frequency frequency) override;
  std::optional<quillonc::Table> day_bars_since_stored(const std::string& order_book_id, std::int32_t stored_day,
                                             std::int32_t end_date) override;
  void probe_price(const std::string& order_book_id) override;
  std::vector<std::pair<std::int32_t, bool>> is_suspended(const std::string& order_book_id, std::int32_t start_date,
                                                          std::int32_t end_date) override;
  // Forked workers re-seed the jitter, then the wrapped client's hook runs.
  void on_worker_start() override;

 private:
  // Runs `request` (named `what`, about `order_book_id` in `market` when
  // it concerns one) with the retry rules.
  template <class F>
  auto attempt(const std::string& what, const std::string& order_book_id, const std::string& market, F request);
  bool unknown_instrument(const std::string& order_book_id, const std::string& market);

  std::shared_ptr<quillonc::Client> inner_;
  RetryPolicy policy_;
  Log log_;
  Sleep sleep_;
  std::mt19937_64 random_;
};

}  // namespace tessal_plus::bundle
