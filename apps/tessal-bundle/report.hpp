#pragma once
// The --json report of one command: when it ran, how it ended and what it
// did, as one JSON document on standard output. While a report collects,
// the module's console text goes to standard error, so standard output
// holds the document alone. The schema is described in README.md ("Running
// it every day").
#include <chrono>
#include <optional>
#include <string>

#include "tessal_plus/bundle/status.hpp"

namespace cli {

class Report {
 public:
  Report(std::string command, std::string path);
  // Sends the console text to standard error and starts collecting what the
  // command's operations record.
  void start_collecting();
  // Writes the document for `exit_status` to standard output.
  void emit(int exit_status, bool by_instrument);

  std::optional<std::string> error;  // the message of the failure that ended the run
  std::optional<tessal_plus::bundle::BundleStatus> status;  // filled by `status`

 private:
  std::string command_, path_;
  std::chrono::system_clock::time_point started_;
  std::chrono::steady_clock::time_point steady_started_;
};

}  // namespace cli
