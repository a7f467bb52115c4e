#pragma once
// The update commands: the minute-bar and tick drivers, the full update,
// the smart update, and the sample-bundle download.
#include <cstdint>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tessal_plus/bundle/outside/host.hpp"

namespace tessal_plus::bundle {

// The program is to end with this exit status (a refusal by the user, or a
// missing exchange permission). Library code never exits; the command line
// turns this into the status.
class ProgramExit : public std::exception {
 public:
  explicit ProgramExit(int status) : status_(status) {}
  int status() const noexcept { return status_; }
  const char* what() const noexcept override { return "program exit"; }

 private:
  int status_;
};

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
// Process-wide; nothing (the default) runs every instrument. Throws
// util::Error (invalid_input) unless index < count.
void set_shard(std::optional<Shard> shard);
std::optional<Shard> current_shard() noexcept;
// FNV-1a 64 of the bytes of `id`.
std::uint64_t fnv1a64(std::string_view id) noexcept;
// The shard of `id` among `count` shards.
std::uint32_t shard_of(std::string_view id, std::uint32_t count) noexcept;

// What the update commands of this process ran, for reports (the command
// line's --json): the base step's result, and per driver call the store
// ("minute" or "tick"), the ids handed to the pool and whether every task
// succeeded.
struct DriverRecord {
  std::string store;
  std::vector<std::string> ids;
  bool succeeded = false;
  std::vector<tessal::TaskOutcome> outcomes;  // one per id, as the pool reported them
};
struct UpdateRecord {
  std::optional<bool> base;  // nothing when the base files were not updated
  std::vector<DriverRecord> drivers;
};
const UpdateRecord& last_update();

// The drivers' pool tasks: the writer of one instrument's minute-bar (tick)
// file with its default file name and start date. A host's pool may run
// them itself or send the matching writer of its own by name.
tessal::TaskOutcome minbar_task(const std::string& order_book_id, const std::string& path, bool rebuild);
tessal::TaskOutcome tick_task(const std::string& order_book_id, const std::string& path, bool rebuild);

// "{'a', 'b', ...}" as the drivers announce a set of ids.
std::string render_id_set(const std::set<std::string>& ids);

// Update the minute-bar (tick) files of the instruments that `tags` select,
// in `concurrency` worker processes. True when no instrument failed.
bool update_minbar(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives, int concurrency,
                   bool rebuild = false, bool enable_bjse = false);
bool update_tick(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives, int concurrency,
                 bool rebuild = false, bool enable_bjse = false);

// 通过quillonc更新指定标的的数据. May throw ProgramExit(0).
bool update_bundle_from_quillonc(int concurrency, const std::string& data_bundle_path, bool base,
                                 const std::vector<std::string>& minbar, const std::vector<std::string>& tick,
                                 bool with_derivatives, bool rebuild = false, bool enable_bjse = false);

// 从bundle数据中查看已存在的标的文件 进行增量更新.
bool update_bundle_from_exist_file(int concurrency, const std::string& data_bundle_path);

// Installs the sample bundle from the asset server or a local archive.
void download_simple_bundle(const std::string& data_bundle_path, bool sample,
                            const std::optional<std::string>& file_path = std::nullopt);

// Packs a small bundle of the current service into
// <output_folder>/vxbundle_sample.tar.bz2.
bool pack_sample_bundle(const std::string& output_folder, int concurrency);

}  // namespace tessal_plus::bundle
