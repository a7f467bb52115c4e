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
#include "tessal_plus/bundle/stores.hpp"
#include "tessal_plus/bundle/universe.hpp"
#include "tessal_plus/bundle/writers.hpp"

namespace tessal_plus::bundle {
namespace fs = std::filesystem;

namespace {

// The record's verdict: the base step (when it ran) and every driver.
UpdateRecord settled(UpdateRecord record) {
  record.succeeded = record.base.value_or(true) &&
                     std::all_of(record.drivers.begin(), record.drivers.end(), [](const DriverRecord& d) { return d.succeeded; });
  return record;
}

DriverRecord run_driver(const Run& run, const StoreKind& store, const std::string& path,
                        const std::vector<std::string>& tags, bool with_derivatives, int concurrency, bool rebuild,
                        bool enable_bjse) {
  if (concurrency < 1) util::fail(util::ErrorKind::invalid_input, "", fmt::format("concurrency must be at least 1, got {}", concurrency));
  auto ids = _merge_tags(run, tags, with_derivatives, enable_bjse);
  // Sharded after the tags are resolved: every shard resolves the same
  // tags to the same set and keeps its own part of it.
  if (const auto shard = run.shard) std::erase_if(ids, [&](const std::string& id) { return shard_of(id, shard->count) != shard->index; });
  if (store.makes_folder) fs::create_directories(path);
  // Temporary files of writers that were killed (their locks are gone with
  // them); those of another run at work are held and stay.
  remove_unfinished_files(path);
  run.console.line(fmt::format(fmt::runtime(store.announcement), ids.size(), render_id_set(ids)));
  DriverRecord driver{std::string(store.name), {ids.begin(), ids.end()}, false, {}};
  const auto succeed = run.host.make_flag(true);
  {
    const auto pool = run.host.open_pool(concurrency, *succeed, [&run](const PoolTask& t) { return run_task(run, t); });
    for (const auto& id : ids) pool->submit(PoolTask{store.store, id, path, rebuild});
    try {
      driver.outcomes = pool->shutdown();
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
    if (o.status == TaskStatus::died) {
      o.message = fmt::format("更新 {} 失败：{}", o.order_book_id, o.message);
      run.host.log_error(o.message);
    }
  const bool all_ran = driver.outcomes.size() == ids.size() &&
                       std::all_of(driver.outcomes.begin(), driver.outcomes.end(), [](const TaskOutcome& o) {
                         return o.status == TaskStatus::written || o.status == TaskStatus::up_to_date;
                       });
  driver.succeeded = succeed->value() && all_ran;
  return driver;
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

TaskOutcome run_task(const Run& run, const PoolTask& task) {
  std::string kind = "error", what;
  try {
    run.worker_started();
    return store_kind(task.store).writer(run, task.order_book_id, task.path, std::nullopt, MIN_START_DATE, task.rebuild);
  } catch (const util::Error& e) {
    pass_interruptions(e);
    kind = util::kind_name(e.kind());
    what = e.what();
  } catch (const std::exception& e) {
    what = e.what();
  }
  TaskOutcome failed{task.order_book_id, TaskStatus::failed, kind,
                             fmt::format("更新 {} 失败：{}", task.order_book_id, what)};
  run.host.log_error(failed.message);
  run.sval().clear();
  return failed;
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

DriverRecord update_minbar(const Run& run, const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                           int concurrency, bool rebuild, bool enable_bjse) {
  return run_driver(run, store_kind(Store::minute), path, tags, with_derivatives, concurrency, rebuild, enable_bjse);
}

DriverRecord update_tick(const Run& run, const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                         int concurrency, bool rebuild, bool enable_bjse) {
  return run_driver(run, store_kind(Store::tick), path, tags, with_derivatives, concurrency, rebuild, enable_bjse);
}

UpdateRecord update_bundle_from_quillonc(const Run& run, int concurrency, const std::string& data_bundle_path, bool base,
                                 const std::vector<std::string>& minbar, const std::vector<std::string>& tick,
                                 bool with_derivatives, bool rebuild, bool enable_bjse) {
  const std::string bundle = join(data_bundle_path, layout::BUNDLE);
  auto& q = run.client;
  if (enable_bjse) {
    std::vector<std::string> bjse;
    for (const auto& i : q.all_instruments(std::string(tessal::INSTRUMENT_TYPE::CS), "cn", run.host.datetime_now()))
      if (i.exchange == "BJSE") bjse.push_back(i.order_book_id);
    if (bjse.empty()) {
      run.console.line(kNoBjse);
      throw ProgramExit(0);
    }
    try {
      q.probe_price(bjse.front());
    } catch (const quillonc::PermissionDenied&) {
      run.console.line(kNoBjse);
      throw ProgramExit(0);
    }
  }
  UpdateRecord record;
  if (rebuild) {
    for (int round = 0; round < REBUILD_COMFIRM_RETRY_TIMES; ++round) {
      run.console.line("本次会将指定的[合约分钟]和[合约tick]的h5文件从头进行更新，是否确认?[Y/n]");
      const std::string answer = run.console.read_answer();
      if (answer == "Y") break;
      if (answer == "n" || round >= REBUILD_COMFIRM_RETRY_TIMES - 1) throw ProgramExit(0);
    }
  }
  if (base) {
    run.console.line("开始更新日线及基础数据");
    const bool create = !fs::exists(bundle);
    if (create) fs::create_directories(bundle);
    record.base = run.host.update_daybar(bundle, create, true, concurrency, enable_bjse, tessal::BjseKeyword::quillon_kwargs);
  }
  if (!minbar.empty())
    record.drivers.push_back(update_minbar(run, join(bundle, layout::MINBAR_ROOT), minbar, with_derivatives, concurrency, rebuild, enable_bjse));
  if (!tick.empty())
    record.drivers.push_back(update_tick(run, join(bundle, layout::TICKS), tick, with_derivatives, concurrency, rebuild, enable_bjse));
  return settled(std::move(record));
}

namespace {
bool update_base_files(const Run& run, const std::string& bundle, int concurrency);
void update_existing_files(const Run& run, const std::string& bundle, int concurrency, UpdateRecord& record);
}  // namespace

UpdateRecord update_bundle_from_exist_file(const Run& run, int concurrency, const std::string& data_bundle_path) {
  const std::string bundle = join(data_bundle_path, layout::BUNDLE);
  run.console.line("开始智能更新已下载数据");
  UpdateRecord record;
  if (const auto shard = run.shard) {
    // Shards share the base files, which an update with --base wrote
    // before they started; two shards writing them at once would race.
    run.console.line(fmt::format(
        "shard {}/{}: the base files are not updated by a shard (update them first with: update DATA_BUNDLE_PATH --base)",
        shard->index, shard->count));
  } else {
    record.base = update_base_files(run, bundle, concurrency);
  }
  update_existing_files(run, bundle, concurrency, record);
  return settled(std::move(record));
}

namespace {

// The smart update's base step: the day bars and base files, with BJSE when
// the bundle's instrument list holds any.
bool update_base_files(const Run& run, const std::string& bundle, int concurrency) {
  run.console.line("开始更新日线及基础数据");
  bool enable_bjse = false;
  const std::string instruments = join(bundle, layout::INSTRUMENTS);
  if (fs::exists(instruments)) {
    // The host reads its own file: Python's pickle in a Python host, the
    // command line's plain-data reader natively.
    const auto list = run.host.read_instrument_list(instruments);
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
  return run.host.update_daybar(bundle, false, true, concurrency, enable_bjse, tessal::BjseKeyword::enable_bjse);
}

// The smart update's file step: every minute-bar and tick file present.
void update_existing_files(const Run& run, const std::string& bundle, int concurrency, UpdateRecord& record) {
  const fs::path h5_root = join(bundle, layout::MINBAR_ROOT);
  if (fs::is_directory(h5_root)) {
    std::vector<std::string> ids;
    for (const auto& entry : fs::directory_iterator(h5_root)) {
      if (!entry.is_directory() || entry.path().filename() == layout::TICKS) continue;
      collect_ids(entry.path().string(), ids);
    }
    if (!ids.empty()) record.drivers.push_back(update_minbar(run, h5_root.string(), ids, false, concurrency));
  }
  const fs::path ticks = join(bundle, layout::TICKS);
  if (fs::is_directory(ticks)) {
    std::vector<std::string> ids;
    collect_ids(ticks.string(), ids);
    if (!ids.empty()) record.drivers.push_back(update_tick(run, ticks.string(), ids, false, concurrency));
  }
}

}  // namespace

}  // namespace tessal_plus::bundle
