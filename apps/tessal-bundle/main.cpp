// tessal-bundle: the command line over the bundle module. It only parses,
// wires in the market-data service, calls the library and maps the outcome
// to an exit status (0 success or refusal, 1 failure, 2 usage error).
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "quillonc/sim_market.hpp"
#include "tessal_plus/bundle/checks.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/health_page.hpp"
#include "tessal/native_host.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"
#include "tessal_plus/bundle/retrying_client.hpp"
#include "tessal_plus/bundle/sample/sample.hpp"
#include "tessal_plus/bundle/status.hpp"
#include "tessal_plus/bundle/stores.hpp"
#include "util/error.hpp"
#include "util/files.hpp"

#include "report.hpp"

#ifdef TB_WITH_PYTHON
#include "python_service.hpp"
#endif

namespace tb = tessal_plus::bundle;

namespace {

// Splits repeated and comma-separated values: --minbar stock,fund --minbar IF
std::vector<std::string> split_tags(const std::vector<std::string>& raw) {
  std::vector<std::string> out;
  for (const auto& r : raw) {
    std::size_t p = 0;
    while (p <= r.size()) {
      const std::size_t c = std::min(r.find(',', p), r.size());
      if (c > p) out.push_back(r.substr(p, c - p));
      p = c + 1;
    }
  }
  return out;
}

int default_jobs() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

void init_session(const tb::Run& run, bool enable_bjse) {
  const tessal::IgnoreWarnings quiet(run.host);
  run.client.init(enable_bjse);
}

void print_market_summary(const tb::Run& run, quillonc::SimMarket& sim) {
  std::map<std::string, int> by_type;
  quillonc::Client& c = sim;  // the defaults of the requests are the interface's
  init_session(tb::Run{run.host, sim}, true);
  for (const auto& i : c.all_instruments()) ++by_type[i.type];
  by_type["CS (hk)"] = static_cast<int>(c.all_instruments(std::nullopt, "hk").size());
  const auto& cal = sim.trading_dates();
  std::printf("simulated market: %zu trading days %d..%d, bars from %d, ticks from %d\n", cal.size(), cal.front(), cal.back(),
              sim.history_start(), sim.tick_start());
  for (const auto& [type, n] : by_type) std::printf("  %-12s %d\n", type.c_str(), n);
}

// The service setting from --service, else TESSAL_SERVICE, else "sim".
std::string service_setting(const std::string& from_command_line) {
  if (!from_command_line.empty()) return from_command_line;
  if (const char* env = std::getenv("TESSAL_SERVICE"); env && *env) return env;
  return "sim";
}

// What the command line was asked to do.
struct Options {
  std::string service;
  int jobs = default_jobs();
  std::string path;
  bool base = false, with_derivatives = false, rebuild = false, enable_bjse = false, deep = false;
  bool answer_yes = false, answer_no = false;
  bool quality = false, heal = false;
  int verify = 0;
  std::optional<std::uint64_t> verify_seed;
  std::string thresholds;  // the content rules' thresholds, "key=value,..."
  bool by_instrument = false;
  std::string shard;  // "K/N", empty: every instrument
  int retries = -1;    // -1: $TESSAL_RETRIES, else 0
  bool json = false;  // one JSON document on standard output, the console text on standard error  // the checks' clean-up prompt answered from the command line
  std::vector<std::string> minbar_raw, tick_raw;
  std::string file_path;
  std::string html_path, check_json_path;  // status --html FILE [--check-json FILE]
  std::string archive_out;
  CLI::App* update = nullptr;
  CLI::App* smart = nullptr;
  CLI::App* check_min = nullptr;
  CLI::App* check_tick = nullptr;
  CLI::App* download = nullptr;
  CLI::App* pack = nullptr;
  CLI::App* market = nullptr;
  CLI::App* status = nullptr;
  // The subcommand that was run, by its name.
  std::string command() const {
    for (CLI::App* sub : {update, smart, check_min, check_tick, download, pack, market, status})
      if (sub->parsed()) return sub->get_name();
    return {};
  }
};

// A mistake in what the command line was given, found once the command is
// under way (a bundle folder that is not there, a check document that is
// not one): exit status 2, as for what the parser refuses.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Runs `read` on an option's value: what it refuses is a usage error.
template <class Read>
auto option_value(Read read) -> decltype(read()) {
  try {
    return read();
  } catch (const util::Error& e) {
    if (e.kind() == util::ErrorKind::interrupted) throw;
    throw UsageError(e.what());
  } catch (const std::invalid_argument& e) {  // the simulated market's settings
    throw UsageError(e.what());
  }
}

// A folder, or a path where one can be made: a file there is a mistake.
const CLI::Validator kFolder(
    [](std::string& v) {
      struct stat st{};
      if (::stat(v.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return "'" + v + "' is a file, not a folder";
      return std::string();
    },
    "FOLDER");
const CLI::Validator kWorkers(
    [](std::string& v) {
      std::size_t used = 0;
      try {
        const long n = std::stol(v, &used);
        if (used == v.size() && n >= 1 && n <= 1024) return std::string();
      } catch (const std::exception&) {
      }
      return "the number of worker processes must be a whole number from 1 to 1024, not '" + v + "'";
    },
    "1..1024");

// A file to write: its folder must be there, and it must not be a folder.
const CLI::Validator kFileToWrite(
    [](std::string& v) {
      struct stat st{};
      if (::stat(v.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return "'" + v + "' is a folder, not a file";
      const auto slash = v.rfind('/');
      const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : v.substr(0, slash);
      if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "the folder '" + folder + "' of '" + v + "' does not exist";
      return std::string();
    },
    "FILE");
// A file to read whole: a FIFO would keep the reader waiting and a device
// would never end; what is not there is left to the command to report.
const CLI::Validator kRegularFileIfThere(
    [](std::string& v) {
      struct stat st{};
      if (::stat(v.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return "'" + v + "' is " + util::file_type_text(st.st_mode) + ", not a regular file";
      return std::string();
    },
    "FILE");
const CLI::Validator kThresholds(
    [](std::string& v) {
      try {
        tb::parse_thresholds(v);
      } catch (const util::Error& e) {
        return std::string(e.what());
      }
      return std::string();
    },
    "K=V,...");

// "K/N" with 0 <= K < N; the parts, or nothing.
std::optional<tb::Shard> parse_shard(const std::string& v) {
  const auto slash = v.find('/');
  if (slash == std::string::npos) return std::nullopt;
  auto number = [](const std::string& t) -> std::optional<std::uint32_t> {
    if (t.empty() || t.size() > 9 || !std::all_of(t.begin(), t.end(), [](unsigned char c) { return std::isdigit(c); })) return std::nullopt;
    return static_cast<std::uint32_t>(std::stoul(t));
  };
  const auto k = number(v.substr(0, slash)), n = number(v.substr(slash + 1));
  if (!k || !n || *n == 0 || *k >= *n) return std::nullopt;
  return tb::Shard{*k, *n};
}
const CLI::Validator kShard(
    [](std::string& v) {
      return parse_shard(v) ? std::string()
                            : "the shard must be K/N with whole numbers 0 <= K < N (K counted from 0), not '" + v + "'";
    },
    "K/N");

void add_shard(CLI::App* sub, Options& o) {
  sub->add_option("--shard", o.shard,
                  "run only the instruments of shard K of N (K from 0): FNV-1a 64 of the id modulo N; base files are not written")
      ->check(kShard);
}

const CLI::Validator kRetries(
    [](std::string& v) {
      std::size_t used = 0;
      try {
        const long n = std::stol(v, &used);
        if (used == v.size() && n >= 0 && n <= 100) return std::string();
      } catch (const std::exception&) {
      }
      return "the number of retries must be a whole number from 0 to 100, not '" + v + "'";
    },
    "0..100");

void add_retries(CLI::App* sub, Options& o) {
  sub->add_option("--retries", o.retries,
                  "retry a service request that failed with a transient error up to N times, with backoff (default: $TESSAL_RETRIES or 0)")
      ->check(kRetries);
}

void add_bundle_path(CLI::App* sub, Options& o, const char* what) {
  sub->add_option("DATA_BUNDLE_PATH", o.path, what)->required()->check(kFolder);
}
void add_jobs(CLI::App* sub, Options& o, const char* what) { sub->add_option("-j,--concurrency", o.jobs, what)->check(kWorkers); }

// --yes / --no: the answer to the clean-up prompt, for runs without a
// terminal (cron). The two exclude each other.
void add_answer_flags(CLI::App* sub, Options& o) {
  auto* yes = sub->add_flag("--yes", o.answer_yes, "answer 'yes' at the clean-up prompt (delete broken files) without reading standard input");
  auto* no = sub->add_flag("--no", o.answer_no, "answer 'no' at the clean-up prompt (keep every file) without reading standard input");
  yes->excludes(no);
  auto* quality = sub->add_flag("--quality", o.quality,
                                "also read every value and report what the content rules find (reported, never deleted)");
  sub->add_option("--thresholds", o.thresholds,
                  "content rules' thresholds, e.g. price_jump.equities=0.3,price_jump.future=0.15,usual_days=21")
      ->needs(quality)
      ->check(kThresholds);
  auto* heal = sub->add_flag("--heal", o.heal,
                             "refill broken files (and, with --quality, files with findings) from the service instead of "
                             "asking to delete them; a file that cannot be healed stays as it was");
  heal->excludes(yes)->excludes(no);
  auto* verify = sub->add_option("--verify", o.verify,
                                 "fetch N stored days of every file again from the service and compare them value for value "
                                 "(the newest day and N-1 drawn at random; at most N requests per file)")
                     ->check(CLI::Range(0, 1000000));
  sub->add_option("--verify-seed", o.verify_seed, "the seed that draws the days --verify compares (printed by a run without it)")
      ->needs(verify);
}

void define_cli(CLI::App& app, Options& o) {
  app.set_version_flag("--version", "tessal-bundle 0.1.0");
  app.require_subcommand(1);
  app.add_option("--service", o.service, "market-data service: 'sim', 'sim:key=value,...' or 'python:MODULE' (default: $TESSAL_SERVICE or 'sim')");

  o.update = app.add_subcommand("update", "通过quillonc更新指定标的的数据 (full update)");
  add_bundle_path(o.update, o, "folder that holds (or will hold) the bundle folder");
  o.update->add_flag("--base", o.base, "update day bars and base data");
  o.update->add_option("--minbar", o.minbar_raw, "tags of minute-bar files to update (repeatable, comma-separated)")->take_all();
  o.update->add_option("--tick", o.tick_raw, "tags of tick files to update (repeatable, comma-separated)")->take_all();
  o.update->add_flag("--with-derivatives", o.with_derivatives, "add futures and options written on the selection");
  o.update->add_flag("--rebuild", o.rebuild, "rebuild the chosen files from scratch (asks first)");
  o.update->add_flag("--enable-bjse", o.enable_bjse, "include Beijing Stock Exchange instruments");
  add_jobs(o.update, o, "worker processes (default: number of cores)");
  add_shard(o.update, o);
  add_retries(o.update, o);

  o.smart = app.add_subcommand("smart-update", "从bundle数据中查看已存在的标的文件 进行增量更新 (smart update)");
  add_bundle_path(o.smart, o, "folder that holds the bundle folder");
  add_jobs(o.smart, o, "worker processes (default: number of cores)");
  add_shard(o.smart, o);
  add_retries(o.smart, o);

  o.check_min = app.add_subcommand(std::string(tb::store_kind(tb::Store::minute).check_command), "check the minute-bar store; deletes broken files after a prompt");
  add_bundle_path(o.check_min, o, "folder that holds the bundle folder");
  add_jobs(o.check_min, o, "processes checking files (default: number of cores)");
  add_answer_flags(o.check_min, o);
  o.check_tick = app.add_subcommand(std::string(tb::store_kind(tb::Store::tick).check_command), "check the tick store; deletes broken files after a prompt");
  add_bundle_path(o.check_tick, o, "folder that holds the bundle folder");
  o.check_tick->add_flag("--deep", o.deep, "also read every tick (decompresses the whole store)");
  add_jobs(o.check_tick, o, "processes checking files (default: number of cores)");
  add_answer_flags(o.check_tick, o);

  o.download = app.add_subcommand("download-sample", "download (or take --file) the sample bundle and unpack it");
  add_bundle_path(o.download, o, "folder that holds (or will hold) the bundle folder");
  o.download->add_option("--file", o.file_path, "a vxbundle_sample.tar.bz2 downloaded before")->check(kRegularFileIfThere);

  o.pack = app.add_subcommand("pack-sample", "pack a small bundle of the simulated market into vxbundle_sample.tar.bz2");
  o.pack->add_option("OUTPUT_FOLDER", o.archive_out, "folder to write vxbundle_sample.tar.bz2 into")->required();
  add_jobs(o.pack, o, "worker processes");

  o.market = app.add_subcommand("market", "print a summary of the simulated market");

  o.status = app.add_subcommand("status", "what the stores hold: files, rows, bytes, days, stale and unreadable files (metadata only)");
  add_bundle_path(o.status, o, "folder that holds the bundle folder");
  o.status->add_flag("--by-instrument", o.by_instrument, "one line per file: id, first day, last day, rows, bytes");
  auto* html = o.status->add_option("--html", o.html_path,
                                    "also write a self-contained HTML health page (summary, coverage map by month, file lists) to FILE")
                ->check(kFileToWrite);
  o.status->add_option("--check-json", o.check_json_path, "mark on the page the broken and held files of a check's --json document")
      ->check(CLI::ExistingFile & kRegularFileIfThere)
      ->needs(html);

  const char* json_help = "print one JSON document on standard output (the console text goes to standard error)";
  for (CLI::App* sub : {o.update, o.smart, o.check_min, o.check_tick, o.status}) sub->add_flag("--json", o.json, json_help);
}

// The service a setting names: the simulated market, or a Python client.
std::shared_ptr<quillonc::Client> start_service(const std::string& setting, tessal::NativeHost& host,
                                               std::shared_ptr<quillonc::SimMarket>& sim) {
  if (setting.rfind("python:", 0) == 0) {
#ifdef TB_WITH_PYTHON
    return cli::start_python_service(setting.substr(7), [&host] { return host.warnings_ignored(); });
#else
    util::fail(util::ErrorKind::invalid_input, "", "this tessal-bundle was built without Python: use --service sim");
#endif
  }
  sim = std::make_shared<quillonc::SimMarket>(quillonc::SimSettings::parse(setting), quillonc::surroundings_of(host));
  return sim;
}

// The prompt's answer given on the command line: printed after the prompt
// as a typed answer would be echoed, so the log of a cron run reads the same
// as a session at a terminal.
tb::Console answering(const tb::Console& console, const std::string& answer) {
  return tb::Console([console](const std::string& s) { console.write(s); },
                     [console, answer]() -> std::optional<std::string> {
                       console.line(answer);
                       return answer;
                     });
}

// Whether the bundle a read-only command was given is not there.
bool missing_bundle(const std::string& path) {
  try {
    tb::require_bundle_folder(path);
    return false;
  } catch (const util::Error&) {
    return true;
  }
}
void refuse_missing_bundle(const std::string& path) {
  option_value([&] { tb::require_bundle_folder(path); });
}

// Runs the chosen subcommand; true when nothing failed.
bool run(const Options& o, tb::Run& run, quillonc::SimMarket* sim, cli::Report& report) {
  if (o.status->parsed()) {
    // Read-only and local: the service is never asked.
    if (missing_bundle(o.path)) {
      // The document still has the status's keys: nothing was read.
      tb::BundleStatus nothing;
      nothing.bundle = tb::join(o.path, tb::layout::BUNDLE);
      nothing.calendar_path = tb::join(nothing.bundle, tb::layout::TRADING_DATES);
      nothing.calendar_error = "absent";
      report.status = std::move(nothing);
      refuse_missing_bundle(o.path);
    }
    // The check document's bytes first: a FIFO, a device or a file past
    // the cap is refused before the bundle is read. It is parsed once the
    // bundle's files are known, keeping little more than their marks.
    std::string check_document;
    if (!o.check_json_path.empty()) check_document = option_value([&] { return tb::read_check_document(o.check_json_path); });
    report.status = tb::bundle_status(run.host, o.path, !o.html_path.empty());
    tb::HealthInputs inputs;
    if (!o.check_json_path.empty()) {
      const auto ids = tb::file_ids(*report.status);
      inputs.check = option_value([&] { return tb::read_check_marks_text(check_document, o.check_json_path, &ids); });
      check_document = std::string();
    }
    tb::print_status(run.console, *report.status, o.by_instrument);
    if (!o.html_path.empty()) {
      tb::read_instrument_lives(*report.status, inputs);
      tb::read_suspensions(*report.status, inputs);
      util::write_atomically(o.html_path, tb::health_page(run.host, *report.status, inputs));
      run.console.line("health page: " + o.html_path);
    }
    return report.status->unreadable_files() == 0;
  }
  if (o.update->parsed()) {
    if (!o.base && o.minbar_raw.empty() && o.tick_raw.empty())
      std::fprintf(stderr, "note: nothing to update; give --base, --minbar TAG or --tick TAG\n");
    // The host tool opens the session before calling the command.
    init_session(run, o.enable_bjse);
    return report.record(tb::update_bundle_from_quillonc(run, o.jobs, o.path, o.base, split_tags(o.minbar_raw), split_tags(o.tick_raw),
                                                         o.with_derivatives, o.rebuild, o.enable_bjse));
  }
  if (o.smart->parsed()) {
    init_session(run, false);
    return report.record(tb::update_bundle_from_exist_file(run, o.jobs, o.path));
  }
  if (o.answer_yes || o.answer_no) run.console = answering(run.console, o.answer_yes ? "yes" : "no");
  tb::CheckOptions checking{o.quality, tb::parse_thresholds(o.thresholds), o.heal, o.verify,
                            o.verify_seed ? *o.verify_seed : tb::fresh_verify_seed()};
  if (o.check_min->parsed() || o.check_tick->parsed()) {
    report.check = o.check_min->parsed() ? tb::check_min_bar_data(run, o.path, o.jobs, checking)
                                         : tb::check_tick_data(run, o.path, o.deep, o.jobs, checking);
    // What the check printed stays (it found no calendar); a bundle folder
    // that is not there is a mistyped path, not a bundle to call good.
    refuse_missing_bundle(o.path);
    // A file --heal could not heal is still as it was, and a file nobody
    // could judge is not known to be good: the run did not do what it was
    // asked (exit status 1), as an update with a failed instrument.
    return report.check->unchecked.empty() &&
           std::none_of(report.check->heals.begin(), report.check->heals.end(),
                        [](const tb::HealOutcome& h) { return h.outcome == "failed"; });
  }
  if (o.download->parsed()) {
    tb::download_simple_bundle(run, o.path, true, o.file_path.empty() ? std::nullopt : std::optional<std::string>(o.file_path));
    // The download said why it did not use the file; a script is told too.
    if (!o.file_path.empty() && !std::filesystem::exists(o.file_path))
      throw UsageError("--file '" + o.file_path + "' does not exist");
    if (!o.file_path.empty() && std::filesystem::path(o.file_path).filename() != tb::layout::SAMPLE_ARCHIVE)
      throw UsageError("--file '" + o.file_path + "' is not named " + tb::layout::SAMPLE_ARCHIVE);
  }
  else if (o.pack->parsed()) return tb::pack_sample_bundle(run, o.archive_out, o.jobs);
  else if (o.market->parsed()) {
    if (!sim) throw UsageError("'market' describes the simulated market only");
    print_market_summary(run, *sim);
  }
  return true;
}

// --retries N with the waits of TESSAL_RETRY_BASE_MS (the first wait,
// default 500 ms; it doubles up to 30 s).
tessal_plus::bundle::RetryPolicy retry_policy(int retries) {
  tessal_plus::bundle::RetryPolicy p;
  p.retries = retries;
  if (const char* base = std::getenv("TESSAL_RETRY_BASE_MS"); base && *base) {
    const std::string_view text(base);
    // Digits only: stoul alone would take " 5", "-5" (as a huge number)
    // and throw a bare "stoul" at "abc".
    const bool digits = text.size() <= 6 && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
    const unsigned long ms = digits ? std::stoul(base) : 0;
    if (!digits || ms > 600000)
      util::fail(util::ErrorKind::invalid_input, "", fmt::format("TESSAL_RETRY_BASE_MS must be milliseconds from 0 to 600000, not '{}'", base));
    p.base_delay_ms = static_cast<std::uint32_t>(ms);
  }
  return p;
}

// Runs the parsed command and maps its outcome to the exit status.
int run_and_map(Options& o, tessal::NativeHost& host, cli::Report& report) {
  try {
    // A pinned clock that cannot be read is refused before any work.
    if (std::getenv("TESSAL_NOW")) option_value([&] { return host.datetime_now(); });
    std::shared_ptr<quillonc::SimMarket> sim;
    // A setting the service or the retries cannot take is a usage error.
    auto client = option_value([&] { return start_service(service_setting(o.service), host, sim); });
    if (o.retries > 0 && (o.update->parsed() || o.smart->parsed()))
      client = std::make_shared<tessal_plus::bundle::RetryingClient>(client, option_value([&] { return retry_policy(o.retries); }),
                                                          [&host](const std::string& m) { host.log_error(m); });
    // The host's day-bar updater reads the same service.
    host.set_service(client.get());
    tb::Run run{host, *client, report.console()};
    if (!o.shard.empty()) run.shard = parse_shard(o.shard);
    // Settings a host without Blosc cannot give are refused before any work.
    run.compression();
    const bool ok = ::run(o, run, sim.get(), report);
    std::fflush(stdout);
    return ok ? 0 : 1;
  } catch (const tb::ProgramExit& e) {
    std::fflush(stdout);
    return e.status();
  } catch (const UsageError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "error: %s\n", e.what());
    report.error = e.what();
    return 2;
  } catch (const util::Error& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "error: %s\n", e.what());
    report.error = e.what();
    // Stopped by a signal: the shell's convention, 128 + the signal.
    return e.kind() == util::ErrorKind::interrupted ? 128 + e.os_errno() : 1;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "error: %s\n", e.what());
    report.error = e.what();
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tessal-bundle: keeps the minute-bar and tick stores of a market-data bundle up to date"};
  Options o;
  define_cli(app, o);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end well; every other parse failure is a usage error.
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (!o.shard.empty() && o.base) {
    // Every shard would write the same base files at once.
    std::fprintf(stderr, "--shard and --base cannot go together: update the base files first (update DATA_BUNDLE_PATH --base), then run the shards\n");
    return 2;
  }
  if (o.retries < 0) {
    std::string from_env = std::getenv("TESSAL_RETRIES") ? std::getenv("TESSAL_RETRIES") : "";
    if (from_env.empty()) from_env = "0";
    if (const std::string why = kRetries(from_env); !why.empty()) {
      std::fprintf(stderr, "TESSAL_RETRIES: %s\n", why.c_str());
      return 2;
    }
    o.retries = std::stoi(from_env);
  }

  tessal::NativeHost host;
  cli::Report report(o.command(), o.path);
  if (o.json) report.start_collecting(host);
  const int status = run_and_map(o, host, report);
  if (o.json) report.emit(status, o.by_instrument);
  return status;
}
