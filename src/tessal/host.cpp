// The native host: logger, warning channel, open-mode rule, Blosc settings,
// the shared success flag, the instrument list reader and the tick layout.
#include <sys/mman.h>
#include <unistd.h>

#include <blosc.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include <fmt/format.h>

#include "tessal/ticks_layout.hpp"
#include "tessal/native_host.hpp"
#include "util/error.hpp"
#include "util/pickle.hpp"

namespace tessal {

void NativeHost::warn(const std::string& message) {
  if (ignoring_ > 0) return;
  if (warning_sink_) warning_sink_(message);
  else std::fprintf(stderr, "Warning: %s\n", message.c_str());
}

void NativeHost::log_error(const std::string& message) {
  if (log_sink_) return log_sink_(message);
  // One write per message, so lines from concurrent workers do not interleave.
  const std::string line = fmt::format("[ERROR] {}\n", message);
  std::fflush(stdout);
  [[maybe_unused]] auto n = ::write(STDERR_FILENO, line.data(), line.size());
}

h5::Mode NativeHost::get_h5_mode(const std::string&) { return h5::Mode::append; }

h5::FilterSpec NativeHost::blosc_opts(int complevel, std::string_view complib) {
  if (complevel < 0 || complevel > 9) throw std::invalid_argument(fmt::format("blosc level must be 0..9, got {}", complevel));
  static const std::pair<std::string_view, unsigned> codecs[] = {
      {"blosc:blosclz", BLOSC_BLOSCLZ}, {"blosc:lz4", BLOSC_LZ4}, {"blosc:lz4hc", BLOSC_LZ4HC},
      {"blosc:snappy", BLOSC_SNAPPY},   {"blosc:zlib", BLOSC_ZLIB}, {"blosc:zstd", BLOSC_ZSTD}};
  for (const auto& [name, code] : codecs) {
    // The first four values are filled in by the filter itself (version,
    // filter revision, type size, chunk size); then level, shuffle, codec.
    if (name == complib) return h5::FilterSpec{h5::kBloscFilter, {0, 0, 0, 0, static_cast<unsigned>(complevel), 1, code}};
  }
  throw std::invalid_argument(fmt::format("unknown blosc codec '{}'", complib));
}

// ---- shared flag ----
namespace {
// The flag in an anonymous shared mapping, so forked workers write the
// parent's copy; lock-free, so no lock is needed between processes.
class MappedFlag : public SharedFlag {
 public:
  explicit MappedFlag(bool initial) {
    void* p = ::mmap(nullptr, sizeof(std::atomic<bool>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) util::throw_os_error(errno, "cannot map", "the shared success flag");
    value_ = new (p) std::atomic<bool>(initial);
  }
  ~MappedFlag() override { ::munmap(value_, sizeof(std::atomic<bool>)); }
  bool value() const override { return value_->load(); }
  void clear() override { value_->store(false); }

 private:
  std::atomic<bool>* value_;
};
static_assert(std::atomic<bool>::is_always_lock_free);
}  // namespace

std::unique_ptr<SharedFlag> NativeHost::make_flag(bool initial) { return std::make_unique<MappedFlag>(initial); }

SharedFlag& NativeHost::sval() {
  if (!sval_) throw std::logic_error("tessal.data.bundle.sval is not installed: the writer runs outside an update pool");
  return *sval_;
}

// The command line's reader takes plain data only: a file that would build
// objects or call code when unpickled is refused, never run.
std::optional<std::vector<InstrumentRecord>> NativeHost::read_instrument_list(const std::string& path) {
  return util::pickle::read_records(path);
}

// ---- tick layout ----
const tessal_plus::bundle::RecordLayout& NativeHost::tick_layout() {
#define TB_F(name, kind, scale) tessal_plus::bundle::RecordField{#name, tessal_plus::bundle::FieldKind::kind, scale, offsetof(TickRecord, name)}
  static const tessal_plus::bundle::RecordLayout layout = tessal_plus::bundle::RecordLayout::of(
      {
          TB_F(date, i32, 1),           TB_F(time, i32, 1),           TB_F(open, i64, 10000),
          TB_F(last, i64, 10000),       TB_F(high, i64, 10000),       TB_F(low, i64, 10000),
          TB_F(prev_close, i64, 10000), TB_F(volume, i64, 1),         TB_F(total_turnover, f64, 1),
          TB_F(open_interest, i64, 1),  TB_F(prev_settlement, i64, 10000), TB_F(limit_up, i64, 10000),
          TB_F(limit_down, i64, 10000), TB_F(a1, i64, 10000),         TB_F(a2, i64, 10000),
          TB_F(a3, i64, 10000),         TB_F(a4, i64, 10000),         TB_F(a5, i64, 10000),
          TB_F(b1, i64, 10000),         TB_F(b2, i64, 10000),         TB_F(b3, i64, 10000),
          TB_F(b4, i64, 10000),         TB_F(b5, i64, 10000),         TB_F(a1_v, i64, 1),
          TB_F(a2_v, i64, 1),           TB_F(a3_v, i64, 1),           TB_F(a4_v, i64, 1),
          TB_F(a5_v, i64, 1),           TB_F(b1_v, i64, 1),           TB_F(b2_v, i64, 1),
          TB_F(b3_v, i64, 1),           TB_F(b4_v, i64, 1),           TB_F(b5_v, i64, 1),
      },
      sizeof(TickRecord));
#undef TB_F
  return layout;
}

}  // namespace tessal
