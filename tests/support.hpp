#pragma once
// Test helpers: a scripted market-data service that records every call, a
// temporary folder per test, captured standard output and log lines, a
// pinned clock, and a shared flag installed as in a worker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tessal/native_host.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"
#include "tessal_plus/bundle/run.hpp"

namespace testing_support {

namespace fs = std::filesystem;

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The folder temporary files go to, as the programs under test choose it.
inline std::string temp_root() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = temp_root() + "/tb-test-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a folder in " + temp_root());
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Redirects file descriptor 1 into a file for its lifetime. The file is
// unlinked as soon as it is open, so nothing is left behind, not even by a
// forked child that ends with _exit.
class CaptureStdout {
 public:
  CaptureStdout() {
    std::fflush(stdout);
    std::string path = temp_root() + "/tb-out-XXXXXX";
    fd_ = ::mkstemp(path.data());
    if (fd_ < 0) throw std::runtime_error("cannot create a file in " + temp_root());
    ::unlink(path.c_str());
    saved_ = ::dup(1);
    ::dup2(fd_, 1);
  }
  ~CaptureStdout() {
    restore();
    ::close(fd_);
  }
  CaptureStdout(const CaptureStdout&) = delete;
  CaptureStdout& operator=(const CaptureStdout&) = delete;
  std::string text() {
    restore();
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = ::pread(fd_, buf, sizeof buf, static_cast<off_t>(out.size()))) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    saved_ = -1;
  }
  int fd_ = -1;
  int saved_ = -1;
};

// Feeds std::cin from a string for its lifetime.
class FeedStdin {
 public:
  explicit FeedStdin(std::string text) : in_(std::move(text)), saved_(std::cin.rdbuf(in_.rdbuf())) { std::cin.clear(); }
  ~FeedStdin() {
    std::cin.rdbuf(saved_);
    std::cin.clear();
  }

 private:
  std::istringstream in_;
  std::streambuf* saved_;
};

// The tests' host: the command line's own.
tessal::NativeHost& host();
// The service the current test's operations talk to (set by WithClient;
// an idle scripted service otherwise), and the tests' host's day-bar
// updater with them.
quillonc::Client*& current_client();
// A run of the current test: the tests' host, the current service, the
// console on standard output and standard input.
inline tessal_plus::bundle::Run test_run() {
  return tessal_plus::bundle::Run(host(), *current_client());
}
// The host's tick layout.
inline const tessal_plus::bundle::RecordLayout& tick_layout() { return host().tick_layout(); }

// Makes `client` the current test's service for its lifetime.
class WithClient {
 public:
  explicit WithClient(quillonc::Client& client) : saved_(current_client()) {
    current_client() = &client;
    host().set_service(&client);
  }
  ~WithClient() {
    current_client() = saved_;
    host().set_service(saved_);
  }
  WithClient(const WithClient&) = delete;
  WithClient& operator=(const WithClient&) = delete;

 private:
  quillonc::Client* saved_;
};

class CaptureLog {
 public:
  CaptureLog() {
    host().set_log_sink([this](const std::string& m) { lines.push_back(m); });
  }
  ~CaptureLog() { host().set_log_sink({}); }
  std::vector<std::string> lines;
};

// Pins the host clock; nested pins restore the outer one.
class PinClock {
 public:
  explicit PinClock(const std::string& now) {
    if (const char* old = std::getenv("TESSAL_NOW")) saved_ = old;
    ::setenv("TESSAL_NOW", now.c_str(), 1);
  }
  ~PinClock() {
    if (saved_) ::setenv("TESSAL_NOW", saved_->c_str(), 1);
    else ::unsetenv("TESSAL_NOW");
  }

 private:
  std::optional<std::string> saved_;
};

// The run's flag, installed in this process as a worker would have it.
class InstalledFlag {
 public:
  InstalledFlag() : owner_(host().make_flag(true)) { host().process_init(*owner_); }
  bool value() const { return owner_->value(); }

 private:
  std::unique_ptr<tessal::SharedFlag> owner_;
};

// A scripted service. Tables are given whole; get_price answers the rows
// whose trading day (or day, when there is no trading_date) lies in range.
class FakeService : public quillonc::Client {
 public:
  std::vector<std::string> calls;
  bool bjse = false;
  std::map<std::string, std::vector<quillonc::Instrument>> records;  // by id
  std::map<std::string, std::string> market_of;                      // id -> "hk" for Hong Kong
  std::vector<quillonc::Instrument> table_all, table_options, table_futures, table_convertibles, table_hk;
  std::map<std::string, std::string> stock_code;
  std::map<std::string, quillonc::Table> minute, ticks;
  std::map<std::string, std::vector<std::int32_t>> day_bars;
  std::map<std::string, std::set<std::int32_t>> suspended;
  std::map<std::pair<std::string, std::int32_t>, bool> has_data;  // has_price answers (default false)
  std::vector<std::int32_t> calendar;
  std::function<void(const std::string& call)> fail_on;  // may throw for a call

  void record(const std::string& c) {
    calls.push_back(c);
    if (fail_on) fail_on(c);
  }
  std::size_t count(const std::string& prefix) const {
    std::size_t n = 0;
    for (const auto& c : calls) n += c.rfind(prefix, 0) == 0;
    return n;
  }

  void init(bool enable_bjse) override {
    record(fmt::format("init {}", enable_bjse));
    host().warn("fake service initialised");
    bjse = enable_bjse;
  }
  bool bjse_enabled() override { return bjse; }
  std::vector<quillonc::Instrument> all_instruments(const std::optional<std::string>& type, const std::string& market,
                                                    std::optional<util::Timestamp>) override {
    record(fmt::format("all_instruments {} {}", type.value_or("-"), market));
    if (market == "hk") return table_hk;
    if (!type) return visible(table_all);
    if (*type == tessal::INSTRUMENT_TYPE::OPTION) return table_options;
    if (*type == tessal::INSTRUMENT_TYPE::FUTURE) return table_futures;
    if (*type == tessal::INSTRUMENT_TYPE::CONVERTIBLE) return table_convertibles;
    std::vector<quillonc::Instrument> out;
    for (const auto& i : visible(table_all))
      if (i.type == *type) out.push_back(i);
    return out;
  }
  std::optional<std::vector<quillonc::ConvertibleInstrument>> convertible_instruments(const std::vector<std::string>& ids) override {
    record("convertible.instruments");
    std::vector<quillonc::ConvertibleInstrument> out;
    for (const auto& id : ids)
      if (stock_code.count(id)) out.push_back({id, stock_code[id]});
    if (out.empty()) return std::nullopt;
    return out;
  }
  std::vector<quillonc::Instrument> instruments(const std::string& id, const std::string& market) override {
    record(fmt::format("instruments {} {}", id, market));
    const auto m = market_of.count(id) ? market_of[id] : "cn";
    if (m != market || !records.count(id)) return {};
    return records[id];
  }
  std::int32_t get_next_trading_date(std::int32_t date, const std::string& market) override {
    record(fmt::format("next {} {}", date, market));
    for (auto d : calendar)
      if (d > date) return d;
    throw quillonc::ServiceError("calendar exhausted");
  }
  std::optional<quillonc::Table> get_price(const std::string& id, std::int32_t start, std::int32_t end,
                                           quillonc::Frequency f, const std::string& market) override {
    const char* freq = f == quillonc::Frequency::minute ? "1m" : f == quillonc::Frequency::tick ? "tick" : "1d";
    record(fmt::format("get_price {} {} {} {} {}", id, start, end, freq, market));
    if (f == quillonc::Frequency::day) {
      if (!day_bars.count(id)) return std::nullopt;
      quillonc::Table t;
      for (auto d : day_bars[id])
        if (d >= start && d <= end) t.time.push_back(util::make_timestamp(d));
      t.add_column("close").assign(t.time.size(), 1.0);
      if (t.empty()) return std::nullopt;
      return t;
    }
    auto& source = f == quillonc::Frequency::minute ? minute : ticks;
    if (!source.count(id)) return std::nullopt;
    const quillonc::Table& all = source[id];
    quillonc::Table t;
    t.order_book_id = id;
    if (all.trading_date) t.trading_date.emplace();
    for (const auto& [n, v] : all.columns) t.add_column(n);
    for (std::size_t r = 0; r < all.rows(); ++r) {
      const std::int32_t day = util::timestamp_date(all.trading_date ? (*all.trading_date)[r] : all.time[r]);
      if (day < start || day > end) continue;
      t.time.push_back(all.time[r]);
      if (all.trading_date) t.trading_date->push_back((*all.trading_date)[r]);
      for (std::size_t c = 0; c < all.columns.size(); ++c) t.columns[c].second.push_back(all.columns[c].second[r]);
    }
    if (t.empty()) return std::nullopt;
    return t;
  }
  bool has_price(const std::string& id, std::int32_t day, quillonc::Frequency f) override {
    record(fmt::format("has_price {} {} {}", id, day, f == quillonc::Frequency::minute ? "1m" : "tick"));
    const auto it = has_data.find({id, day});
    return it != has_data.end() && it->second;
  }
  void probe_price(const std::string& id) override { record("probe " + id); }
  std::vector<std::pair<std::int32_t, bool>> is_suspended(const std::string& id, std::int32_t start, std::int32_t end) override {
    record(fmt::format("is_suspended {} {} {}", id, start, end));
    host().warn("is_suspended is noisy");
    std::vector<std::pair<std::int32_t, bool>> out;
    for (auto d : calendar)
      if (d >= start && d <= end) out.emplace_back(d, suspended[id].count(d) > 0);
    return out;
  }

  // Adds `per_day` equities bars (09:31, 09:32, ...) for each day.
  void add_equity_bars(const std::string& id, const std::vector<std::int32_t>& days, int per_day = 3) {
    quillonc::Table& t = minute[id];
    if (t.columns.empty())
      for (const char* c : {"open", "high", "low", "close", "volume", "total_turnover"}) t.add_column(c);
    for (auto d : days)
      for (int k = 0; k < per_day; ++k) {
        t.time.push_back(util::make_timestamp(d, 9, 31 + k));
        for (std::size_t c = 0; c < t.columns.size(); ++c) t.columns[c].second.push_back(d % 1000 + k + 0.25 * static_cast<double>(c));
      }
  }
  void add_instrument(const std::string& id, const std::string& type, const std::string& de_listed = "0000-00-00",
                      const std::string& exchange = "XSHG") {
    quillonc::Instrument i{id, type, exchange, de_listed, "2000-01-04", "", ""};
    records[id] = {i};
    table_all.push_back(i);
  }

 private:
  std::vector<quillonc::Instrument> visible(const std::vector<quillonc::Instrument>& rows) const {
    std::vector<quillonc::Instrument> out;
    for (const auto& i : rows)
      if (bjse || i.exchange != "BJSE") out.push_back(i);
    return out;
  }
};

// Installs a fresh FakeService for a test and removes it afterwards.
struct WithFake {
  std::shared_ptr<FakeService> fake = std::make_shared<FakeService>();
  WithClient in_use{*fake};
};

// What a writer test runs in: a scripted service, a folder, the run's flag
// as a worker has it, and the log captured.
class WriterTest : public ::testing::Test {
 protected:
  WithFake svc;
  FakeService& fake = *svc.fake;
  TempDir dir;
  InstalledFlag flag;
  CaptureLog log;
};

// Weekdays from `from` through `to`.
inline std::vector<std::int32_t> weekdays(std::int32_t from, std::int32_t to) {
  std::vector<std::int32_t> out;
  for (auto d = from; d <= to; d = util::add_days(d, 1))
    if (util::weekday(d) < 5) out.push_back(d);
  return out;
}

// Runs `body` in a forked child; returns its exit status (-signal if
// killed; 4 if it threw).
int in_child(const std::function<int()>& body);

// Kills `update` of the file at `path` at its last write, found by a first
// run in a child on the same bytes: the file is left with a genuine hot
// journal beside it.
void crash_at_last_write(const std::string& path, const std::function<void()>& update);

// Forks a child that opens `path` for writing through HDF5 and holds it
// until the returned guard ends.
class HeldOpen {
 public:
  explicit HeldOpen(const std::string& path);
  ~HeldOpen();

 private:
  pid_t pid_ = -1;
  int release_ = -1;
};

}  // namespace testing_support
