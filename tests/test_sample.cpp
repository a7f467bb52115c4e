// The sample download against a real HTTP server on 127.0.0.1, the local
// archive branch, and archives that try to write outside the bundle.
#include <archive.h>
#include <archive_entry.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include "support.hpp"
#include "tessal_plus/bundle/commands.hpp"

using namespace testing_support;
using namespace tessal_plus::bundle;

namespace {

// A one-shot HTTP server in a child process: answers every request with
// `response` and appends each request line to `log`. It dies with the guard
// and after 30 seconds in any case.
class HttpServer {
 public:
  HttpServer(const std::string& response, const std::string& log) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 8) != 0) throw std::runtime_error("bind");
    socklen_t len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    std::fflush(stdout);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::alarm(30);
      while (true) {
        const int c = ::accept(s, nullptr, nullptr);
        if (c < 0) ::_exit(0);
        std::string req;
        char buf[4096];
        while (req.find("\r\n\r\n") == std::string::npos) {
          const ssize_t n = ::read(c, buf, sizeof buf);
          if (n <= 0) break;
          req.append(buf, static_cast<std::size_t>(n));
        }
        std::ofstream(log, std::ios::app) << req.substr(0, req.find("\r\n")) << "\n";
        std::size_t off = 0;
        while (off < response.size()) {
          const ssize_t n = ::write(c, response.data() + off, response.size() - off);
          if (n <= 0) break;
          off += static_cast<std::size_t>(n);
        }
        ::close(c);
      }
    }
    ::close(s);
  }
  ~HttpServer() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

struct Member {
  std::string name;
  std::string content;
  std::string symlink, hardlink;
};

std::string make_archive(const std::string& path, const std::vector<Member>& members) {
  archive* a = archive_write_new();
  archive_write_add_filter_bzip2(a);
  archive_write_set_format_pax_restricted(a);
  archive_write_open_filename(a, path.c_str());
  for (const auto& m : members) {
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, m.name.c_str());
    archive_entry_set_perm(e, 0644);
    if (!m.symlink.empty()) {
      archive_entry_set_filetype(e, AE_IFLNK);
      archive_entry_set_symlink(e, m.symlink.c_str());
    } else if (!m.hardlink.empty()) {
      archive_entry_set_filetype(e, AE_IFREG);
      archive_entry_set_hardlink(e, m.hardlink.c_str());
    } else {
      archive_entry_set_filetype(e, AE_IFREG);
      archive_entry_set_size(e, static_cast<la_int64_t>(m.content.size()));
    }
    archive_write_header(a, e);
    if (m.symlink.empty() && m.hardlink.empty()) archive_write_data(a, m.content.data(), m.content.size());
    archive_entry_free(e);
  }
  archive_write_close(a);
  archive_write_free(a);
  return read_file(path);
}

std::string ok_response(const std::string& body, bool with_length = true) {
  return "HTTP/1.0 200 OK\r\n" + (with_length ? "Content-Length: " + std::to_string(body.size()) + "\r\n" : std::string()) +
         "Connection: close\r\n\r\n" + body;
}

class SampleDownload : public ::testing::Test {
 protected:
  TempDir dir;
  std::string tmp = dir / "tmp";
  std::string log = dir / "requests.log";
  std::string temp_archive = tmp + "/tessal_plus.bundle";
  std::string good;

  void SetUp() override {
    fs::create_directories(tmp);
    ::setenv("TMPDIR", tmp.c_str(), 1);
    ::unsetenv("TESSAL_PROXY");
    good = make_archive(dir / "vxbundle_sample.tar.bz2", {{"trading_dates.npy", "calendar"}, {"h5/equities/A.h5", "bars"}});
  }
  void TearDown() override {
    ::unsetenv("TMPDIR");
    ::unsetenv("TESSAL_ASSET_HOST");
    ::unsetenv("TESSAL_PROXY");
  }
  std::string download(const std::optional<std::string>& file = std::nullopt) {
    CaptureStdout out;
    download_simple_bundle(dir / "data", false, file);
    return out.text();
  }
  std::string error_of(const std::optional<std::string>& file = std::nullopt) {
    try {
      download(file);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(SampleDownload, GoodArchiveIsDownloadedUnpackedAndTheTemporaryFileRemoved) {
  HttpServer server(ok_response(good), log);
  ::setenv("TESSAL_ASSET_HOST", fmt::format("127.0.0.1:{}", server.port()).c_str(), 1);
  fs::create_directories(dir / "data/bundle/h5/equities");
  write_file(dir / "data/bundle/h5/equities/A.h5", "old");
  write_file(dir / "data/bundle/keep.txt", "mine");
  EXPECT_EQ(download(), "bundle 数据下载完毕，解压中...\nbundle 数据解压完成\n");
  EXPECT_EQ(read_file(dir / "data/bundle/trading_dates.npy"), "calendar");
  EXPECT_EQ(read_file(dir / "data/bundle/h5/equities/A.h5"), "bars");
  EXPECT_EQ(read_file(dir / "data/bundle/keep.txt"), "mine");
  EXPECT_FALSE(fs::exists(temp_archive));
  EXPECT_EQ(read_file(log), "GET /bundles_v4/vxbundle_sample.tar.bz2 HTTP/1.1\n");
}

TEST_F(SampleDownload, ProxyFromTheEnvironmentCarriesTheRequest) {
  HttpServer proxy(ok_response(good), log);
  ::setenv("TESSAL_ASSET_HOST", "assets.example.invalid", 1);
  ::setenv("TESSAL_PROXY", fmt::format("http://127.0.0.1:{}", proxy.port()).c_str(), 1);
  download();
  EXPECT_EQ(read_file(log), "GET http://assets.example.invalid/bundles_v4/vxbundle_sample.tar.bz2 HTTP/1.1\n");
  EXPECT_TRUE(fs::exists(dir / "data/bundle/trading_dates.npy"));
}

TEST_F(SampleDownload, MissingLengthAndErrorStatusesStopBeforeUnpacking) {
  {
    HttpServer server(ok_response(good, false), log);
    ::setenv("TESSAL_ASSET_HOST", fmt::format("127.0.0.1:{}", server.port()).c_str(), 1);
    EXPECT_NE(error_of().find("content-length"), std::string::npos);
    EXPECT_FALSE(fs::exists(temp_archive));
  }
  {
    write_file(temp_archive, "stale");
    HttpServer server("HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot found", log);
    const std::string host = fmt::format("127.0.0.1:{}", server.port());
    ::setenv("TESSAL_ASSET_HOST", host.c_str(), 1);
    const std::string err = error_of();
    EXPECT_NE(err.find("404"), std::string::npos) << err;
    EXPECT_NE(err.find("http://" + host + "/bundles_v4/vxbundle_sample.tar.bz2"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(temp_archive));
  }
  EXPECT_FALSE(fs::exists(dir / "data/bundle/trading_dates.npy"));
  EXPECT_TRUE(fs::is_directory(dir / "data/bundle"));  // made before anything else
}

// The temporary archive goes on every failure, also when what came is no
// archive at all.
TEST_F(SampleDownload, CorruptDownloadFailsAndRemovesTheTemporaryArchive) {
  HttpServer server(ok_response("this is no bzip2 tar archive"), log);
  ::setenv("TESSAL_ASSET_HOST", fmt::format("127.0.0.1:{}", server.port()).c_str(), 1);
  EXPECT_NE(error_of().find(temp_archive), std::string::npos);
  EXPECT_FALSE(fs::exists(temp_archive));
  EXPECT_TRUE(fs::is_empty(dir / "data/bundle"));
}

TEST_F(SampleDownload, LocalArchiveBranch) {
  EXPECT_EQ(download(dir / "nowhere/vxbundle_sample.tar.bz2"), dir / "nowhere/vxbundle_sample.tar.bz2" + "文件不存在\n");
  write_file(dir / "other.tar.bz2", good);
  EXPECT_EQ(download(dir / "other.tar.bz2"), dir / "other.tar.bz2" +
                                                 "文件名不为 vxbundle_sample.tar.bz2\n请使用下列连接下载：\n"
                                                 "http://assets.tessal.invalid/bundles_v4/vxbundle_sample.tar.bz2\n");
  EXPECT_FALSE(fs::exists(dir / "data/bundle/trading_dates.npy"));
  EXPECT_EQ(download(dir / "vxbundle_sample.tar.bz2"), "解压中...\nbundle 数据解压完成\n");
  EXPECT_EQ(read_file(dir / "data/bundle/h5/equities/A.h5"), "bars");
  EXPECT_TRUE(fs::exists(dir / "vxbundle_sample.tar.bz2"));  // a local archive is never deleted
}

TEST_F(SampleDownload, MembersLeadingOutsideTheBundleAreRefused) {
  const std::string outside = dir / "outside";
  fs::create_directories(outside);
  const std::string abs_target = outside + "/abs.txt";
  struct Case {
    std::vector<Member> members;
    std::string refused;
  } cases[] = {
      {{{"ok.txt", "fine"}, {"../outside/dotdot.txt", "evil"}}, "../outside/dotdot.txt"},
      {{{abs_target, "evil"}}, abs_target},
      {{{"link", "", outside}, {"link/through.txt", "evil"}}, "link"},
      {{{"hard", "", "", "../outside/victim"}}, "hard"},
  };
  write_file(outside + "/victim", "precious");
  for (const auto& c : cases) {
    const std::string archive = dir / "vxbundle_sample.tar.bz2";
    make_archive(archive, c.members);
    const std::string err = error_of(archive);
    EXPECT_NE(err.find("'" + c.refused + "'"), std::string::npos) << err;
    EXPECT_NE(err.find("refused"), std::string::npos) << err;
  }
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(outside)) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"victim"});
  EXPECT_EQ(read_file(outside + "/victim"), "precious");
}

}  // namespace
