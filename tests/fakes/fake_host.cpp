#include "tests/fakes/fake_host.hpp"

#include <cstdlib>
#include <stdexcept>

#include "util/pickle.hpp"

namespace fake_host {
namespace {

class PlainFlag : public tessal::SharedFlag {
 public:
  explicit PlainFlag(bool v) : v_(v) {}
  bool value() const override { return v_; }
  void clear() override { v_ = false; }

 private:
  bool v_;
};

// Runs the tasks one after the other in this process, after one
// process_init.
class InlinePool : public tessal::Pool {
 public:
  InlinePool(FakeHost& host, tessal::SharedFlag& flag, tessal_plus::bundle::TaskRunner run_task)
      : host_(host), flag_(flag), run_task_(std::move(run_task)) {}
  void submit(const tessal_plus::bundle::PoolTask& task) override { tasks_.push_back(task); }
  std::vector<tessal_plus::bundle::TaskOutcome> shutdown() override {
    std::vector<tessal_plus::bundle::TaskOutcome> outcomes;
    if (done_) return outcomes;
    done_ = true;
    ++host_.initializer_calls;
    host_.process_init(flag_);
    for (const auto& t : tasks_) outcomes.push_back(run_task_(t));
    return outcomes;
  }

 private:
  FakeHost& host_;
  tessal::SharedFlag& flag_;
  tessal_plus::bundle::TaskRunner run_task_;
  std::vector<tessal_plus::bundle::PoolTask> tasks_;
  bool done_ = false;
};

}  // namespace

tessal::Timestamp FakeHost::datetime_now() {
  const char* pinned = std::getenv("TESSAL_NOW");
  if (!pinned || !*pinned) throw std::logic_error("the fake host's clock needs TESSAL_NOW");
  return util::parse_timestamp(pinned);
}

h5::FilterSpec FakeHost::blosc_opts(int complevel, std::string_view) {
  return h5::FilterSpec{h5::kBloscFilter, {0, 0, 0, 0, static_cast<unsigned>(complevel), 1, 1}};
}

std::unique_ptr<tessal::SharedFlag> FakeHost::make_flag(bool initial) { return std::make_unique<PlainFlag>(initial); }

tessal::SharedFlag& FakeHost::sval() {
  if (!sval_) throw std::logic_error("no flag installed");
  return *sval_;
}

std::unique_ptr<tessal::Pool> FakeHost::open_pool(int, tessal::SharedFlag& flag, tessal_plus::bundle::TaskRunner run_task) {
  return std::make_unique<InlinePool>(*this, flag, std::move(run_task));
}

std::optional<std::vector<tessal::InstrumentRecord>> FakeHost::read_instrument_list(const std::string& path) {
  return util::pickle::read_records(path);
}

void FakeHost::download(std::FILE* out, std::int64_t, const std::string&, const tessal::BodyReader& body) {
  char buf[4096];
  while (const std::size_t n = body(buf, sizeof buf)) std::fwrite(buf, 1, n, out);
}

const tessal_plus::bundle::RecordLayout& FakeHost::tick_layout() {
  using tessal_plus::bundle::FieldKind;
  static const tessal_plus::bundle::RecordLayout layout = tessal_plus::bundle::RecordLayout::of(
      {{"date", FieldKind::i32, 1, 0},
       {"time", FieldKind::i32, 1, 4},
       {"last", FieldKind::f64, 2, 8},
       {"volume", FieldKind::i64, 100, 16},
       {"high", FieldKind::u8, 1, 24}},
      25);
  return layout;
}

}  // namespace fake_host
