#include "quillonc/sim_market.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

#include "util/fd.hpp"
#include "util/mix.hpp"

namespace quillonc {

namespace IT = instrument_type;

namespace {

std::uint64_t hash_text(const std::string& s) {
  std::uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ULL;
  return h;
}
std::uint64_t hash3(std::uint64_t a, std::uint64_t b, std::uint64_t c) { return util::mix64(util::mix64(util::mix64(a) ^ b) ^ c); }
// Uniform in [-1, 1).
double unit(std::uint64_t h) { return static_cast<double>(h >> 11) / static_cast<double>(1ULL << 52) - 1.0; }

bool is_holiday(std::int32_t d) {
  const int md = d % 10000;
  const int doy = static_cast<int>(util::yyyymmdd_to_days(d) - util::yyyymmdd_to_days(d / 10000 * 10000 + 101));
  return md == 101 || (doy >= 40 && doy <= 46) || (md >= 501 && md <= 503) || (md >= 1001 && md <= 1007);
}

int to_int(const std::string& key, const std::string& v) {
  try {
    std::size_t used = 0;
    const int n = std::stoi(v, &used);
    if (used == v.size() && n >= 0) return n;
  } catch (const std::exception&) {
  }
  throw std::invalid_argument(fmt::format("sim setting '{}': '{}' is not a non-negative integer", key, v));
}

}  // namespace

SimSettings SimSettings::parse(const std::string& spec) {
  SimSettings s;
  if (spec != "sim" && spec.rfind("sim:", 0) != 0)
    throw std::invalid_argument(fmt::format("unknown service '{}' (expected 'sim' or 'sim:key=value,...')", spec));
  if (spec.size() <= 4) return s;
  std::size_t pos = 4;
  while (pos <= spec.size()) {
    const std::size_t comma = std::min(spec.find(',', pos), spec.size());
    const std::string item = spec.substr(pos, comma - pos);
    pos = comma + 1;
    if (item.empty()) continue;
    const auto eq = item.find('=');
    if (eq == std::string::npos) throw std::invalid_argument(fmt::format("sim setting '{}' has no value", item));
    const std::string k = item.substr(0, eq), v = item.substr(eq + 1);
    std::map<std::string, int*> ints = {{"stocks", &s.stocks}, {"bjse", &s.bjse},       {"etfs", &s.etfs},
                                        {"lofs", &s.lofs},     {"indexes", &s.indexes}, {"reits", &s.reits},
                                        {"convertibles", &s.convertibles}, {"hk", &s.hk}, {"futures", &s.futures},
                                        {"contracts", &s.contracts}, {"expired", &s.expired}, {"options", &s.options}, {"history", &s.history},
                                        {"tick_days", &s.tick_days}, {"tick_sec", &s.tick_sec}, {"suspend", &s.suspend}};
    if (auto it = ints.find(k); it != ints.end()) *it->second = to_int(k, v);
    else if (k == "seed") s.seed = static_cast<std::uint64_t>(to_int(k, v));
    else if (k == "start" || k == "tick_start") {
      const int d = to_int(k, v);
      if (!util::is_valid_yyyymmdd(d)) throw std::invalid_argument(fmt::format("sim setting '{}': '{}' is not a YYYYMMDD date", k, v));
      (k == "start" ? s.start : s.tick_start) = d;
    } else if (k == "revised_from") {
      s.revised_from = to_int(k, v);
      if (!util::is_valid_yyyymmdd(s.revised_from)) throw std::invalid_argument(fmt::format("sim setting 'revised_from': '{}' is not a YYYYMMDD date", v));
    } else if (k == "bjse_perm") s.bjse_perm = to_int(k, v) != 0;
    else if (k == "tick_perm") s.tick_perm = to_int(k, v) != 0;
    else if (k == "log") s.log = v;
    else if (k == "flaky_times") s.flaky_times = to_int(k, v);
    else if (k == "deny" || k == "flaky" || k == "die" || k == "revise") {
      auto& ids = k == "deny" ? s.deny : k == "flaky" ? s.flaky : k == "die" ? s.die : s.revise;
      std::size_t p = 0;
      while (p <= v.size()) {
        const std::size_t bar = std::min(v.find('|', p), v.size());
        if (bar > p) ids.push_back(v.substr(p, bar - p));
        p = bar + 1;
      }
    } else throw std::invalid_argument(fmt::format("unknown sim setting '{}'", k));
  }
  if (s.tick_sec < 1) throw std::invalid_argument("sim setting 'tick_sec' must be at least 1");
  return s;
}

SimMarket::SimMarket(SimSettings settings, SimSurroundings surroundings) : s_(std::move(settings)), surroundings_(std::move(surroundings)) {
  for (std::int32_t d = 20040102; d <= 20301231; d = util::add_days(d, 1))
    if (util::weekday(d) < 5 && !is_holiday(d)) calendar_.push_back(d);
  today_ = util::timestamp_date(surroundings_.now());
  history_start_ = s_.start ? s_.start : trading_days_before(std::max(1, s_.history));
  tick_start_ = s_.tick_start ? s_.tick_start : std::max(history_start_, trading_days_before(std::max(1, s_.tick_days)));
  const auto stock_ids = add_stocks();
  const auto [etf_ids, index_ids] = add_funds(stock_ids);
  add_futures_and_options(index_ids);
  if (!etf_ids.empty()) {
    const Inst copy = insts_[by_id_[etf_ids.front()]];
    add_options_on(copy, "", "XSHG", false);
  }
  for (int i = 0; i < s_.hk; ++i) {
    const std::string id = fmt::format("{:05d}.XHKG", 700 + i);
    add(Instrument{id, std::string(IT::CS), "XHKG", "0000-00-00", "2004-06-16", "", ""}, base_of(id, 20, 400), "hk");
  }
}

std::int32_t SimMarket::trading_days_before(int n) const {
  auto it = std::upper_bound(calendar_.begin(), calendar_.end(), today_);
  const auto back = std::min<std::ptrdiff_t>(n, it - calendar_.begin());
  return back > 0 ? *(it - back) : calendar_.front();
}

double SimMarket::base_of(const std::string& id, double lo, double hi) const {
  return lo + (hi - lo) * (unit(hash3(s_.seed, hash_text(id), 7)) + 1) / 2;
}

SimMarket::Inst& SimMarket::add(Instrument rec, double base, std::string market) {
  auto dashed = [](const std::string& d) { return std::stoi(d.substr(0, 4) + d.substr(5, 2) + d.substr(8, 2)); };
  Inst inst;
  inst.rec = std::move(rec);
  inst.base = base;
  inst.market = std::move(market);
  inst.first_day = history_start_;
  if (inst.rec.listed_date != "0000-00-00") inst.first_day = std::max(inst.first_day, dashed(inst.rec.listed_date));
  if (inst.rec.de_listed_date != "0000-00-00") inst.last_day = dashed(inst.rec.de_listed_date);
  by_id_[inst.rec.order_book_id] = insts_.size();
  insts_.push_back(std::move(inst));
  return insts_.back();
}

SimMarket::Inst& SimMarket::add_stock(const std::string& id, const std::string& exch, const std::string& listed,
                                      const std::string& delisted) {
  return add(Instrument{id, std::string(IT::CS), exch, delisted, listed, "", ""}, base_of(id, 3, 80));
}

std::vector<std::string> SimMarket::add_stocks() {
  std::vector<std::string> stock_ids;
  const auto history_at = std::lower_bound(calendar_.begin(), calendar_.end(), history_start_) - calendar_.begin();
  for (int i = 0; i < s_.stocks; ++i) {
    const bool sh = i % 2 == 0;
    const std::string id = sh ? fmt::format("{:06d}.XSHG", 600000 + i / 2) : fmt::format("{:06d}.XSHE", 1 + i / 2);
    // Every fifth stock lists inside the history, so new files start late.
    const std::string listed =
        i % 5 == 4 ? util::format_dashed(calendar_[static_cast<std::size_t>(history_at + 5)]) : "2000-01-04";
    add_stock(id, sh ? "XSHG" : "XSHE", listed);
    stock_ids.push_back(id);
  }
  if (s_.stocks > 0) {
    add_stock("600999.XSHG", "XSHG", "1999-07-01", "2004-06-30");  // de-listed before any file could start
    add_stock("000999.XSHE", "XSHE", "2001-03-01", util::format_dashed(trading_days_before(10)));
    Inst& relisted = add_stock("000888.XSHE", "XSHE", "2011-01-04");
    Instrument old = relisted.rec;
    old.de_listed_date = "2009-12-31";
    old.listed_date = "2001-01-04";
    relisted.extra_records.push_back(old);
  }
  for (int i = 0; i < s_.bjse; ++i) add_stock(fmt::format("{:06d}.BJSE", 830000 + i), "BJSE").hidden_without_bjse = true;
  return stock_ids;
}

std::pair<std::vector<std::string>, std::vector<std::string>> SimMarket::add_funds(const std::vector<std::string>& stock_ids) {
  std::vector<std::string> etf_ids, index_ids;
  for (int i = 0; i < s_.etfs; ++i) {
    const std::string id = fmt::format("{:06d}.XSHG", 510050 + 50 * i);
    add(Instrument{id, std::string(IT::ETF), "XSHG", "0000-00-00", "2005-02-23", "", ""}, base_of(id, 1, 5));
    etf_ids.push_back(id);
  }
  for (int i = 0; i < s_.lofs; ++i) {
    const std::string id = fmt::format("{:06d}.XSHE", 160100 + i);
    add(Instrument{id, std::string(IT::LOF), "XSHE", "0000-00-00", "2006-01-04", "", ""}, base_of(id, 1, 3));
  }
  for (int i = 0; i < s_.indexes; ++i) {
    const std::string id = i % 2 == 0 ? fmt::format("{:06d}.XSHG", 300 + i) : fmt::format("{:06d}.XSHE", 399001 + i);
    add(Instrument{id, std::string(IT::INDX), id.substr(7), "0000-00-00", "2005-04-08", "", ""}, base_of(id, 1000, 5000));
    index_ids.push_back(id);
  }
  for (int i = 0; i < s_.reits; ++i) {
    const std::string id = fmt::format("{:06d}.XSHG", 508000 + i);
    add(Instrument{id, std::string(IT::REITs), "XSHG", "0000-00-00", "2021-06-21", "", ""}, base_of(id, 2, 6));
  }
  for (int i = 0; i < s_.convertibles && !stock_ids.empty(); ++i) {
    const std::string id = fmt::format("{:06d}.XSHG", 113001 + i);
    add(Instrument{id, std::string(IT::CONVERTIBLE), "XSHG", "0000-00-00", "2019-01-02", "", ""}, base_of(id, 95, 140))
        .stock_code = stock_ids[static_cast<std::size_t>(i) % stock_ids.size()];
  }
  return {etf_ids, index_ids};
}

void SimMarket::add_options_on(const Inst& under, const std::string& prefix, const std::string& exch, bool night) {
  for (int k = 0; k < s_.options; ++k) {
    const int strike = static_cast<int>(std::lround(under.base * (0.9 + 0.1 * (k / 2)))) * (under.base < 10 ? 1000 : 1);
    const std::string id = prefix.empty() ? fmt::format("{:08d}.XSHG", 10000001 + static_cast<int>(insts_.size()) * 10 + k)
                                          : fmt::format("{}{}{}", prefix, k % 2 == 0 ? 'C' : 'P', strike);
    Instrument rec{id, std::string(IT::OPTION), exch, under.rec.de_listed_date, under.rec.listed_date,
                   under.rec.underlying_symbol.empty() ? under.rec.order_book_id.substr(0, 6) : under.rec.underlying_symbol,
                   under.rec.order_book_id};
    add(rec, std::max(0.01, under.base * 0.05)).night = night;
  }
}

// Futures: contracts mature on the 15th of the months after today; the
// first contract of each product carries options.
void SimMarket::add_futures_and_options(const std::vector<std::string>& index_ids) {
  static const char* products[][3] = {{"AU", "SHFE", "n"}, {"IF", "CCFX", ""}, {"RB", "SHFE", "n"},
                                      {"M", "DCE", "n"},  {"CU", "SHFE", "n"}, {"SR", "CZCE", "n"}};
  const std::int32_t ym = today_ / 100;
  for (int p = 0; p < s_.futures; ++p) {
    const auto& prod = products[p % 6];
    const std::string symbol = p < 6 ? prod[0] : fmt::format("{}{}", prod[0], p / 6);
    const bool night = prod[2][0] == 'n';
    for (int c = -s_.expired; c < s_.contracts; ++c) {
      // Live contracts mature from next month on, expired ones from last
      // month back; months counted from January of year 0 wrap both ways.
      const int months = ym / 100 * 12 + ym % 100 + (c < 0 ? c - 1 : c);
      const int y = months / 12, m = months % 12 + 1;
      const std::string id = fmt::format("{}{:02d}{:02d}", symbol, y % 100, m);
      const std::string delisted = fmt::format("{:04d}-{:02d}-15", y, m);
      const std::string listed = fmt::format("{:04d}-{:02d}-15", y - 1, m);
      Instrument rec{id, std::string(IT::FUTURE), prod[1], delisted, listed, symbol,
                     symbol == "IF" && !index_ids.empty() ? index_ids.front() : ""};
      Inst& f = add(rec, base_of(id, 300, 5000));
      f.night = night;
      if (c == 0) {
        const Inst copy = f;
        add_options_on(copy, id, prod[1], night);
      }
    }
  }
}

void SimMarket::init(bool enable_bjse) {
  surroundings_.warn("quillonc: connected to the simulated market");
  bjse_ = enable_bjse;
}

const SimMarket::Inst* SimMarket::find(const std::string& id) const {
  const auto it = by_id_.find(id);
  return it == by_id_.end() ? nullptr : &insts_[it->second];
}

const SimMarket::Inst& SimMarket::require(const std::string& id) const {
  if (const Inst* i = find(id)) return *i;
  throw ServiceError(fmt::format("unknown order_book_id: {}", id));
}

std::vector<Instrument> SimMarket::all_instruments(const std::optional<std::string>& type, const std::string& market,
                                                   std::optional<util::Timestamp> date) {
  std::vector<Instrument> out;
  const std::int32_t on = date ? util::timestamp_date(*date) : 0;
  for (const Inst& i : insts_) {
    if (i.market != market || (i.hidden_without_bjse && !bjse_)) continue;
    if (type && i.rec.type != *type) continue;
    if (on && (i.last_day < on)) continue;
    out.push_back(i.rec);
  }
  return out;
}

std::optional<std::vector<ConvertibleInstrument>> SimMarket::convertible_instruments(const std::vector<std::string>& ids) {
  std::vector<ConvertibleInstrument> out;
  for (const auto& id : ids)
    if (const Inst* i = find(id); i && !i->stock_code.empty()) out.push_back({id, i->stock_code});
  if (out.empty()) return std::nullopt;
  return out;
}

std::vector<Instrument> SimMarket::instruments(const std::string& id, const std::string& market) {
  const Inst* i = find(id);
  if (!i || i->market != market) return {};
  std::vector<Instrument> out = i->extra_records;
  out.push_back(i->rec);
  return out;
}

std::int32_t SimMarket::get_next_trading_date(std::int32_t date, const std::string&) {
  const auto it = std::upper_bound(calendar_.begin(), calendar_.end(), date);
  if (it == calendar_.end()) throw ServiceError(fmt::format("no trading date after {}", date));
  return *it;
}

std::int32_t SimMarket::previous_trading_day(std::int32_t day) const {
  const auto it = std::lower_bound(calendar_.begin(), calendar_.end(), day);
  return it == calendar_.begin() ? util::add_days(day, -1) : *(it - 1);
}

bool SimMarket::suspended_on(const std::string& id, std::int32_t day) const {
  const Inst* i = find(id);
  if (!i || i->rec.type != IT::CS || i->market != "cn") return false;
  return hash3(s_.seed, hash_text(id), static_cast<std::uint64_t>(day)) % 1000 < static_cast<std::uint64_t>(s_.suspend);
}

bool SimMarket::trades_on(const Inst& inst, std::int32_t day) const {
  return day >= inst.first_day && day <= inst.last_day && !suspended_on(inst.rec.order_book_id, day);
}

void SimMarket::check_permission(const Inst& inst, Frequency f) const {
  const std::string& id = inst.rec.order_book_id;
  if (std::find(s_.deny.begin(), s_.deny.end(), id) != s_.deny.end())
    throw PermissionDenied(fmt::format("your account is not permitted to access {}", id));
  if (!s_.bjse_perm && inst.rec.exchange == "BJSE")
    throw PermissionDenied(fmt::format("your account is not permitted to access BJSE data ({})", id));
  if (!s_.tick_perm && f == Frequency::tick) throw PermissionDenied(fmt::format("your account is not permitted to access tick data ({})", id));
}

void SimMarket::maybe_fail_transiently(const std::string& id) {
  // A process killed in the middle of a request, as the kernel's
  // out-of-memory killer or an operator would.
  if (std::find(s_.die.begin(), s_.die.end(), id) != s_.die.end()) ::kill(::getpid(), SIGKILL);
  if (std::find(s_.flaky.begin(), s_.flaky.end(), id) == s_.flaky.end()) return;
  int failed = 0;
  if (s_.log.empty()) {
    failed = flaky_failures_[id]++;
  } else {
    // One line per failure in a file every process of the run appends to,
    // under a lock, so workers and later runs see the same count.
    const std::string path = s_.log + ".flaky";
    const util::Fd file(::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644));  // closing releases the lock
    if (!file.valid()) throw std::runtime_error(fmt::format("sim: cannot open '{}'", path));
    const int fd = file.get();
    ::flock(fd, LOCK_EX);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0) text.append(buf, static_cast<std::size_t>(n));
    for (std::size_t p = 0; p < text.size();) {
      const std::size_t nl = std::min(text.find('\n', p), text.size());
      if (text.compare(p, nl - p, id) == 0 && nl - p == id.size()) ++failed;
      p = nl + 1;
    }
    if (failed < s_.flaky_times) {
      const std::string line = id + "\n";
      [[maybe_unused]] auto w = ::write(fd, line.data(), line.size());
    }
  }
  if (failed < s_.flaky_times)
    throw util::Error(util::ErrorKind::network, "", fmt::format("connection reset by the service while requesting {} (simulated, failure {} of {})", id,
                                                                failed + 1, s_.flaky_times));
}

void SimMarket::log_request(const std::string& what) const {
  if (s_.log.empty()) return;
  const util::Fd fd(::open(s_.log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644));
  if (!fd.valid()) return;
  const std::string line = what + "\n";
  [[maybe_unused]] auto n = ::write(fd.get(), line.data(), line.size());
}

double SimMarket::day_open(const Inst& inst, std::int32_t day) const {
  const double t = static_cast<double>(util::yyyymmdd_to_days(day));
  const std::uint64_t h = hash_text(inst.rec.order_book_id);
  const double phase = unit(util::mix64(h ^ s_.seed)) * 3.14159;
  const double level = inst.base * (1 + 0.2 * std::sin(t / 60.0 + phase)) * (1 + 0.01 * unit(hash3(s_.seed, h, static_cast<std::uint64_t>(day))));
  return std::round(level * 100) / 100;
}

namespace {
struct Session {
  int from, to;  // minutes since midnight, bars stamped at the minute's end
};
// Minute-bar sessions; night sessions lie on the previous trading day.
const std::vector<Session>& day_sessions(bool futures_hours, bool hk) {
  static const std::vector<Session> equities = {{9 * 60 + 30, 11 * 60 + 30}, {13 * 60, 15 * 60}};
  static const std::vector<Session> hk_hours = {{9 * 60 + 30, 12 * 60}, {13 * 60, 16 * 60}};
  static const std::vector<Session> commodity = {{9 * 60, 10 * 60 + 15}, {10 * 60 + 30, 11 * 60 + 30}, {13 * 60 + 30, 15 * 60}};
  return hk ? hk_hours : futures_hours ? commodity : equities;
}
const Session kNight{21 * 60, 23 * 60};
}  // namespace

void SimMarket::add_minute_bars(const Inst& inst, std::int32_t day, Table& t) const {
  const bool derivative = inst.rec.type == IT::FUTURE || inst.rec.type == IT::OPTION;
  const std::uint64_t h = hash_text(inst.rec.order_book_id);
  const util::Timestamp trading_ts = util::make_timestamp(day);
  double price = day_open(inst, day);
  double oi = std::floor(inst.base * 100 + 5000 * (1 + unit(hash3(s_.seed, h, static_cast<std::uint64_t>(day) + 99))));
  const bool dup_day = hash3(s_.seed, h ^ 0xD0D0, static_cast<std::uint64_t>(day)) % 17 == 0;
  t.columns.reserve(8);  // the references below must survive add_column
  auto cols = [&](const char* name) -> std::vector<double>& {
    for (auto& [n, v] : t.columns)
      if (n == name) return v;
    return t.add_column(name);
  };
  auto& open = cols("open");
  auto& high = cols("high");
  auto& low = cols("low");
  auto& close = cols("close");
  std::vector<double>* oic = derivative ? &cols("open_interest") : nullptr;
  auto& volume = cols("volume");
  auto& turnover = cols("total_turnover");
  int n = 0;
  auto emit = [&](std::int32_t date, int minute) {
    const std::uint64_t r = hash3(s_.seed ^ 0xBA5, h, static_cast<std::uint64_t>(date) * 2000 + static_cast<std::uint64_t>(minute));
    const double o = price;
    const double c = std::max(0.01, std::round(o * (1 + 0.002 * unit(r)) * 100) / 100);
    const double v = std::floor(100 + 5000 * (unit(util::mix64(r)) + 1));
    t.time.push_back(util::make_timestamp(date, minute / 60, minute % 60));
    open.push_back(o);
    close.push_back(c);
    high.push_back(std::max(o, c) + 0.01);
    low.push_back(std::max(0.01, std::min(o, c) - 0.01));
    volume.push_back(v);
    turnover.push_back(std::round(v * (o + c) * 50) / 100);
    // Open interest counts open contracts: it never falls below zero.
    if (oic) oic->push_back(oi = std::max(0.0, oi + std::floor(10 * unit(util::mix64(r ^ 1)))));
    if (t.trading_date) t.trading_date->push_back(trading_ts);
    price = c;
    if (dup_day && ++n == 100) {
      // The service sometimes repeats a bar; readers must keep the first.
      t.time.push_back(t.time.back());
      open.push_back(o), close.push_back(c + 0.5), high.push_back(c + 0.5), low.push_back(low.back());
      volume.push_back(v), turnover.push_back(turnover.back());
      if (oic) oic->push_back(oi);
      if (t.trading_date) t.trading_date->push_back(trading_ts);
    }
  };
  const std::size_t day_first = t.time.size();
  if (inst.night)
    for (int m = kNight.from + 1; m <= kNight.to; ++m) emit(previous_trading_day(day), m);
  const bool commodity_hours = inst.night;
  for (const auto& s : day_sessions(commodity_hours, inst.market == "hk"))
    for (int m = s.from + 1; m <= s.to; ++m) emit(day, m);
  const std::string revised = inst.rec.order_book_id + "@" + std::to_string(day);
  if (s_.revised_from != 0 && today_ >= s_.revised_from && t.time.size() > day_first &&
      std::find(s_.revise.begin(), s_.revise.end(), revised) != s_.revise.end()) {
    // The correction: the close of the day's middle bar, one tick up.
    const std::size_t at = day_first + (t.time.size() - day_first) / 2;
    close[at] = std::round(close[at] * 100 + 1) / 100;
    high[at] = std::max(high[at], close[at]);
  }
}

void SimMarket::add_ticks(const Inst& inst, std::int32_t day, Table& t) const {
  const bool derivative = inst.rec.type == IT::FUTURE || inst.rec.type == IT::OPTION;
  const std::uint64_t h = hash_text(inst.rec.order_book_id);
  const util::Timestamp trading_ts = util::make_timestamp(day);
  const double prev_close = day_open(inst, previous_trading_day(day));
  // The day's price limits; no trade happens outside them (at a price of a
  // few ticks the walk would otherwise cross them).
  const double limit_up = std::round(prev_close * 110) / 100, limit_down = std::round(prev_close * 90) / 100;
  double last = day_open(inst, day), high = last, low = last, volume = 0, turnover = 0;
  const double open = last;
  static const char* names[] = {"open", "last", "high", "low", "prev_close", "volume", "total_turnover", "open_interest",
                                "prev_settlement", "limit_up", "limit_down", "a1", "a2", "a3", "a4", "a5", "b1", "b2",
                                "b3", "b4", "b5", "a1_v", "a2_v", "a3_v", "a4_v", "a5_v", "b1_v", "b2_v", "b3_v", "b4_v", "b5_v"};
  if (t.columns.empty())
    for (const char* n : names)
      if (derivative || std::string_view(n) != "open_interest") t.add_column(n);
  std::vector<std::vector<double>*> c;
  for (auto& [n, v] : t.columns) c.push_back(&v);
  const bool has_oi = derivative;
  long k = 0;
  auto emit = [&](std::int32_t date, int second) {
    const std::uint64_t r = hash3(s_.seed ^ 0x71C, h, static_cast<std::uint64_t>(date) * 100000 + static_cast<std::uint64_t>(second));
    last = std::clamp(std::max(0.01, std::round(last * (1 + 0.0005 * unit(r)) * 100) / 100), limit_down, limit_up);
    high = std::max(high, last), low = std::min(low, last);
    const double v = std::floor(1 + 300 * (unit(util::mix64(r)) + 1));
    volume += v, turnover += v * last;
    const int millis = (k % 2) * 500;
    const int times = (++k % 997 == 0) ? 2 : 1;  // an occasional repeated time stamp
    for (int rep = 0; rep < times; ++rep) {
      t.time.push_back(util::make_timestamp(date, second / 3600, second / 60 % 60, second % 60, millis * 1000));
      if (t.trading_date) t.trading_date->push_back(trading_ts);
      std::size_t i = 0;
      const double l = std::min(last + 0.01 * rep, limit_up);
      for (double x : {open, l, high, low, prev_close, volume, turnover}) c[i++]->push_back(x);
      if (has_oi) c[i++]->push_back(std::floor(inst.base * 100 + static_cast<double>(k % 1000)));
      for (double x : {prev_close, limit_up, limit_down}) c[i++]->push_back(x);
      for (int lv = 1; lv <= 5; ++lv) c[i++]->push_back(l + 0.01 * lv);
      for (int lv = 1; lv <= 5; ++lv) c[i++]->push_back(std::max(0.0, l - 0.01 * lv));
      for (int lv = 0; lv < 10; ++lv) c[i++]->push_back(static_cast<double>(100 * (1 + (r >> (lv * 4) & 15))));
    }
  };
  const int step = s_.tick_sec;
  if (inst.night)
    for (int sec = kNight.from * 60; sec < kNight.to * 60; sec += step) emit(previous_trading_day(day), sec);
  for (const auto& s : day_sessions(inst.night, inst.market == "hk"))
    for (int sec = s.from * 60; sec < s.to * 60; sec += step) emit(day, sec);
}

std::optional<Table> SimMarket::get_price(const std::string& id, std::int32_t start, std::int32_t end, Frequency f,
                                          const std::string& market) {
  log_request(fmt::format("get_price {} {} {} {}", id, start, end, f == Frequency::minute ? "1m" : f == Frequency::tick ? "tick" : "1d"));
  maybe_fail_transiently(id);
  const Inst* inst = find(id);
  if (!inst || inst->market != market) return std::nullopt;
  check_permission(*inst, f);
  const bool derivative = inst->rec.type == IT::FUTURE || inst->rec.type == IT::OPTION;
  Table t;
  t.order_book_id = id;
  if ((derivative && f == Frequency::minute) || f == Frequency::tick) t.trading_date.emplace();
  auto from = std::lower_bound(calendar_.begin(), calendar_.end(), start);
  auto to = std::upper_bound(calendar_.begin(), calendar_.end(), end);
  for (auto it = from; it < to; ++it) {
    const std::int32_t day = *it;
    if (!trades_on(*inst, day)) continue;
    if (f == Frequency::minute) add_minute_bars(*inst, day, t);
    else if (f == Frequency::tick) {
      if (day >= tick_start_) add_ticks(*inst, day, t);
    } else {
      if (t.columns.empty()) t.add_column("open"), t.add_column("close"), t.add_column("volume");
      t.time.push_back(util::make_timestamp(day));
      const double o = day_open(*inst, day);
      t.columns[0].second.push_back(o);
      t.columns[1].second.push_back(day_open(*inst, util::add_days(day, 1)));
      t.columns[2].second.push_back(1e6);
    }
  }
  if (t.empty()) return std::nullopt;
  return t;
}

bool SimMarket::has_price(const std::string& id, std::int32_t day, Frequency f) {
  log_request(fmt::format("has_price {} {} {}", id, day, f == Frequency::minute ? "1m" : f == Frequency::tick ? "tick" : "1d"));
  maybe_fail_transiently(id);
  const Inst* inst = find(id);
  if (!inst || inst->market != "cn") return false;
  check_permission(*inst, f);
  if (!std::binary_search(calendar_.begin(), calendar_.end(), day) || !trades_on(*inst, day)) return false;
  return f != Frequency::tick || day >= tick_start_;
}

void SimMarket::probe_price(const std::string& id) {
  log_request(fmt::format("probe_price {}", id));
  check_permission(require(id), Frequency::day);
}

std::vector<std::pair<std::int32_t, bool>> SimMarket::is_suspended(const std::string& id, std::int32_t start, std::int32_t end) {
  const Inst& inst = require(id);
  std::vector<std::pair<std::int32_t, bool>> out;
  auto from = std::lower_bound(calendar_.begin(), calendar_.end(), std::max(start, inst.first_day));
  auto to = std::upper_bound(calendar_.begin(), calendar_.end(), std::min(end, inst.last_day));
  for (auto it = from; it < to; ++it) out.emplace_back(*it, suspended_on(id, *it));
  return out;
}


}  // namespace quillonc
