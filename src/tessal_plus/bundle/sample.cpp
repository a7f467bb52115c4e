// The sample bundle: download (libcurl) or a local archive, unpacked
// (libarchive) into the bundle folder; and packing a sample of our own.
#include <archive.h>
#include <archive_entry.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <algorithm>
#include <optional>
#include <stdexcept>

#include <fmt/format.h>

#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/outside/host.hpp"

namespace tessal_plus::bundle {
namespace fs = std::filesystem;

namespace {

// The asset server: a placeholder of ours unless TESSAL_ASSET_HOST names one.
std::string download_url() {
  const char* host = std::getenv("TESSAL_ASSET_HOST");
  return fmt::format("http://{}/bundles_v4/{}", host && *host ? host : "assets.tessal.invalid", layout::SAMPLE_ARCHIVE);
}

// A GET whose body is pulled piece by piece through curl's multi interface,
// so the headers can be judged before anything is written.
class Transfer {
 public:
  Transfer(const std::string& url, const std::string& proxy) : url_(url) {
    easy_ = curl_easy_init();
    multi_ = curl_multi_init();
    if (!easy_ || !multi_) throw std::runtime_error("cannot start an HTTP transfer");
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    // An empty proxy disables proxies, also those of the usual variables:
    // TESSAL_PROXY alone decides, for http and https alike.
    curl_easy_setopt(easy_, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &Transfer::on_header);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Transfer::on_body);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error_);
    curl_multi_add_handle(multi_, easy_);
  }
  ~Transfer() {
    curl_multi_remove_handle(multi_, easy_);
    curl_easy_cleanup(easy_);
    curl_multi_cleanup(multi_);
  }
  // Runs until the final response's headers are in (or the transfer ended).
  void wait_for_headers() {
    while (!headers_done_ && pump()) {
    }
    if (!headers_done_) finish_or_throw();
  }
  long status() const { return status_; }
  const std::optional<std::string>& content_length() const { return content_length_; }
  std::size_t read(char* buf, std::size_t cap) {
    while (pending_.empty() && pump()) {
    }
    if (pending_.empty()) {
      finish_or_throw();
      return 0;
    }
    const std::size_t n = std::min(cap, pending_.size());
    std::copy(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n), buf);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }

 private:
  // One round of the transfer; false once it has ended.
  bool pump() {
    if (ended_) return false;
    int running = 0;
    if (curl_multi_perform(multi_, &running) != CURLM_OK) throw std::runtime_error("HTTP transfer failed");
    if (running == 0) {
      ended_ = true;
      int left = 0;
      while (CURLMsg* m = curl_multi_info_read(multi_, &left))
        if (m->msg == CURLMSG_DONE) result_ = m->data.result;
      return !pending_.empty() || headers_done_;
    }
    curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    return true;
  }
  void finish_or_throw() {
    while (pump()) {
    }
    if (result_ != CURLE_OK)
      throw std::runtime_error(fmt::format("download of {} failed: {}", url_, error_[0] ? error_ : curl_easy_strerror(result_)));
  }
  static std::size_t on_header(char* data, std::size_t size, std::size_t n, void* self_) {
    auto* self = static_cast<Transfer*>(self_);
    std::string line(data, size * n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
      // A new response (after a redirect or 100 Continue) starts afresh.
      self->content_length_.reset();
      self->status_ = std::atol(line.c_str() + line.find(' ') + 1);
    } else if (line.empty()) {
      if (self->status_ >= 200 || self->status_ == 0) {
        long code = 0;
        curl_easy_getinfo(self->easy_, CURLINFO_RESPONSE_CODE, &code);
        if (!(code >= 300 && code < 400)) self->headers_done_ = true;
      }
    } else {
      const auto colon = line.find(':');
      std::string name = line.substr(0, colon);
      for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (colon != std::string::npos && name == "content-length") {
        std::string v = line.substr(colon + 1);
        v.erase(0, v.find_first_not_of(" \t"));
        self->content_length_ = v;
      }
    }
    return size * n;
  }
  static std::size_t on_body(char* data, std::size_t size, std::size_t n, void* self_) {
    auto* self = static_cast<Transfer*>(self_);
    self->headers_done_ = true;
    self->pending_.insert(self->pending_.end(), data, data + size * n);
    return size * n;
  }

  std::string url_;
  CURL* easy_ = nullptr;
  CURLM* multi_ = nullptr;
  char error_[CURL_ERROR_SIZE] = {0};
  long status_ = 0;
  std::optional<std::string> content_length_;
  bool headers_done_ = false;
  bool ended_ = false;
  CURLcode result_ = CURLE_OK;
  std::deque<char> pending_;
};

std::int64_t parse_length(const std::optional<std::string>& v, const std::string& url) {
  if (!v) throw std::runtime_error(fmt::format("the response of {} has no content-length header", url));
  try {
    std::size_t used = 0;
    const long long n = std::stoll(*v, &used);
    if (used == v->size() && n >= 0) return n;
  } catch (const std::exception&) {
  }
  throw std::runtime_error(fmt::format("the content-length '{}' of {} is not an integer", *v, url));
}

// Whether a link target, taken relative to the folder of `member`, stays
// inside the extraction folder.
bool stays_inside(const std::string& member, const std::string& target, bool relative_to_member) {
  if (target.empty() || target[0] == '/') return false;
  fs::path p = relative_to_member ? fs::path(member).parent_path() / target : fs::path(target);
  int depth = 0;
  for (const auto& part : p.lexically_normal()) {
    if (part == "..") {
      if (--depth < 0) return false;
    } else if (part != "." && !part.empty()) {
      ++depth;
    }
  }
  return true;
}

struct ArchiveReader {
  archive* a = archive_read_new();
  ~ArchiveReader() { archive_read_free(a); }
};
struct DiskWriter {
  archive* a = archive_write_disk_new();
  ~DiskWriter() { archive_write_free(a); }
};
// Works inside the bundle folder, so members keep their relative paths and
// libarchive's own checks (no "..", no absolute paths, nothing written
// through a symbolic link) apply to them as written in the archive.
struct InFolder {
  int saved = ::open(".", O_RDONLY | O_DIRECTORY);
  explicit InFolder(const std::string& folder) {
    if (saved < 0 || ::chdir(folder.c_str()) != 0)
      throw std::runtime_error(fmt::format("cannot enter '{}': {}", folder, std::strerror(errno)));
  }
  ~InFolder() {
    if (saved >= 0) {
      [[maybe_unused]] int r = ::fchdir(saved);
      ::close(saved);
    }
  }
};

void unpack(const std::string& archive_path, const std::string& folder) {
  ArchiveReader in;
  archive_read_support_filter_bzip2(in.a);
  archive_read_support_format_tar(in.a);
  if (archive_read_open_filename(in.a, archive_path.c_str(), 1 << 16) != ARCHIVE_OK)
    throw std::runtime_error(fmt::format("cannot read '{}': {}", archive_path, archive_error_string(in.a)));
  DiskWriter out;
  archive_write_disk_set_options(out.a, ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                            ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                            ARCHIVE_EXTRACT_UNLINK);
  archive_write_disk_set_standard_lookup(out.a);
  const std::string folder_abs = fs::absolute(folder).string();
  InFolder here(folder_abs);
  archive_entry* entry = nullptr;
  while (true) {
    const int r = archive_read_next_header(in.a, &entry);
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) throw std::runtime_error(fmt::format("cannot read '{}': {}", archive_path, archive_error_string(in.a)));
    const std::string name = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
    auto refuse = [&](const char* why) {
      throw std::runtime_error(fmt::format("archive member '{}' of '{}' refused: {}", name, archive_path, why));
    };
    if (!stays_inside(name, name, false)) refuse("its path leads outside the bundle folder");
    if (const char* link = archive_entry_symlink(entry); link && !stays_inside(name, link, true))
      refuse("it is a symbolic link to a place outside the bundle folder");
    if (const char* link = archive_entry_hardlink(entry); link && !stays_inside(name, link, false))
      refuse("it is a hard link to a file outside the bundle folder");
    if (archive_write_header(out.a, entry) < ARCHIVE_WARN)
      throw std::runtime_error(fmt::format("cannot unpack '{}' of '{}': {}", name, archive_path, archive_error_string(out.a)));
    const void* buf;
    std::size_t size;
    la_int64_t offset;
    int rb;
    while ((rb = archive_read_data_block(in.a, &buf, &size, &offset)) == ARCHIVE_OK)
      if (archive_write_data_block(out.a, buf, size, offset) < ARCHIVE_WARN)
        throw std::runtime_error(fmt::format("cannot write '{}': {}", name, archive_error_string(out.a)));
    if (rb != ARCHIVE_EOF) throw std::runtime_error(fmt::format("cannot read '{}' of '{}': {}", name, archive_path, archive_error_string(in.a)));
    if (archive_write_finish_entry(out.a) < ARCHIVE_WARN)
      throw std::runtime_error(fmt::format("cannot finish '{}': {}", name, archive_error_string(out.a)));
  }
}

}  // namespace

void download_simple_bundle(const std::string& data_bundle_path, bool /*sample*/, const std::optional<std::string>& file_path) {
  const std::string bundle = join(data_bundle_path, layout::BUNDLE);
  fs::create_directories(bundle);
  const std::string url = download_url();
  std::string archive_path;
  const bool downloading = !file_path || file_path->empty();
  if (downloading) {
    archive_path = (fs::temp_directory_path() / layout::TEMP_ARCHIVE).string();
    const char* proxy = std::getenv("TESSAL_PROXY");
    Transfer transfer(url, proxy ? proxy : "");
    transfer.wait_for_headers();
    if (transfer.status() < 200 || transfer.status() >= 300) {
      fs::remove(archive_path);
      throw std::runtime_error(fmt::format("the asset server answered HTTP {} for {}", transfer.status(), url));
    }
    const std::int64_t total_length = parse_length(transfer.content_length(), url);
    std::FILE* f = std::fopen(archive_path.c_str(), "wb");
    if (!f) throw std::runtime_error(fmt::format("cannot write '{}': {}", archive_path, std::strerror(errno)));
    try {
      tessal::cmds::bundle::download(f, total_length, url, [&](char* b, std::size_t n) { return transfer.read(b, n); });
    } catch (...) {
      std::fclose(f);
      throw;
    }
    if (std::fclose(f) != 0) throw std::runtime_error(fmt::format("cannot write '{}': {}", archive_path, std::strerror(errno)));
    print_line("bundle 数据下载完毕，解压中...");
  } else {
    if (!fs::exists(*file_path)) {
      print_line(*file_path + "文件不存在");
      return;
    }
    if (fs::path(*file_path).filename() != layout::SAMPLE_ARCHIVE) {
      print_line(*file_path + "文件名不为 vxbundle_sample.tar.bz2");
      print_line("请使用下列连接下载：");
      print_line(url);
      return;
    }
    print_line("解压中...");
    archive_path = *file_path;
  }
  unpack(archive_path, bundle);
  if (downloading) fs::remove(archive_path);
  print_line("bundle 数据解压完成");
}

bool pack_sample_bundle(const std::string& output_folder, int concurrency) {
  const fs::path work = fs::temp_directory_path() / fmt::format("tessal-sample-{}", ::getpid());
  fs::remove_all(work);
  struct Cleanup {
    fs::path p;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(p, ec);
    }
  } cleanup{work};
  const bool ok = update_bundle_from_quillonc(concurrency, work.string(), true, {"600000.XSHG", "000001.XSHE", "IF"},
                                              {"600000.XSHG"}, false);
  fs::create_directories(output_folder);
  const std::string out_path = join(output_folder, layout::SAMPLE_ARCHIVE);
  archive* a = archive_write_new();
  archive_write_add_filter_bzip2(a);
  archive_write_set_format_pax_restricted(a);
  if (archive_write_open_filename(a, out_path.c_str()) != ARCHIVE_OK) {
    const std::string err = archive_error_string(a);
    archive_write_free(a);
    throw std::runtime_error(fmt::format("cannot write '{}': {}", out_path, err));
  }
  const fs::path root = work / layout::BUNDLE;
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::vector<char> buf(1 << 16);
  for (const auto& p : files) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, fs::relative(p, root).string().c_str());
    archive_entry_set_size(entry, static_cast<la_int64_t>(fs::file_size(p)));
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_write_header(a, entry);
    std::FILE* f = std::fopen(p.c_str(), "rb");
    std::size_t n;
    while (f && (n = std::fread(buf.data(), 1, buf.size(), f)) > 0) archive_write_data(a, buf.data(), n);
    if (f) std::fclose(f);
    archive_entry_free(entry);
  }
  archive_write_close(a);
  archive_write_free(a);
  print_line(fmt::format("sample bundle written to {}", out_path));
  return ok;
}

}  // namespace tessal_plus::bundle
