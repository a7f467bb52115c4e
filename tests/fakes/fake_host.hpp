#pragma once
// A second host for the module, as small as the module allows: tasks run in
// this process, the clock is TESSAL_NOW, and the tick layout is a short one
// of its own (five fields, other scales, a one-byte integer), so tests can
// show that the module works with whatever host it is handed and writes
// exactly the layout the host describes.
#include <string>
#include <vector>

#include "tessal_plus/bundle/outside/host.hpp"

namespace fake_host {

class FakeHost : public tessal::Host {
 public:
  tessal::Timestamp datetime_now() override;
  void log_error(const std::string& message) override { log_lines.push_back(message); }
  void warn(const std::string&) override {}
  void begin_ignoring_warnings() override {}
  void end_ignoring_warnings() noexcept override {}
  h5::Mode get_h5_mode(const std::string&) override { return h5::Mode::append; }
  h5::FilterSpec blosc_opts(int complevel, std::string_view) override;
  std::unique_ptr<tessal::SharedFlag> make_flag(bool initial) override;
  void process_init(tessal::SharedFlag& flag) override { sval_ = &flag; }
  tessal::SharedFlag& sval() override;
  std::unique_ptr<tessal::Pool> open_pool(int max_workers, tessal::SharedFlag& flag, tessal_plus::bundle::TaskRunner run_task) override;
  bool update_daybar(const std::string&, bool, bool, int, bool, tessal::BjseKeyword) override {
    ++daybar_calls;
    return true;
  }
  std::optional<std::vector<tessal::InstrumentRecord>> read_instrument_list(const std::string& path) override;
  void download(std::FILE* out, std::int64_t total_length, const std::string& url, const tessal::BodyReader& body) override;
  const tessal_plus::bundle::RecordLayout& tick_layout() override;

  std::vector<std::string> log_lines;
  int initializer_calls = 0;
  int daybar_calls = 0;

 private:
  tessal::SharedFlag* sval_ = nullptr;
};

}  // namespace fake_host
