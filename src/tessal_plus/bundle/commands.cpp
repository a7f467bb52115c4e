#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/errors.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include <fmt/format.h>

#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"
#include "tessal_plus/bundle/universe.hpp"
#include "tessal_plus/bundle/writers.hpp"

namespace tessal_plus::bundle {
namespace fs = std::filesystem;

namespace {

using Task = tessal::data::bundle::ProgressedProcessPoolExecutor::TaskFunction;

// Each worker gets the run's flag and lets the service client reconnect.
void init_worker(tessal::SharedFlag* flag) {
  tessal::data::bundle::process_init(flag);
  quillonc::worker_started();
}

UpdateRecord& update_record() {
  static UpdateRecord r;
  return r;
}

std::optional<Shard>& shard_slot() noexcept {
  static std::optional<Shard> shard;
  return shard;
}

bool run_driver(const char* message, Task task, bool make_folder, const std::string& path, const std::vector<std::string>& tags,
                bool with_derivatives, int concurrency, bool rebuild, bool enable_bjse) {
  if (concurrency < 1) util::fail(util::ErrorKind::invalid_input, "", fmt::format("concurrency must be at least 1, got {}", concurrency));
  auto ids = _merge_tags(tags, with_derivatives, enable_bjse);
  // Sharded after the tags are resolved: every shard resolves the same
  // tags to the same set and keeps its own part of it.
  if (const auto shard = shard_slot()) std::erase_if(ids, [&](const std::string& id) { return shard_of(id, shard->count) != shard->index; });
  if (make_folder) fs::create_directories(path);
  // Temporary files of writers that were killed (their locks are gone with
  // them); those of another run at work are held and stay.
  remove_unfinished_files(path);
  print_line(fmt::format(fmt::runtime(message), ids.size(), render_id_set(ids)));
  auto& driver = update_record().drivers.emplace_back(DriverRecord{task == tick_task ? "tick" : "minute", {ids.begin(), ids.end()}, false});
  tessal::SharedFlagOwner succeed(true);
  {
    tessal::data::bundle::ProgressedProcessPoolExecutor pool(concurrency, init_worker, succeed.get());
    for (const auto& id : ids) pool.submit(task, id, path, rebuild);
    try {
      driver.outcomes = pool.shutdown();
    } catch (const util::Error& e) {
      // Stopped by the user: the files in progress were new ones under
      // temporary names (removed here) or existing ones whose journals the
      // next opener rolls back.
      if (e.kind() == util::ErrorKind::interrupted) remove_unfinished_files(path);
      throw;
    }
  }
  // A task whose worker died never said so itself: it is logged here. A
  // task the pool could not account for is a failure too, whatever the flag
  // says.
  for (auto& o : driver.outcomes)
    if (o.status == tessal::TaskStatus::died) {
      o.message = fmt::format("更新 {} 失败：{}", o.order_book_id, o.message);
      tessal::system_log::error(o.message);
    }
  const bool all_ran = driver.outcomes.size() == ids.size() &&
                       std::all_of(driver.outcomes.begin(), driver.outcomes.end(), [](const tessal::TaskOutcome& o) {
                         return o.status == tessal::TaskStatus::written || o.status == tessal::TaskStatus::up_to_date;
                       });
  driver.succeeded = succeed.get()->value() && all_ran;
  return driver.succeeded;
}

const char* const kNoBjse = "没有 enable_bjse 参数，详情可联系星桥科技：0000-00000000";

// Ids of the store files directly in `folder`: names ending in ".h5" but
// not in "-sample.h5", in listing order, each without its last three
// characters.
void collect_ids(const std::string& folder, std::vector<std::string>& out) {
  for (const auto& file : list_store_files(folder, /*include_hidden=*/true)) {
    const std::string name = file.substr(file.find_last_of('/') + 1);
    if (!ends_with(name, "-sample.h5")) out.push_back(name.substr(0, name.size() - 3));
  }
}

}  // namespace

const UpdateRecord& last_update() { return update_record(); }

void set_shard(std::optional<Shard> shard) {
  if (shard && (shard->count == 0 || shard->index >= shard->count))
    util::fail(util::ErrorKind::invalid_input, "", fmt::format("shard {}/{}: K must be at least 0 and less than N", shard->index, shard->count));
  shard_slot() = shard;
}

std::optional<Shard> current_shard() noexcept { return shard_slot(); }

std::uint64_t fnv1a64(std::string_view id) noexcept {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const unsigned char c : id) h = (h ^ c) * 0x100000001b3ULL;
  return h;
}

std::uint32_t shard_of(std::string_view id, std::uint32_t count) noexcept {
  return count == 0 ? 0 : static_cast<std::uint32_t>(fnv1a64(id) % count);
}

namespace {
// The one place a pool task ends: the writer's own outcome, or a failure
// the writer let through (an unknown id, the service failing before the
// file was opened) logged with the id and clearing the run's flag.
template <typename Writer>
tessal::TaskOutcome run_task(Writer writer, const std::string& order_book_id, const std::string& path, bool rebuild) {
  std::string kind = "error", what;
  try {
    return writer(order_book_id, path, std::nullopt, MIN_START_DATE, rebuild);
  } catch (const util::Error& e) {
    pass_interruptions(e);
    kind = util::kind_name(e.kind());
    what = e.what();
  } catch (const std::exception& e) {
    what = e.what();
  }
  tessal::TaskOutcome failed{order_book_id, tessal::TaskStatus::failed, kind, fmt::format("更新 {} 失败：{}", order_book_id, what)};
  tessal::system_log::error(failed.message);
  tessal::data::bundle::sval()->clear();
  return failed;
}
}  // namespace

tessal::TaskOutcome minbar_task(const std::string& order_book_id, const std::string& path, bool rebuild) {
  return run_task(_append_h5, order_book_id, path, rebuild);
}
tessal::TaskOutcome tick_task(const std::string& order_book_id, const std::string& path, bool rebuild) {
  return run_task(_append_h5_tick, order_book_id, path, rebuild);
}

std::string render_id_set(const std::set<std::string>& ids) {
  if (ids.empty()) return "set()";
  std::string out = "{";
  std::size_t n = 0;
  for (const auto& id : ids) {
    if (n == 6) {
      out += ", ...";
      break;
    }
    if (n++) out += ", ";
    out += id.size() >= 29 ? fmt::format("'{}...{}'", id.substr(0, 12), id.substr(id.size() - 13)) : fmt::format("'{}'", id);
  }
  return out + "}";
}

bool update_minbar(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives, int concurrency,
                   bool rebuild, bool enable_bjse) {
  return run_driver("开始更新 {} 只标的的分钟线数据：{}", minbar_task, false, path, tags, with_derivatives, concurrency, rebuild,
                    enable_bjse);
}

bool update_tick(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives, int concurrency,
                 bool rebuild, bool enable_bjse) {
  return run_driver("开始更新 {} 只标的的tick数据：{}", tick_task, true, path, tags, with_derivatives, concurrency, rebuild,
                    enable_bjse);
}

bool update_bundle_from_quillonc(int concurrency, const std::string& data_bundle_path, bool base,
                                 const std::vector<std::string>& minbar, const std::vector<std::string>& tick,
                                 bool with_derivatives, bool rebuild, bool enable_bjse) {
  const std::string bundle = join(data_bundle_path, layout::BUNDLE);
  auto& q = quillonc::client();
  if (enable_bjse) {
    std::vector<std::string> bjse;
    for (const auto& i : q.all_instruments(std::string(tessal::INSTRUMENT_TYPE::CS), "cn", tessal::datetime_now()))
      if (i.exchange == "BJSE") bjse.push_back(i.order_book_id);
    if (bjse.empty()) {
      print_line(kNoBjse);
      throw ProgramExit(0);
    }
    try {
      q.probe_price(bjse.front());
    } catch (const quillonc::PermissionDenied&) {
      print_line(kNoBjse);
      throw ProgramExit(0);
    }
  }
  bool succeed = true;
  if (rebuild) {
    for (int round = 0; round < REBUILD_COMFIRM_RETRY_TIMES; ++round) {
      print_line("本次会将指定的[合约分钟]和[合约tick]的h5文件从头进行更新，是否确认?[Y/n]");
      const std::string answer = read_answer();
      if (answer == "Y") break;
      if (answer == "n" || round >= REBUILD_COMFIRM_RETRY_TIMES - 1) throw ProgramExit(0);
    }
  }
  if (base) {
    print_line("开始更新日线及基础数据");
    const bool create = !fs::exists(bundle);
    if (create) fs::create_directories(bundle);
    succeed = tessal::data::bundle::update_daybar(bundle, create, true, concurrency, enable_bjse,
                                                    tessal::data::bundle::BjseKeyword::quillon_kwargs);
    update_record().base = succeed;
  }
  if (!minbar.empty()) {
    const bool r = update_minbar(join(bundle, layout::MINBAR_ROOT), minbar, with_derivatives, concurrency, rebuild, enable_bjse);
    if (!r) succeed = r;
  }
  if (!tick.empty()) {
    const bool r = update_tick(join(bundle, layout::TICKS), tick, with_derivatives, concurrency, rebuild, enable_bjse);
    if (!r) succeed = r;
  }
  return succeed;
}

namespace {
bool update_base_files(const std::string& bundle, int concurrency);
bool update_existing_files(const std::string& bundle, int concurrency, bool succeed);
}  // namespace

bool update_bundle_from_exist_file(int concurrency, const std::string& data_bundle_path) {
  const std::string bundle = join(data_bundle_path, layout::BUNDLE);
  print_line("开始智能更新已下载数据");
  bool succeed = true;
  if (const auto shard = shard_slot()) {
    // Shards share the base files, which an update with --base wrote
    // before they started; two shards writing them at once would race.
    print_line(fmt::format("shard {}/{}: the base files are not updated by a shard (update them first with: update DATA_BUNDLE_PATH --base)",
                           shard->index, shard->count));
  } else {
    succeed = update_base_files(bundle, concurrency);
    update_record().base = succeed;
  }
  return update_existing_files(bundle, concurrency, succeed);
}

namespace {

// The smart update's base step: the day bars and base files, with BJSE when
// the bundle's instrument list holds any.
bool update_base_files(const std::string& bundle, int concurrency) {
  print_line("开始更新日线及基础数据");
  bool enable_bjse = false;
  const std::string instruments = join(bundle, layout::INSTRUMENTS);
  if (fs::exists(instruments)) {
    // The host reads its own file: Python's pickle in a Python host, the
    // command line's plain-data reader natively.
    const auto list = tessal::data::bundle::read_instrument_list(instruments);
    if (!list)
      util::fail(util::ErrorKind::damaged, instruments, fmt::format("'{}' does not hold a list of instrument records", instruments));
    for (std::size_t n = 0; n < list->size() && !enable_bjse; ++n) {
      const auto& rec = (*list)[n];
      const auto exchange = std::find_if(rec.begin(), rec.end(), [](const auto& field) { return field.first == "exchange"; });
      if (exchange == rec.end())
        util::fail(util::ErrorKind::damaged, instruments, fmt::format("record {} of '{}' has no 'exchange'", n, instruments));
      enable_bjse = exchange->second == "BJSE";
    }
  }
  return tessal::data::bundle::update_daybar(bundle, false, true, concurrency, enable_bjse,
                                              tessal::data::bundle::BjseKeyword::enable_bjse);
}

// The smart update's file step: every minute-bar and tick file present.
bool update_existing_files(const std::string& bundle, int concurrency, bool succeed) {
  const fs::path h5_root = join(bundle, layout::MINBAR_ROOT);
  if (fs::is_directory(h5_root)) {
    std::vector<std::string> ids;
    for (const auto& entry : fs::directory_iterator(h5_root)) {
      if (!entry.is_directory() || entry.path().filename() == layout::TICKS) continue;
      collect_ids(entry.path().string(), ids);
    }
    if (!ids.empty()) {
      const bool r = update_minbar(h5_root.string(), ids, false, concurrency);
      if (!r) succeed = r;
    }
  }
  const fs::path ticks = join(bundle, layout::TICKS);
  if (fs::is_directory(ticks)) {
    std::vector<std::string> ids;
    collect_ids(ticks.string(), ids);
    if (!ids.empty()) {
      const bool r = update_tick(ticks.string(), ids, false, concurrency);
      if (!r) succeed = r;
    }
  }
  return succeed;
}

}  // namespace

}  // namespace tessal_plus::bundle
