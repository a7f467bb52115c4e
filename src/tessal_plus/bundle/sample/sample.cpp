// The sample bundle: download (libcurl, transfer.hpp) or a local archive,
// unpacked (libarchive, unpack.hpp) into the bundle folder; and packing a
// sample of our own.
#include "tessal_plus/bundle/sample/sample.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/sample/transfer.hpp"
#include "tessal_plus/bundle/sample/unpack.hpp"
#include "util/error.hpp"

namespace tessal_plus::bundle {
namespace fs = std::filesystem;
using util::Error;
using util::ErrorKind;

namespace {

// The asset server: a placeholder of ours unless TESSAL_ASSET_HOST names one.
std::string download_url() {
  const char* host = std::getenv("TESSAL_ASSET_HOST");
  return fmt::format("http://{}/bundles_v4/{}", host && *host ? host : "assets.tessal.invalid", layout::SAMPLE_ARCHIVE);
}

// Downloads the sample archive into `temp`. The announced length must fit
// the free space of the temporary folder, and the body may not grow past it.
void fetch(const Run& run, const std::string& url, sample::TempArchive& temp, const sample::TransferLimits& limits) {
  const char* proxy = std::getenv("TESSAL_PROXY");
  sample::Transfer transfer(url, proxy ? proxy : "", limits);
  transfer.wait_for_headers();
  if (transfer.status() < 200 || transfer.status() >= 300)
    throw Error(ErrorKind::network, url, fmt::format("the asset server answered HTTP {} for {}", transfer.status(), url));
  const std::int64_t total_length = sample::parse_length(transfer.content_length(), url);
  const std::uint64_t free = temp.free_bytes();
  if (static_cast<std::uint64_t>(total_length) > free)
    throw Error(ErrorKind::os, temp.path(),
                fmt::format("the sample bundle of {} is {} bytes, but only {} bytes are free for '{}'", url, total_length,
                            free, temp.path()),
                ENOSPC);
  transfer.expect_length(total_length);
  run.host.download(temp.file(), total_length, url, [&](char* b, std::size_t n) { return transfer.read(b, n); });
  temp.close();
}

// Whether the local archive is usable; prints why not.
bool local_archive_usable(const Console& console, const std::string& file_path, const std::string& url) {
  if (!fs::exists(file_path)) {
    console.line(file_path + "文件不存在");
    return false;
  }
  if (fs::path(file_path).filename() != layout::SAMPLE_ARCHIVE) {
    console.line(file_path + "文件名不为 vxbundle_sample.tar.bz2");
    console.line("请使用下列连接下载：");
    console.line(url);
    return false;
  }
  return true;
}

void install(const Run& run, const std::string& data_bundle_path, const std::optional<std::string>& file_path) {
  const std::string bundle = join(data_bundle_path, layout::BUNDLE);
  fs::create_directories(bundle);
  const std::string url = download_url();
  // Limits are read first, so a mistyped variable fails before any traffic.
  const auto unpack_limits = sample::UnpackLimits::from_environment();
  if (file_path && !file_path->empty()) {
    if (!local_archive_usable(run.console, *file_path, url)) return;
    run.console.line("解压中...");
    sample::unpack_into(*file_path, bundle, unpack_limits);
  } else {
    const auto limits = sample::TransferLimits::from_environment();
    sample::TempArchive temp;  // removed on every way out of this block
    fetch(run, url, temp, limits);
    run.console.line("bundle 数据下载完毕，解压中...");
    sample::unpack_into(temp.path(), bundle, unpack_limits);
  }
  run.console.line("bundle 数据解压完成");
}

// The archive being packed: written under a temporary name and renamed
// over the target only when complete, so no reader ever sees half of one.
class ArchiveOut {
 public:
  explicit ArchiveOut(std::string path) : path_(std::move(path)), part_(path_ + ".part"), a_(archive_write_new()) {
    if (!a_ || archive_write_add_filter_bzip2(a_.get()) != ARCHIVE_OK ||
        archive_write_set_format_pax_restricted(a_.get()) != ARCHIVE_OK ||
        archive_write_open_filename(a_.get(), part_.c_str()) != ARCHIVE_OK)
      fail("cannot write");
  }
  ~ArchiveOut() {
    a_.reset();
    if (!done_) ::unlink(part_.c_str());
  }
  ArchiveOut(const ArchiveOut&) = delete;
  ArchiveOut& operator=(const ArchiveOut&) = delete;
  void add(const fs::path& file, const std::string& name);
  void finish() {
    if (archive_write_close(a_.get()) != ARCHIVE_OK) fail("cannot write");
    if (::rename(part_.c_str(), path_.c_str()) != 0) util::throw_os_error(errno, "cannot replace", path_);
    done_ = true;
  }

 private:
  struct Free {
    void operator()(archive* a) const noexcept { archive_write_free(a); }
  };
  struct EntryFree {
    void operator()(archive_entry* e) const noexcept { archive_entry_free(e); }
  };
  [[noreturn]] void fail(const char* what) const {
    const char* why = a_ ? archive_error_string(a_.get()) : nullptr;
    throw Error(ErrorKind::archive, path_, fmt::format("{} '{}': {}", what, path_, why ? why : "out of memory"));
  }
  std::string path_, part_;
  std::unique_ptr<archive, Free> a_;
  bool done_ = false;
};

// The file is opened before its header is written, so a file that cannot
// be read never leaves a member without its data; a file that changes size
// while packed fails the whole archive.
void ArchiveOut::add(const fs::path& file, const std::string& name) {
  sample::FilePtr in(std::fopen(file.c_str(), "rb"));
  if (!in) util::throw_os_error(errno, "cannot read", file.string());
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(file, ec);
  if (ec) util::throw_os_error(ec.value(), "cannot read", file.string());
  std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
  if (!entry) fail("cannot write");
  archive_entry_set_pathname(entry.get(), name.c_str());
  archive_entry_set_size(entry.get(), static_cast<la_int64_t>(size));
  archive_entry_set_filetype(entry.get(), AE_IFREG);
  archive_entry_set_perm(entry.get(), 0644);
  if (archive_write_header(a_.get(), entry.get()) != ARCHIVE_OK) fail("cannot write");
  std::vector<char> buf(1 << 16);
  std::uintmax_t total = 0;
  while (const std::size_t n = std::fread(buf.data(), 1, buf.size(), in.get())) {
    if (archive_write_data(a_.get(), buf.data(), n) != static_cast<la_ssize_t>(n)) fail("cannot write");
    total += n;
  }
  if (std::ferror(in.get())) util::throw_os_error(errno, "cannot read", file.string());
  if (total != size)
    throw Error(ErrorKind::os, file.string(), fmt::format("'{}' changed while it was being packed", file.string()));
}

}  // namespace

void download_simple_bundle(const Run& run, const std::string& data_bundle_path, bool /*sample*/,
                            const std::optional<std::string>& file_path) {
  sample::InterruptGuard guard(run.interrupt_check);
  try {
    install(run, data_bundle_path, file_path);
  } catch (const sample::Interrupted& e) {
    // The temporary archive and the staging folder are gone by now; the
    // process ends as the signal asked.
    guard.reraise(e.signal());
    throw;
  }
}

bool pack_sample_bundle(const Run& run, const std::string& output_folder, int concurrency) {
  const fs::path work = fs::temp_directory_path() / fmt::format("tessal-sample-{}", ::getpid());
  fs::remove_all(work);
  struct Cleanup {
    fs::path p;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(p, ec);
    }
  } cleanup{work};
  const bool ok = update_bundle_from_quillonc(run, concurrency, work.string(), true, {"600000.XSHG", "000001.XSHE", "IF"},
                                              {"600000.XSHG"}, false).succeeded;
  fs::create_directories(output_folder);
  const std::string out_path = join(output_folder, layout::SAMPLE_ARCHIVE);
  const fs::path root = work / layout::BUNDLE;
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ArchiveOut out(out_path);
  for (const auto& p : files) out.add(p, fs::relative(p, root).string());
  out.finish();
  run.console.line(fmt::format("sample bundle written to {}", out_path));
  return ok;
}

}  // namespace tessal_plus::bundle
