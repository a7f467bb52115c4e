#include "report.hpp"

#include <cstdio>
#include <ctime>

#include "json_writer.hpp"
#include "tessal_plus/bundle/console.hpp"

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

}  // namespace

Report::Report(std::string command, std::string path)
    : command_(std::move(command)), path_(std::move(path)), started_(std::chrono::system_clock::now()),
      steady_started_(std::chrono::steady_clock::now()) {}

void Report::start_collecting() { tb::set_console_stream(stderr); }

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
  w.end_object();
  std::fflush(stderr);
  std::fputs(w.str().c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace cli
