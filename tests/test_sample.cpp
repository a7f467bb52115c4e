// The sample download against a real HTTP server on 127.0.0.1, the local
// archive branch, and archives that try to write outside the bundle.
#include <archive.h>
#include <archive_entry.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <thread>

#include "support.hpp"
#include "tessal_plus/bundle/sample/sample.hpp"
#include "util/error.hpp"

using namespace testing_support;
using namespace tessal_plus::bundle;

namespace {

// A one-shot HTTP server in a child process: answers every request with
// `response` and appends each request line to `log`. It dies with the guard
// and after 30 seconds in any case.
class HttpServer {
 public:
  // Writes `response` to each client.
  HttpServer(const std::string& response, const std::string& log)
      : HttpServer(log, [response](int c) { send_all(c, response); }) {}
  // Runs `serve` on each client once its request is read.
  HttpServer(const std::string& log, const std::function<void(int)>& serve) {
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
        serve(c);
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
  static bool send_all(int c, const std::string& bytes) {
    std::size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t n = ::write(c, bytes.data() + off, bytes.size() - off);
      if (n <= 0) return false;
      off += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

struct Member {
  std::string name;
  std::string content;
  std::string symlink, hardlink;
  unsigned type = AE_IFREG;
  unsigned perm = 0644;
};

std::string make_archive(const std::string& path, const std::vector<Member>& members, bool bzip2 = true) {
  archive* a = archive_write_new();
  if (bzip2) archive_write_add_filter_bzip2(a);
  archive_write_set_format_pax_restricted(a);
  archive_write_open_filename(a, path.c_str());
  for (const auto& m : members) {
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, m.name.c_str());
    archive_entry_set_perm(e, m.perm);
    if (m.type != AE_IFREG) {
      archive_entry_set_filetype(e, m.type);
      if (m.type == AE_IFBLK || m.type == AE_IFCHR) archive_entry_set_rdev(e, makedev(8, 0));
    } else if (!m.symlink.empty()) {
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
    if (m.type == AE_IFREG && m.symlink.empty() && m.hardlink.empty()) archive_write_data(a, m.content.data(), m.content.size());
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
  std::optional<std::string> outer_tmp;  // the suite's own TMPDIR, put back afterwards

  void SetUp() override {
    fs::create_directories(tmp);
    if (const char* t = std::getenv("TMPDIR")) outer_tmp = t;
    ::setenv("TMPDIR", tmp.c_str(), 1);
    ::unsetenv("TESSAL_PROXY");
    good = make_archive(dir / "vxbundle_sample.tar.bz2", {{"trading_dates.npy", "calendar"}, {"h5/equities/A.h5", "bars"}});
  }
  void TearDown() override {
    if (outer_tmp) ::setenv("TMPDIR", outer_tmp->c_str(), 1);
    else ::unsetenv("TMPDIR");
    ::unsetenv("TESSAL_ASSET_HOST");
    ::unsetenv("TESSAL_PROXY");
    for (const char* v : {"TESSAL_CONNECT_TIMEOUT", "TESSAL_LOW_SPEED_TIME", "TESSAL_UNPACK_MAX_BYTES", "TESSAL_UNPACK_MAX_MEMBERS"})
      ::unsetenv(v);
  }
  void serve_from(const HttpServer& server) {
    ::setenv("TESSAL_ASSET_HOST", fmt::format("127.0.0.1:{}", server.port()).c_str(), 1);
  }
  std::string download(const std::optional<std::string>& file = std::nullopt) {
    CaptureStdout out;
    download_simple_bundle(test_run(), dir / "data", false, file);
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
  // The util::Error of a failed install; fails the test when there is none.
  util::Error failure(const std::optional<std::string>& file = std::nullopt) {
    try {
      download(file);
    } catch (const util::Error& e) {
      return e;
    }
    ADD_FAILURE() << "the install did not fail";
    return util::Error(util::ErrorKind::os, "", "");
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

  // Only a regular file that is the bzip2-compressed tar the sample is: a
  // FIFO would keep the install waiting for ever, and zeros (/dev/zero, a
  // blank file) read as an empty plain tar, an install of nothing.
  fs::create_directories(dir / "fifo");
  ASSERT_EQ(::mkfifo((dir / "fifo/vxbundle_sample.tar.bz2").c_str(), 0600), 0);
  EXPECT_EQ(failure(dir / "fifo/vxbundle_sample.tar.bz2").kind(), util::ErrorKind::invalid_input);
  fs::create_directories(dir / "zeros");
  write_file(dir / "zeros/vxbundle_sample.tar.bz2", std::string(10240, '\0'));
  EXPECT_NE(error_of(dir / "zeros/vxbundle_sample.tar.bz2").find("not a bzip2-compressed tar archive"), std::string::npos);
  fs::create_directories(dir / "plain");
  make_archive(dir / "plain/vxbundle_sample.tar.bz2", {{"instruments.pk", "plain"}}, false);
  EXPECT_NE(error_of(dir / "plain/vxbundle_sample.tar.bz2").find("not a bzip2-compressed tar archive"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "data/bundle/instruments.pk"));
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

// ---- a hostile or broken asset server ------------------------------------

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(SampleDownload, DrippingAndSilentServersEndInATimeout) {
  ::setenv("TESSAL_CONNECT_TIMEOUT", "2", 1);
  ::setenv("TESSAL_LOW_SPEED_TIME", "2", 1);
  const std::function<void(int)> drip = [](int c) {
    HttpServer::send_all(c, "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n");
    for (int i = 0; i < 15 && HttpServer::send_all(c, "x"); ++i) ::sleep(2);
  };
  const std::function<void(int)> silent = [](int) { ::sleep(30); };
  for (const auto& serve : {drip, silent}) {
    HttpServer server(log, serve);
    serve_from(server);
    const util::Error e = failure();
    EXPECT_EQ(e.kind(), util::ErrorKind::network);
    EXPECT_TRUE(contains(e.what(), "timed out")) << e.what();
    EXPECT_FALSE(fs::exists(temp_archive));
  }
  EXPECT_TRUE(fs::is_empty(dir / "data/bundle"));
}

TEST_F(SampleDownload, LimitsFromTheEnvironmentMustBeWholeNumbers) {
  HttpServer server(ok_response(good), log);
  serve_from(server);
  for (const char* var : {"TESSAL_CONNECT_TIMEOUT", "TESSAL_LOW_SPEED_TIME", "TESSAL_UNPACK_MAX_BYTES"}) {
    for (const char* bad : {"abc", "1.5", "-3", "0x10", "99999999999999999999999"}) {
      ::setenv(var, bad, 1);
      const util::Error e = failure();
      EXPECT_EQ(e.kind(), util::ErrorKind::invalid_input) << var << "=" << bad;
      EXPECT_TRUE(contains(e.what(), var)) << e.what();
    }
    ::unsetenv(var);
  }
  EXPECT_FALSE(fs::exists(log));  // refused before any request was made
  ::setenv("TESSAL_CONNECT_TIMEOUT", "5", 1);
  download();
  EXPECT_EQ(read_file(dir / "data/bundle/trading_dates.npy"), "calendar");
}

TEST_F(SampleDownload, BodyPastTheAnnouncedLengthIsNeverRead) {
  // The announced bytes are a good archive; the server then writes on
  // without end. The transfer stops at the announced length.
  HttpServer server(log, [&](int c) {
    HttpServer::send_all(c, ok_response(good));
    const std::string junk(4096, 'j');
    while (HttpServer::send_all(c, junk)) {
    }
  });
  serve_from(server);
  download();
  EXPECT_EQ(read_file(dir / "data/bundle/h5/equities/A.h5"), "bars");
  EXPECT_FALSE(fs::exists(temp_archive));
}

TEST_F(SampleDownload, AnnouncedLengthMustFitTheTemporaryFolder) {
  HttpServer server("HTTP/1.0 200 OK\r\nContent-Length: 1152921504606846976\r\nConnection: close\r\n\r\nabc", log);
  serve_from(server);
  const util::Error e = failure();
  EXPECT_EQ(e.os_errno(), ENOSPC);
  EXPECT_TRUE(contains(e.what(), "1152921504606846976 bytes")) << e.what();
  EXPECT_FALSE(fs::exists(temp_archive));
}

TEST_F(SampleDownload, OversizedHeadersGetAClearMessage) {
  const std::string one_line = "HTTP/1.0 200 OK\r\nX-Pad: " + std::string(300 * 1024, 'p') + "\r\n\r\n";
  std::string many = "HTTP/1.0 200 OK\r\n";
  for (int i = 0; i < 200; ++i) many += fmt::format("X-Pad-{}: {}\r\n", i, std::string(500, 'p'));
  many += "Content-Length: 3\r\n\r\nabc";
  for (const auto& response : {one_line, many}) {
    HttpServer server(response, log);
    serve_from(server);
    const util::Error e = failure();
    EXPECT_TRUE(contains(e.what(), "response headers are larger than 64 KiB")) << e.what();
    EXPECT_FALSE(fs::exists(temp_archive));
  }
}

TEST_F(SampleDownload, InterruptRemovesTheTemporaryArchiveAndEndsWithTheSignal) {
  HttpServer server(log, [](int c) {
    HttpServer::send_all(c, "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\nfirst bytes");
    char buf[64];
    while (::read(c, buf, sizeof buf) > 0) {  // until the client is gone
    }
  });
  serve_from(server);
  for (int sig : {SIGTERM, SIGINT}) {
    const std::size_t requests = fs::exists(log) ? read_file(log).size() : 0;
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
      ::alarm(20);
      try {
        download_simple_bundle(test_run(), dir / "data", false, std::nullopt);
      } catch (...) {
      }
      ::_exit(0);
    }
    // Waits until the server has the request: the transfer is on.
    const auto request_arrived = [&] { return fs::exists(log) && read_file(log).size() > requests; };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!request_arrived() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(request_arrived()) << "no request in 30 s";
    ASSERT_TRUE(fs::exists(temp_archive));
    ::kill(child, sig);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_FALSE(fs::exists(temp_archive));
  }
}

// ---- hostile archives ------------------------------------------------------

// Every entry below `root` with its kind, mode and content.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    struct stat st {};
    ::lstat(e.path().c_str(), &st);
    out[fs::relative(e.path(), root).string()] =
        fmt::format("{:o} {}", st.st_mode, S_ISREG(st.st_mode) ? read_file(e.path().string()) : std::string());
  }
  return out;
}

TEST_F(SampleDownload, RefusedMemberAfterGoodOnesLeavesTheBundleAsItWas) {
  const std::string bundle = dir / "data/bundle";
  fs::create_directories(bundle + "/h5/equities");
  write_file(bundle + "/h5/equities/A.h5", "old");
  write_file(bundle + "/keep.txt", "mine");
  const auto before = snapshot(bundle);
  const std::string long_name(300, 'n');
  std::string long_path;
  for (int i = 0; i < 30; ++i) long_path += std::string(40, 'd') + "/";
  const std::string control = "rollback journal or an unfinished store file";
  struct Case {
    Member hostile;
    std::string message;
    std::string more;
  } cases[] = {
      {{"dev/sda", "", "", "", AE_IFBLK}, "block device"},
      {{"dev/tty", "", "", "", AE_IFCHR}, "character device"},
      {{"pipe", "", "", "", AE_IFIFO}, "named pipe"},
      {{"inside-link", "", "h5/equities/A.h5"}, "it is a symbolic link; the bundle holds only files and folders"},
      {{"h5/../../escape", "evil"}, "outside the bundle folder"},
      {{long_name, "x"}, "longer than 255 bytes"},
      {{long_path + "f", "x"}, "longer than 1024 bytes"},
      {{"orphan", "", "", "nothing-before"}, "no file before it"},
      {{"h5", "a file where the archive has a folder"}, "clashes with an earlier member"},
      {{"keep.txt/inner", "a folder where the bundle has a file"}, "'keep.txt'", "is no folder in the bundle folder"},
      {{"h5/equities/.A.h5.journal", "old bytes"}, control},
      {{"ticks/.A.h5.rebuild", "half a file"}, control},
      {{"h5/equities/.A.h5.rebuild-42-x7Qa", "half a file"}, control},
      {{"h5/.A.h5.journal/inner", "a folder where a journal goes"}, control},
  };
  for (const auto& c : cases) {
    const std::string archive = dir / "vxbundle_sample.tar.bz2";
    make_archive(archive, {{"trading_dates.npy", "new calendar"}, {"h5/equities/A.h5", "new bars"}, c.hostile});
    const util::Error e = failure(archive);
    EXPECT_EQ(e.kind(), util::ErrorKind::archive) << e.what();
    if (c.more.empty()) {
      EXPECT_TRUE(contains(e.what(), "'" + c.hostile.name + "'")) << e.what();
    }
    EXPECT_TRUE(contains(e.what(), c.message)) << e.what();
    EXPECT_TRUE(contains(e.what(), c.more)) << e.what();
    EXPECT_EQ(snapshot(bundle), before) << c.message;  // no staging folder left, nothing replaced
  }
}

TEST_F(SampleDownload, MemberAndByteCapsStopTheUnpacking) {
  const std::string bundle = dir / "data/bundle";
  const std::string archive = dir / "vxbundle_sample.tar.bz2";
  make_archive(archive, {{"a", "12345"}, {"b", "12345"}, {"c/d", "1"}});
  ::setenv("TESSAL_UNPACK_MAX_BYTES", "10", 1);
  util::Error e = failure(archive);
  EXPECT_TRUE(contains(e.what(), "more than 10 bytes")) << e.what();
  EXPECT_TRUE(contains(e.what(), "'c/d'")) << e.what();
  ::setenv("TESSAL_UNPACK_MAX_BYTES", "11", 1);
  ::setenv("TESSAL_UNPACK_MAX_MEMBERS", "2", 1);
  e = failure(archive);
  EXPECT_TRUE(contains(e.what(), "more than 2 members")) << e.what();
  EXPECT_TRUE(fs::is_empty(bundle));
  ::setenv("TESSAL_UNPACK_MAX_MEMBERS", "3", 1);  // exactly at both limits: accepted
  download(archive);
  EXPECT_EQ(read_file(bundle + "/c/d"), "1");
}

TEST_F(SampleDownload, ModesAreMaskedAndHardLinksBecomeCopies) {
  const std::string bundle = dir / "data/bundle";
  const std::string archive = dir / "vxbundle_sample.tar.bz2";
  make_archive(archive, {{"tools", "", "", "", AE_IFDIR, 03777},
                         {"tools/run", "#!", "", "", AE_IFREG, 06777},
                         {"tools/locked", "r", "", "", AE_IFREG, 0},
                         {"tools/again", "", "", "tools/run"}});
  download(archive);
  auto mode = [&](const std::string& rel) {
    struct stat st {};
    ::lstat((bundle + "/" + rel).c_str(), &st);
    return st.st_mode & 07777;
  };
  EXPECT_EQ(mode("tools"), 0755u);
  EXPECT_EQ(mode("tools/run"), 0755u);
  EXPECT_EQ(mode("tools/locked"), 0600u);
  EXPECT_EQ(read_file(bundle + "/tools/again"), "#!");
  struct stat a {}, b {};
  ::stat((bundle + "/tools/run").c_str(), &a);
  ::stat((bundle + "/tools/again").c_str(), &b);
  EXPECT_NE(a.st_ino, b.st_ino);
  EXPECT_EQ(b.st_nlink, 1u);
}

}  // namespace
