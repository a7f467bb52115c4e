#pragma once
// The update commands: the minute-bar and tick drivers, the full update,
// the smart update, and the sample-bundle download.
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

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

// The drivers' pool tasks: the writer of one instrument's minute-bar (tick)
// file with its default file name and start date. A host's pool may run
// them itself or send the matching writer of its own by name.
void minbar_task(const std::string& order_book_id, const std::string& path, bool rebuild);
void tick_task(const std::string& order_book_id, const std::string& path, bool rebuild);

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
