// Checks on the module's process pool: one task per file, each returning
// its outcome (verdict, findings) as bytes; a reader killed from outside
// never decides a verdict.
#include <signal.h>
#include <sys/wait.h>

#include <cstring>

#include <fmt/format.h>

#include "tessal_plus/bundle/checks/internal.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/errors.hpp"
#include "util/process_pool.hpp"
#include "util/progress.hpp"

namespace tessal_plus::bundle::checking {
namespace {

template <class T>
void put(std::string& out, const T& v) {
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

// Reads the bytes of a report from the front; false when they run out.
class Reader {
 public:
  explicit Reader(const std::string& s) : s_(s) {}
  // GCC 12 inlines this into the pool's callback and then cannot see that
  // a report's bytes were written (-Wmaybe-uninitialized, a false alarm:
  // the size test above guards every byte read).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
  template <class T>
  bool get(T& v) {
    if (s_.size() - at_ < sizeof v) return false;
    std::memcpy(&v, s_.data() + at_, sizeof v);
    at_ += sizeof v;
    return true;
  }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  bool get_text(std::string& v, std::size_t n) {
    if (s_.size() - at_ < n) return false;
    v.assign(s_, at_, n);
    at_ += n;
    return true;
  }
  bool done() const { return at_ == s_.size(); }

 private:
  const std::string& s_;
  std::size_t at_ = 0;
};

std::string encode(const FileOutcome& o) {
  std::string out;
  put(out, static_cast<std::uint8_t>(o.verdict));
  put(out, static_cast<std::uint8_t>(o.calendar_ended));
  put(out, static_cast<std::uint8_t>(o.error_kind));
  put(out, static_cast<std::uint32_t>(o.message.size()));
  out += o.message;
  put(out, static_cast<std::uint32_t>(o.findings.size()));
  for (const auto& f : o.findings) {
    put(out, static_cast<std::uint8_t>(f.rule));
    put(out, f.first);
    put(out, f.count);
    put(out, static_cast<std::uint32_t>(f.field.size()));
    out += f.field;
  }
  put(out, static_cast<std::uint32_t>(o.verified_days.size()));
  for (const auto d : o.verified_days) put(out, d);
  return out;
}

// A report that does not decode, or names a rule this build does not know,
// is refused whole: a finding is never dropped on the way.
bool decode(const std::string& report, FileOutcome& o) {
  Reader r(report);
  std::uint8_t verdict = 0, ended = 0, kind = 0;
  std::uint32_t message_len = 0, n = 0;
  if (!r.get(verdict) || !r.get(ended) || !r.get(kind) || !r.get(message_len) || !r.get_text(o.message, message_len) ||
      !r.get(n) || verdict > static_cast<std::uint8_t>(Verdict::failed) ||
      kind > static_cast<std::uint8_t>(util::ErrorKind::unavailable))
    return false;
  o.verdict = static_cast<Verdict>(verdict);
  o.calendar_ended = ended != 0;
  o.error_kind = static_cast<util::ErrorKind>(kind);
  o.findings.clear();
  for (std::uint32_t k = 0; k < n; ++k) {
    std::uint8_t rule = 0;
    std::uint32_t field_len = 0;
    Finding f{};
    if (!r.get(rule) || !r.get(f.first) || !r.get(f.count) || !r.get(field_len) || !r.get_text(f.field, field_len) ||
        rule >= RULE_NAMES.size())
      return false;
    f.rule = static_cast<Rule>(rule);
    o.findings.push_back(f);
  }
  std::uint32_t days = 0;
  if (!r.get(days) || days > report.size() / sizeof(std::int32_t)) return false;  // never an allocation a bad count asks for
  o.verified_days.assign(days, 0);
  for (auto& d : o.verified_days)
    if (!r.get(d)) return false;
  return r.done();
}

// In a worker: one file's outcome; an error that is not the file's is
// carried back to end the check in the parent.
std::string judge_in_worker(const std::string& path, const FileCheck& check) {
  FileOutcome o;
  try {
    o = judge(path, check);
  } catch (const std::exception& e) {
    o = FileOutcome{};
    o.verdict = Verdict::failed;
    o.error_kind = kind_of(e).value_or(util::ErrorKind::service);
    o.message = e.what();
  }
  return encode(o);
}

}  // namespace

FileOutcome judge(const std::string& path, const FileCheck& check) {
  FileOutcome out;
  try {
    out.verdict = check(path, out) ? Verdict::broken : Verdict::good;
  } catch (const std::exception& e) {
    const auto kind = kind_of(e);
    if (!kind) throw;
    switch (*kind) {
      case util::ErrorKind::locked: out.verdict = Verdict::locked; break;
      case util::ErrorKind::permission: out.verdict = Verdict::denied; break;
      case util::ErrorKind::not_found:
      case util::ErrorKind::os:
      case util::ErrorKind::damaged: out.verdict = Verdict::broken; break;
      default: throw;
    }
  }
  if (out.verdict != Verdict::good) out.findings.clear();
  return out;
}

bool crashed(int wait_status) noexcept {
  if (wait_status == -1 || !WIFSIGNALED(wait_status)) return false;
  switch (WTERMSIG(wait_status)) {
    case SIGSEGV:
    case SIGBUS:
    case SIGFPE:
    case SIGABRT:
    case SIGILL: return true;
    default: return false;
  }
}

std::vector<FileOutcome> judge_files(const Run& run, const std::vector<std::string>& files, const FileCheck& check,
                                     int concurrency) {
  util::ProgressBar bar(static_cast<std::int64_t>(files.size()));
  std::vector<FileOutcome> out(files.size());
  if (concurrency <= 1 || files.size() <= 1) {
    for (std::size_t i = 0; i < files.size(); ++i) {
      // A host that handles its own signals (Python) sees Ctrl-C here.
      if (run.interrupt_check) run.interrupt_check();
      out[i] = judge(files[i], check);
      bar.advance();
    }
    return out;
  }
  std::vector<int> deaths(files.size()), crashes(files.size());
  const FileOutcome* failure = nullptr;
  util::ProcessJob job;
  job.tasks = files.size();
  job.workers = concurrency;
  job.fork = run.fork;
  job.worker_started = [&run] { run.worker_started(); };
  job.run = [&](std::size_t i) { return judge_in_worker(files[i], check); };
  job.finished = [&](std::size_t i, std::string report) {
    if (!decode(report, out[i])) {
      out[i] = FileOutcome{};
      out[i].message = "its checking process sent a report that could not be read";
    }
    bar.advance();
    if (out[i].verdict != Verdict::failed) return true;
    failure = &out[i];
    return false;
  };
  job.died = [&](std::size_t i, int status) {
    ++deaths[i];
    crashes[i] += crashed(status);
    if (deaths[i] < 2) return true;  // judged again, in a fresh process
    out[i] = FileOutcome{};
    if (crashes[i] == 2) {
      out[i].verdict = Verdict::broken;
      out[i].message = fmt::format("its reader crashed on it twice ({})", util::describe_wait_status(status));
    } else {
      out[i].message = fmt::format("its checking process ended twice ({})", util::describe_wait_status(status));
    }
    bar.advance();
    return false;
  };
  util::run_process_pool(job);
  if (failure) throw util::Error(failure->error_kind, "", failure->message);
  return out;
}

CheckRecord run_check(const Run& run, const std::vector<std::string>& files, const StoreCheck& store, int concurrency,
                      const CheckOptions& options) {
  std::vector<std::string> error_file_path_list, blocking_or_permission_error, unchecked;
  std::map<std::string, util::ErrorKind> held_kind;
  std::map<std::string, std::vector<Finding>> findings;
  std::map<std::string, std::string> crash_reasons, not_verified;
  std::map<std::string, std::vector<std::int32_t>> verified;
  bool calendar_ended = false;
  {
    std::vector<FileOutcome> outcomes = judge_files(run, files, store.check, concurrency);
    for (std::size_t i = 0; i < files.size(); ++i) {
      FileOutcome& o = outcomes[i];
      calendar_ended = calendar_ended || o.calendar_ended;
      switch (o.verdict) {
        case Verdict::broken:
          error_file_path_list.push_back(files[i]);
          if (!o.message.empty()) crash_reasons[files[i]] = o.message;
          break;
        case Verdict::locked:
        case Verdict::denied:
          blocking_or_permission_error.push_back(files[i]);
          held_kind[files[i]] = o.verdict == Verdict::locked ? util::ErrorKind::locked : util::ErrorKind::permission;
          break;
        case Verdict::unchecked: unchecked.push_back(files[i]); break;
        case Verdict::good:
          if (!o.message.empty()) not_verified[files[i]] = o.message;
          if (!o.verified_days.empty()) verified[files[i]] = std::move(o.verified_days);
          break;
        case Verdict::failed: break;
      }
      if (!o.findings.empty()) findings[files[i]] = std::move(o.findings);
    }
  }
  if (calendar_ended && store.calendar_ended) store.calendar_ended();
  print_findings(run.console, findings);
  if (!not_verified.empty()) {
    run.console.line(fmt::format("\n{} files were not verified against the service:", not_verified.size()));
    for (const auto& [path, why] : not_verified) run.console.line("  " + id_of_file(path) + ": " + why);
  }
  print_unjudged(run.console, crash_reasons, unchecked);
  CheckRecord record{store.frequency, {}, error_file_path_list, blocking_or_permission_error, {}, std::nullopt, 0};
  // With no broken or held file the report ends in one line, and nobody is
  // asked; that line says "good" only when nothing else was found.
  const bool nothing_to_delete = error_file_path_list.empty() && blocking_or_permission_error.empty();
  if (nothing_to_delete) print_closing_line(run.console, store.frequency, findings.size(), unchecked.size(), options.heal);
  if (options.heal) {
    if (!nothing_to_delete) print_check_summary(run.console, error_file_path_list, blocking_or_permission_error, store.frequency);
    std::vector<std::string> to_heal = error_file_path_list;
    for (const auto& [path, found] : findings) to_heal.push_back(path);
    record.heals = heal_all(run, to_heal, store);
  } else if (!nothing_to_delete) {
    record = deal_with_check_result(run, error_file_path_list, blocking_or_permission_error, store.frequency);
  }
  record.files = files;
  record.held_kind = std::move(held_kind);
  record.findings = std::move(findings);
  record.unchecked = std::move(unchecked);
  record.broken_reason = std::move(crash_reasons);
  record.not_verified = std::move(not_verified);
  record.verified_days = std::move(verified);
  if (options.verify > 0) record.verify = options.verify, record.verify_seed = options.verify_seed;
  return record;
}

}  // namespace tessal_plus::bundle::checking
