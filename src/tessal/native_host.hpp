#pragma once
// The command line's stand-in for the host framework: its clock (TESSAL_NOW
// pins it), its logger and warning channel on standard error, its process
// pool of forked workers, its day-bar updater over the run's service, the
// download's progress bar and its tick record layout (ticks_layout.hpp).
#include <functional>
#include <memory>
#include <string>

#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"

namespace tessal {

class NativeHost : public Host {
 public:
  // `service`: what the day-bar updater reads (the host's own session of
  // the same service); a host without one fails update_daybar.
  explicit NativeHost(quillonc::Client* service = nullptr) : service_(service) {}

  Timestamp datetime_now() override;
  void log_error(const std::string& message) override;
  void warn(const std::string& message) override;
  void begin_ignoring_warnings() override { ++ignoring_; }
  void end_ignoring_warnings() noexcept override { --ignoring_; }
  h5::Mode get_h5_mode(const std::string& path) override;
  h5::FilterSpec blosc_opts(int complevel, std::string_view complib) override;
  std::unique_ptr<SharedFlag> make_flag(bool initial) override;
  void process_init(SharedFlag& flag) override { sval_ = &flag; }
  SharedFlag& sval() override;
  std::unique_ptr<Pool> open_pool(int max_workers, SharedFlag& flag, tessal_plus::bundle::TaskRunner run_task) override;
  bool update_daybar(const std::string& bundle_path, bool create, bool enable_compression, int concurrency, bool enable_bjse,
                     BjseKeyword form) override;
  std::optional<std::vector<InstrumentRecord>> read_instrument_list(const std::string& path) override;
  void download(std::FILE* out, std::int64_t total_length, const std::string& url, const BodyReader& body) override;
  const tessal_plus::bundle::RecordLayout& tick_layout() override;

  // Where log lines and warnings go instead of standard error (tests and
  // the command line's --json capture them).
  using Sink = std::function<void(const std::string&)>;
  void set_log_sink(Sink sink) { log_sink_ = std::move(sink); }
  void set_warning_sink(Sink sink) { warning_sink_ = std::move(sink); }
  void set_service(quillonc::Client* service) { service_ = service; }
  bool warnings_ignored() const noexcept { return ignoring_ > 0; }

 private:
  quillonc::Client* service_;
  Sink log_sink_, warning_sink_;
  int ignoring_ = 0;
  SharedFlag* sval_ = nullptr;
};

}  // namespace tessal
