#include "report.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <filesystem>
#include <set>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tessal_plus/bundle/checks.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/stores.hpp"

namespace tb = tessal_plus::bundle;

namespace cli {
namespace {

// Keys keep the order in which they are set: the order the documents have
// always had, which readers of the logs may rely on.
using Json = nlohmann::ordered_json;

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

template <class T>
Json or_null(const std::optional<T>& v) {
  return v ? Json(*v) : Json(nullptr);
}

// An empty text means "nothing to say" in the records: null.
Json text_or_null(std::string_view s) { return s.empty() ? Json(nullptr) : Json(std::string(s)); }

void add_status(Json& doc, const tb::BundleStatus& b, bool by_instrument) {
  Json calendar = Json::object();
  calendar["path"] = b.calendar_path;
  calendar["last_day"] = or_null(b.calendar_last);
  calendar["error"] = text_or_null(b.calendar_error);
  doc["calendar"] = std::move(calendar);
  doc["horizon"] = or_null(b.horizon);
  doc["unreadable_files"] = b.unreadable_files();
  Json stores = Json::array();
  for (const auto& s : b.stores) {
    Json j = Json::object();
    j["store"] = tb::store_kind(s.store).name;
    j["name"] = s.name;
    j["folder"] = s.folder;
    j["files"] = s.files.size();
    j["instruments"] = s.instruments;
    j["rows"] = s.rows;
    j["bytes"] = s.bytes;
    j["first_day"] = or_null(s.first_day);
    j["last_day"] = or_null(s.last_day);
    const auto stale = s.stale();
    j["stale"] = b.horizon ? Json(stale.size()) : Json(nullptr);
    Json stale_ids = Json::array();
    for (const auto* f : stale) stale_ids.push_back(f->id);
    j["stale_ids"] = std::move(stale_ids);
    // De-listed or expired instruments whose files reach their last day.
    const auto ended = s.ended();
    j["ended"] = b.horizon ? Json(ended.size()) : Json(nullptr);
    Json ended_ids = Json::array();
    for (const auto* f : ended) ended_ids.push_back(f->id);
    j["ended_ids"] = std::move(ended_ids);
    Json unreadable = Json::array();
    for (const auto* f : s.unreadable()) {
      Json u = Json::object();
      u["id"] = f->id;
      u["path"] = f->path;
      u["kind"] = std::string(util::kind_name(*f->error));
      u["message"] = f->message;
      unreadable.push_back(std::move(u));
    }
    j["unreadable"] = std::move(unreadable);
    if (by_instrument) {
      Json files = Json::array();
      for (const auto& f : s.files) {
        Json i = Json::object();
        i["id"] = f.id;
        i["first_day"] = or_null(f.first_day);
        i["last_day"] = or_null(f.last_day);
        i["rows"] = f.rows;
        i["bytes"] = f.bytes;
        i["stale"] = f.stale;
        i["ended"] = f.ended;
        i["error"] = f.error ? Json(std::string(util::kind_name(*f.error))) : Json(nullptr);
        files.push_back(std::move(i));
      }
      j["by_instrument"] = std::move(files);
    }
    stores.push_back(std::move(j));
  }
  doc["stores"] = std::move(stores);
}

void add_update(Json& doc, const tb::UpdateRecord& u) {
  doc["base_succeeded"] = or_null(u.base);
  std::size_t submitted = 0;
  Json drivers = Json::array();
  for (const auto& d : u.drivers) {
    submitted += d.ids.size();
    Json j = Json::object();
    j["store"] = d.store;
    j["submitted"] = d.ids.size();
    j["succeeded"] = d.succeeded;
    j["ids"] = d.ids;
    Json outcomes = Json::array();
    for (const auto& o : d.outcomes) {
      Json k = Json::object();
      k["id"] = o.order_book_id;
      k["outcome"] = std::string(tessal_plus::bundle::status_name(o.status));
      k["kind"] = text_or_null(o.kind);
      outcomes.push_back(std::move(k));
    }
    j["outcomes"] = std::move(outcomes);
    drivers.push_back(std::move(j));
  }
  doc["drivers"] = std::move(drivers);
  doc["submitted"] = submitted;
  // From what the pools reported of each task, never from the log's text.
  std::set<std::string> ids;
  Json failed = Json::array();
  for (const auto& d : u.drivers)
    for (const auto& o : d.outcomes)
      if (o.status == tessal_plus::bundle::TaskStatus::failed || o.status == tessal_plus::bundle::TaskStatus::died) {
        ids.insert(o.order_book_id);
        Json f = Json::object();
        f["id"] = o.order_book_id;
        f["outcome"] = std::string(tessal_plus::bundle::status_name(o.status));
        f["message"] = o.message;
        failed.push_back(std::move(f));
      }
  doc["failed"] = std::move(failed);
  doc["failed_instruments"] = ids.size();
}

void add_check(Json& doc, const tb::CheckRecord& c) {
  const std::set<std::string> broken(c.broken.begin(), c.broken.end()), held(c.held.begin(), c.held.end()),
      unchecked(c.unchecked.begin(), c.unchecked.end());
  doc["files"] = c.files.size();
  doc["good"] = c.files.size() - broken.size() - held.size() - unchecked.size();
  doc["broken"] = broken.size();
  doc["held"] = held.size();
  doc["answer"] = or_null(c.answer);
  doc["deleted"] = c.deleted;
  const auto findings_json = [](const std::vector<tb::Finding>& found) {
    Json list = Json::array();
    for (const auto& f : found) {
      Json item{{"rule", tb::rule_name(f.rule)}, {"first", f.first}, {"count", f.count}};
      if (!f.field.empty()) item["field"] = f.field;
      list.push_back(std::move(item));
    }
    return list;
  };
  std::map<std::string, const tb::HealOutcome*> healed;
  for (const auto& h : c.heals) healed[h.path] = &h;
  Json outcomes = Json::array();
  for (const auto& path : c.files) {
    Json j = Json::object();
    j["id"] = tb::id_of_file(path);
    j["path"] = path;
    if (broken.count(path)) {
      j["outcome"] = "broken";
      // Broken by a reader that crashed on it, rather than by a rule.
      if (const auto r = c.broken_reason.find(path); r != c.broken_reason.end()) j["reason"] = r->second;
    } else if (unchecked.count(path)) {
      j["outcome"] = "not_checked";
    } else if (held.count(path)) {
      j["outcome"] = "locked";
      const auto k = c.held_kind.find(path);
      j["kind"] = k == c.held_kind.end() ? std::string("locked") : std::string(util::kind_name(k->second));
    } else j["outcome"] = "good";
    if (const auto v = c.not_verified.find(path); v != c.not_verified.end()) j["not_verified"] = v->second;
    if (const auto v = c.verified_days.find(path); v != c.verified_days.end()) j["verified_days"] = v->second;
    // What the content rules found (--quality) and what healing did (--heal).
    const auto f = c.findings.find(path);
    j["findings"] = findings_json(f == c.findings.end() ? std::vector<tb::Finding>{} : f->second);
    j["heal"] = nullptr;
    if (const auto h = healed.find(path); h != healed.end())
      j["heal"] = Json{{"outcome", h->second->outcome},
                       {"message", text_or_null(h->second->message)},
                       {"findings", findings_json(h->second->findings)}};
    outcomes.push_back(std::move(j));
  }
  doc["outcomes"] = std::move(outcomes);
  doc["with_findings"] = c.findings.size();
  doc["not_checked"] = unchecked.size();
  // --verify: the days compared per file, drawn by this seed (the newest and
  // the same others again with --verify-seed).
  doc["verify"] = c.verify > 0 ? Json{{"days_per_file", c.verify}, {"seed", c.verify_seed}, {"not_verified", c.not_verified.size()}}
                                : Json(nullptr);
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

tb::Console Report::console() const { return collecting_ ? tb::Console(stderr) : tb::Console(); }

void Report::start_collecting(tessal::NativeHost& host) {
  collecting_ = true;
  // An unlinked temporary file: nothing is left behind, whatever ends the
  // run. Appending, so that workers' lines never overwrite each other.
  const char* tmp = std::getenv("TMPDIR");
  std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessal-bundle-log-XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return;  // the report then lists no log lines
  ::unlink(name.c_str());
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_APPEND);
  log_fd_ = fd;
  host.set_log_sink([fd](const std::string& message) {
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
  Json doc = Json::object();
  doc["command"] = command_;
  doc["bundle_path"] = path_;
  doc["started"] = iso_time(started_);
  doc["finished"] = iso_time(finished);
  doc["duration_s"] = duration;  // a double: written with a fraction or an exponent
  doc["exit_status"] = exit_status;
  doc["ok"] = exit_status == 0;
  doc["error"] = or_null(error);
  if (status) add_status(doc, *status, by_instrument);
  if (command_ == "update" || command_ == "smart-update") add_update(doc, update.value_or(tb::UpdateRecord{}));
  if (tb::store_checked_by(command_)) add_check(doc, check.value_or(tb::CheckRecord{}));
  doc["log"] = read_log();
  // Text stays UTF-8 as it is. A file name or a message may hold bytes that
  // are not UTF-8: they become U+FFFD, so the document always parses and
  // dumping never throws.
  const std::string text = doc.dump(-1, ' ', false, Json::error_handler_t::replace) + '\n';
  std::fflush(stderr);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace cli
