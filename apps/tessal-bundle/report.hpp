#pragma once
// The --json report of one command: when it ran, how it ended and what it
// did, as one JSON document on standard output. While a report collects,
// the module's console text goes to standard error, so standard output
// holds the document alone. The schema is described in README.md ("Running
// it every day").
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tessal/native_host.hpp"
#include "tessal_plus/bundle/checks.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/status.hpp"

namespace cli {

class Report {
 public:
  Report(std::string command, std::string path);
  // Sends the console text to standard error and collects the host's log
  // lines (of every process of the run).
  void start_collecting(tessal::NativeHost& host);
  // The console of the run: standard output, or standard error while the
  // report collects.
  tessal_plus::bundle::Console console() const;
  // Keeps an update's record; whether it succeeded.
  bool record(tessal_plus::bundle::UpdateRecord u) {
    update = std::move(u);
    return update->succeeded;
  }
  // Writes the document for `exit_status` to standard output.
  void emit(int exit_status, bool by_instrument);
  ~Report();
  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;

  std::optional<std::string> error;  // the message of the failure that ended the run
  std::optional<tessal_plus::bundle::BundleStatus> status;  // filled by `status`
  std::optional<tessal_plus::bundle::UpdateRecord> update;  // by the updates
  std::optional<tessal_plus::bundle::CheckRecord> check;    // by the checks

 private:
  // The log lines of every process of the run: the host's log sink,
  // inherited by forked workers, appends each message to a temporary file
  // (one write, NUL-terminated) besides printing it as before.
  std::vector<std::string> read_log() const;

  std::string command_, path_;
  int log_fd_ = -1;
  bool collecting_ = false;
  std::chrono::system_clock::time_point started_;
  std::chrono::steady_clock::time_point steady_started_;
};

}  // namespace cli
