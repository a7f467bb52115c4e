#include "tessal_plus/bundle/retrying_client.hpp"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <fmt/format.h>

namespace tessal_plus::bundle {

using quillonc::Client;
using quillonc::ConvertibleInstrument;
using quillonc::Frequency;
using quillonc::Instrument;
using quillonc::Table;

namespace {

void sleep_ms(std::uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::uint64_t seed() {
  std::random_device rd;
  return (static_cast<std::uint64_t>(rd()) << 32) ^ rd() ^ static_cast<std::uint64_t>(::getpid());
}

}  // namespace

RetryingClient::RetryingClient(std::shared_ptr<Client> inner, RetryPolicy policy, Log log, Sleep sleep)
    : inner_(std::move(inner)), policy_(policy), log_(std::move(log)), sleep_(sleep ? std::move(sleep) : Sleep(sleep_ms)), random_(seed()) {}

bool RetryingClient::transient(util::ErrorKind kind) noexcept {
  return kind == util::ErrorKind::service || kind == util::ErrorKind::network;
}

std::uint32_t RetryingClient::delay_ms(int attempt) {
  const int doublings = std::clamp(attempt - 1, 0, 30);
  const std::uint64_t full = std::min<std::uint64_t>(static_cast<std::uint64_t>(policy_.base_delay_ms) << doublings, policy_.max_delay_ms);
  const std::uint64_t jitter = full / 2 == 0 ? 0 : std::uniform_int_distribution<std::uint64_t>(0, full / 2)(random_);
  return static_cast<std::uint32_t>(full - jitter);
}

bool RetryingClient::unknown_instrument(const std::string& order_book_id, const std::string& market) {
  if (order_book_id.empty()) return false;
  try {
    return inner_->instruments(order_book_id, market).empty();
  } catch (const std::exception&) {
    return false;  // the service is still failing: the lookup tells nothing
  }
}

template <class F>
auto RetryingClient::attempt(const std::string& what, const std::string& order_book_id, const std::string& market, F request) {
  for (int n = 1;; ++n) {
    try {
      return request();
    } catch (const util::Error& e) {
      if (n > policy_.retries || !transient(e.kind())) throw;
      if (e.kind() == util::ErrorKind::service && unknown_instrument(order_book_id, market)) throw;
      const std::uint32_t wait = delay_ms(n);
      if (log_)
        log_(fmt::format("retry {}/{} of {}{}{} in {} ms after: {}", n, policy_.retries, what, order_book_id.empty() ? "" : " ",
                         order_book_id, wait, e.what()));
      sleep_(wait);
    }
  }
}

void RetryingClient::init(bool enable_bjse) {
  attempt("init", "", "cn", [&] { inner_->init(enable_bjse); });
}
bool RetryingClient::bjse_enabled() { return inner_->bjse_enabled(); }
std::vector<Instrument> RetryingClient::all_instruments(const std::optional<std::string>& type, const std::string& market,
                                                        std::optional<util::Timestamp> date) {
  return attempt("all_instruments", "", market, [&] { return inner_->all_instruments(type, market, date); });
}
std::optional<std::vector<ConvertibleInstrument>> RetryingClient::convertible_instruments(const std::vector<std::string>& ids) {
  return attempt("convertible_instruments", "", "cn", [&] { return inner_->convertible_instruments(ids); });
}
std::vector<Instrument> RetryingClient::instruments(const std::string& id, const std::string& market) {
  // An unknown id gives an empty answer here, not a failure.
  return attempt("instruments", "", market, [&] { return inner_->instruments(id, market); });
}
std::int32_t RetryingClient::get_next_trading_date(std::int32_t date, const std::string& market) {
  return attempt("get_next_trading_date", "", market, [&] { return inner_->get_next_trading_date(date, market); });
}
std::optional<Table> RetryingClient::get_price(const std::string& id, std::int32_t start, std::int32_t end, Frequency f,
                                               const std::string& market) {
  return attempt("get_price", id, market, [&] { return inner_->get_price(id, start, end, f, market); });
}
std::optional<Table> RetryingClient::day_bars_since_stored(const std::string& id, std::int32_t stored_day, std::int32_t end) {
  return attempt("get_price", id, "cn", [&] { return inner_->day_bars_since_stored(id, stored_day, end); });
}
bool RetryingClient::has_price(const std::string& id, std::int32_t day, Frequency f) {
  return attempt("has_price", id, "cn", [&] { return inner_->has_price(id, day, f); });
}
void RetryingClient::probe_price(const std::string& id) {
  attempt("probe_price", id, "cn", [&] { inner_->probe_price(id); });
}
std::vector<std::pair<std::int32_t, bool>> RetryingClient::is_suspended(const std::string& id, std::int32_t start, std::int32_t end) {
  return attempt("is_suspended", id, "cn", [&] { return inner_->is_suspended(id, start, end); });
}
void RetryingClient::on_worker_start() {
  random_.seed(seed());
  inner_->on_worker_start();
}

}  // namespace tessal_plus::bundle
