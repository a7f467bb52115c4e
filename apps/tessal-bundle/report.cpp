#include "report.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>

#include <fmt/format.h>

#include "json_writer.hpp"
#include "tessal_plus/bundle/checks.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/outside/host.hpp"

namespace tb = tessal_plus::bundle;

namespace cli {
namespace {

// Local time with its UTC offset, ISO 8601: 2024-06-07T18:00:01+08:00.
std::string iso_time(std::chrono::system_clock::time_point t) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  ::localtime_r(&secs, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &tm);
  const std::string s = buf;
  // strftime writes the offset as +0800; ISO 8601 wants +08:00.
  return s.size() < 5 ? s : s.substr(0, s.size() - 2) + ":" + s.substr(s.size() - 2);
}

void write_day(JsonWriter& w, const char* key, const std::optional<std::int32_t>& d) {
  if (d) w.field(key, *d);
  else w.field_null(key);
}

void write_status(JsonWriter& w, const tb::BundleStatus& b, bool by_instrument) {
  w.key("calendar").begin_object();
  w.field("path", b.calendar_path);
  write_day(w, "last_day", b.calendar_last);
  if (b.calendar_error.empty()) w.field_null("error");
  else w.field("error", b.calendar_error);
  w.end_object();
  w.field("unreadable_files", b.unreadable_files());
  w.key("stores").begin_array();
  for (const auto& s : b.stores) {
    w.begin_object();
    w.field("store", s.minute_bars ? "minute" : "tick");
    w.field("name", s.name);
    w.field("folder", s.folder);
    w.field("files", s.files.size());
    w.field("instruments", s.instruments);
    w.field("rows", s.rows);
    w.field("bytes", s.bytes);
    write_day(w, "first_day", s.first_day);
    write_day(w, "last_day", s.last_day);
    const auto stale = s.stale();
    if (b.calendar_last) w.field("stale", stale.size());
    else w.field_null("stale");
    w.key("stale_ids").begin_array();
    for (const auto* f : stale) w.value(f->id);
    w.end_array();
    w.key("unreadable").begin_array();
    for (const auto* f : s.unreadable()) {
      w.begin_object().field("id", f->id).field("path", f->path).field("kind", util::kind_name(*f->error));
      w.field("message", f->message).end_object();
    }
    w.end_array();
    if (by_instrument) {
      w.key("by_instrument").begin_array();
      for (const auto& f : s.files) {
        w.begin_object().field("id", f.id);
        write_day(w, "first_day", f.first_day);
        write_day(w, "last_day", f.last_day);
        w.field("rows", f.rows).field("bytes", f.bytes).field("stale", f.stale);
        if (f.error) w.field("error", util::kind_name(*f.error));
        else w.field_null("error");
        w.end_object();
      }
      w.end_array();
    }
    w.end_object();
  }
  w.end_array();
}

// The instrument a writer's or the pool's failure line names: "更新 X 失败…"
// or "更新 X" + " 失败，…", where X is an id or a store file's path.
std::optional<std::string> failed_id(const std::string& message) {
  const std::string head = "更新 ";
  if (message.rfind(head, 0) != 0) return std::nullopt;
  const auto end = message.find(" 失败", head.size());
  if (end == std::string::npos) return std::nullopt;
  const std::string what = message.substr(head.size(), end - head.size());
  return what.find('/') != std::string::npos ? tb::id_of_file(what) : what;
}

void write_ids(JsonWriter& w, const char* key, const std::vector<std::string>& ids) {
  w.key(key).begin_array();
  for (const auto& id : ids) w.value(id);
  w.end_array();
}

void write_update(JsonWriter& w, const std::vector<std::string>& log) {
  const auto& u = tb::last_update();
  if (u.base) w.field("base_succeeded", *u.base);
  else w.field_null("base_succeeded");
  std::size_t submitted = 0;
  w.key("drivers").begin_array();
  for (const auto& d : u.drivers) {
    submitted += d.ids.size();
    w.begin_object().field("store", d.store).field("submitted", d.ids.size()).field("succeeded", d.succeeded);
    write_ids(w, "ids", d.ids);
    w.end_object();
  }
  w.end_array();
  w.field("submitted", submitted);
  std::set<std::string> ids;
  w.key("failed").begin_array();
  for (const auto& m : log)
    if (const auto id = failed_id(m)) {
      ids.insert(*id);
      w.begin_object().field("id", *id).field("message", m).end_object();
    }
  w.end_array();
  w.field("failed_instruments", ids.size());
}

void write_check(JsonWriter& w) {
  const auto& c = tb::last_check();
  const std::set<std::string> broken(c.broken.begin(), c.broken.end()), held(c.held.begin(), c.held.end());
  w.field("files", c.files.size());
  w.field("good", c.files.size() - broken.size() - held.size());
  w.field("broken", broken.size());
  w.field("held", held.size());
  if (c.answer) w.field("answer", *c.answer);
  else w.field_null("answer");
  w.field("deleted", c.deleted);
  w.key("outcomes").begin_array();
  for (const auto& path : c.files) {
    w.begin_object().field("id", tb::id_of_file(path)).field("path", path);
    if (broken.count(path)) w.field("outcome", "broken");
    else if (held.count(path)) {
      w.field("outcome", "locked");
      const auto k = c.held_kind.find(path);
      w.field("kind", k == c.held_kind.end() ? std::string("locked") : std::string(util::kind_name(k->second)));
    } else w.field("outcome", "good");
    w.end_object();
  }
  w.end_array();
}

}  // namespace

Report::~Report() {
  if (log_fd_ >= 0) ::close(log_fd_);
}

std::vector<std::string> Report::read_log() const {
  std::vector<std::string> out;
  if (log_fd_ < 0) return out;
  std::string text;
  char buf[65536];
  ssize_t n;
  off_t at = 0;
  while ((n = ::pread(log_fd_, buf, sizeof buf, at)) > 0) text.append(buf, static_cast<std::size_t>(n)), at += n;
  for (std::size_t p = 0; p < text.size();) {
    const auto z = text.find('\0', p);
    if (z == std::string::npos) break;
    out.push_back(text.substr(p, z - p));
    p = z + 1;
  }
  return out;
}

Report::Report(std::string command, std::string path)
    : command_(std::move(command)), path_(std::move(path)), started_(std::chrono::system_clock::now()),
      steady_started_(std::chrono::steady_clock::now()) {}

void Report::start_collecting() {
  tb::set_console_stream(stderr);
  // An unlinked temporary file: nothing is left behind, whatever ends the
  // run. Appending, so that workers' lines never overwrite each other.
  const char* tmp = std::getenv("TMPDIR");
  std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessal-bundle-log-XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return;  // the report then lists no log lines
  ::unlink(name.c_str());
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_APPEND);
  log_fd_ = fd;
  tessal::system_log::set_sink([fd](const std::string& message) {
    // Printed as the logger prints it without a sink: one write per line.
    const std::string line = fmt::format("[ERROR] {}\n", message);
    std::fflush(stdout);
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, line.data(), line.size());
    const std::string record = message + '\0';
    [[maybe_unused]] auto m = ::write(fd, record.data(), record.size());
  });
}

void Report::emit(int exit_status, bool by_instrument) {
  const auto finished = std::chrono::system_clock::now();
  const double duration = std::chrono::duration<double>(std::chrono::steady_clock::now() - steady_started_).count();
  JsonWriter w;
  w.begin_object();
  w.field("command", command_);
  w.field("bundle_path", path_);
  w.field("started", iso_time(started_));
  w.field("finished", iso_time(finished));
  w.field("duration_s", duration);
  w.field("exit_status", exit_status);
  w.field("ok", exit_status == 0);
  if (error) w.field("error", *error);
  else w.field_null("error");
  if (status) write_status(w, *status, by_instrument);
  const auto log = read_log();
  if (command_ == "update" || command_ == "smart-update") write_update(w, log);
  if (command_ == "check-minbar" || command_ == "check-tick") write_check(w);
  w.key("log").begin_array();
  for (const auto& m : log) w.value(m);
  w.end_array();
  w.end_object();
  std::fflush(stderr);
  std::fputs(w.str().c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace cli
