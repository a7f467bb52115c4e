#pragma once
// One operation's outside world, passed into every operation of the module:
// the host it runs in, the market-data client, the console and the options
// that shape a run. Nothing of it is kept between operations, so two runs
// with different hosts or clients can follow each other in one process.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"

namespace tessal_plus::bundle {

// Splitting one update over several machines or processes: with a shard
// K of N set, the drivers run only the instruments whose id hashes to K,
// after the tags are resolved, so N runs given the same tags together cover
// every instrument exactly once. The hash is FNV-1a 64 of the id's UTF-8
// bytes, taken modulo N; it never changes, so an id keeps its shard from one
// run to the next. The smart update then leaves the base files alone: they
// are written once, by an update with --base, before the shards start.
struct Shard {
  std::uint32_t index = 0;  // K, counted from 0
  std::uint32_t count = 1;  // N
};
// Throws util::Error (invalid_input) unless index < count.
Shard checked_shard(std::uint32_t index, std::uint32_t count);
// FNV-1a 64 of the bytes of `id`.
std::uint64_t fnv1a64(std::string_view id) noexcept;
// The shard of `id` among `count` shards.
std::uint32_t shard_of(std::string_view id, std::uint32_t count) noexcept;

struct Run {
  Run(tessal::Host& h, quillonc::Client& c, Console con = {}) : host(h), client(c), console(std::move(con)) {}
  // The same run, with everything it has asked and done so far, in `h` (a
  // host that stands between the run and its own).
  Run(const Run& other, tessal::Host& h)
      : host(h), client(other.client), console(other.console), shard(other.shard), fork(other.fork),
        interrupt_check(other.interrupt_check), flag(other.flag), compression_(other.compression_), hooked_pid_(other.hooked_pid_) {}

  tessal::Host& host;
  quillonc::Client& client;
  Console console;
  // Nothing (the default) runs every instrument.
  std::optional<Shard> shard{};
  // How the checks' process pool forks its workers: ::fork() when empty,
  // unless a program that embeds the module must take part (the Python interpreter:
  // a child forked behind its back while another of its threads holds the
  // GIL waits for that thread for ever). Returns what fork() returns.
  std::function<pid_t()> fork{};
  // Polled during the sample download by a program that handles its own
  // signals (the Python interpreter); what it throws ends the download.
  // When empty, the download installs handlers of its own.
  std::function<void()> interrupt_check{};

  // The success flag the writers clear, when the run brings its own (a
  // check that heals); nothing: the host's flag of this process (sval).
  tessal::SharedFlag* flag = nullptr;
  tessal::SharedFlag& sval() const { return flag ? *flag : host.sval(); }

  // The tick datasets' compression: blosc_opts(9, "blosc:lz4") of the host,
  // asked once per run.
  const h5::FilterSpec& compression() const;

  // Runs the client's per-process hook (reconnecting what a fork inherited)
  // once in each process this run works in, before its first task there:
  // called by the one task runner and by the checks' processes. A worker
  // forked with the run finds the parent's process id here and runs it.
  void worker_started() const;

 private:
  mutable std::optional<h5::FilterSpec> compression_{};
  mutable pid_t hooked_pid_ = 0;
};

}  // namespace tessal_plus::bundle
