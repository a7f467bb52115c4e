// tessal-bundle: the command line over the bundle module. It only parses,
// wires in the market-data service, calls the library and maps the outcome
// to an exit status (0 success or refusal, 1 failure, 2 usage error).
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>

#include <fmt/format.h>

#include "quillonc/sim_market.hpp"
#include "tessal_plus/bundle/checks.hpp"
#include "tessal_plus/bundle/commands.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"

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

void init_session(quillonc::Client& client, bool enable_bjse) {
  tessal::warnings::IgnoreWarnings quiet;
  client.init(enable_bjse);
}

void print_market_summary(quillonc::SimMarket& sim) {
  std::map<std::string, int> by_type;
  quillonc::Client& c = sim;
  init_session(c, true);
  for (const auto& i : c.all_instruments()) ++by_type[i.type];
  by_type["CS (hk)"] = static_cast<int>(c.all_instruments(std::nullopt, "hk").size());
  const auto& cal = sim.trading_dates();
  std::printf("simulated market: %zu trading days %d..%d, bars from %d, ticks from %d\n", cal.size(), cal.front(), cal.back(),
              sim.history_start(), sim.tick_start());
  for (const auto& [type, n] : by_type) std::printf("  %-12s %d\n", type.c_str(), n);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tessal-bundle: keeps the minute-bar and tick stores of a market-data bundle up to date"};
  app.set_version_flag("--version", "tessal-bundle 0.1.0");
  app.require_subcommand(1);
  std::string service;
  app.add_option("--service", service,
                 "market-data service: 'sim' or 'sim:key=value,...' (default: $TESSAL_SERVICE or 'sim')");

  int jobs = default_jobs();
  std::string path;
  bool base = false, with_derivatives = false, rebuild = false, enable_bjse = false;
  std::vector<std::string> minbar_raw, tick_raw;

  auto* update = app.add_subcommand("update", "通过quillonc更新指定标的的数据 (full update)");
  update->add_option("DATA_BUNDLE_PATH", path, "folder that holds (or will hold) the bundle folder")->required();
  update->add_flag("--base", base, "update day bars and base data");
  update->add_option("--minbar", minbar_raw, "tags of minute-bar files to update (repeatable, comma-separated)")->take_all();
  update->add_option("--tick", tick_raw, "tags of tick files to update (repeatable, comma-separated)")->take_all();
  update->add_flag("--with-derivatives", with_derivatives, "add futures and options written on the selection");
  update->add_flag("--rebuild", rebuild, "rebuild the chosen files from scratch (asks first)");
  update->add_flag("--enable-bjse", enable_bjse, "include Beijing Stock Exchange instruments");
  update->add_option("-j,--concurrency", jobs, "worker processes (default: number of cores)")->check(CLI::PositiveNumber);

  auto* smart = app.add_subcommand("smart-update", "从bundle数据中查看已存在的标的文件 进行增量更新 (smart update)");
  smart->add_option("DATA_BUNDLE_PATH", path, "folder that holds the bundle folder")->required();
  smart->add_option("-j,--concurrency", jobs, "worker processes (default: number of cores)")->check(CLI::PositiveNumber);

  auto* check_min = app.add_subcommand("check-minbar", "check the minute-bar store; deletes broken files after a prompt");
  check_min->add_option("DATA_BUNDLE_PATH", path, "folder that holds the bundle folder")->required();
  auto* check_tick = app.add_subcommand("check-tick", "check the tick store; deletes broken files after a prompt");
  check_tick->add_option("DATA_BUNDLE_PATH", path, "folder that holds the bundle folder")->required();

  std::string file_path;
  auto* download = app.add_subcommand("download-sample", "download (or take --file) the sample bundle and unpack it");
  download->add_option("DATA_BUNDLE_PATH", path, "folder that holds (or will hold) the bundle folder")->required();
  download->add_option("--file", file_path, "a vxbundle_sample.tar.bz2 downloaded before");

  std::string archive_out;
  auto* pack = app.add_subcommand("pack-sample", "pack a small bundle of the simulated market into vxbundle_sample.tar.bz2");
  pack->add_option("OUTPUT_FOLDER", archive_out, "folder to write vxbundle_sample.tar.bz2 into")->required();
  pack->add_option("-j,--concurrency", jobs, "worker processes")->check(CLI::PositiveNumber);

  auto* market = app.add_subcommand("market", "print a summary of the simulated market");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end well; every other parse failure is a usage error.
    return app.exit(e) == 0 ? 0 : 2;
  }

  try {
    const std::string spec = quillonc::service_spec(service);
    auto client = quillonc::make_client(spec);
    quillonc::install(client);
    if (market->parsed()) {
      print_market_summary(static_cast<quillonc::SimMarket&>(*client));
      return 0;
    }
    bool ok = true;
    if (update->parsed()) {
      if (!base && minbar_raw.empty() && tick_raw.empty())
        std::fprintf(stderr, "note: nothing to update; give --base, --minbar TAG or --tick TAG\n");
      // The host tool opens the session before calling the command.
      init_session(*client, enable_bjse);
      ok = tb::update_bundle_from_quillonc(jobs, path, base, split_tags(minbar_raw), split_tags(tick_raw), with_derivatives,
                                           rebuild, enable_bjse);
    } else if (smart->parsed()) {
      init_session(*client, false);
      ok = tb::update_bundle_from_exist_file(jobs, path);
    } else if (check_min->parsed()) {
      tb::check_min_bar_data(path);
    } else if (check_tick->parsed()) {
      tb::check_tick_data(path);
    } else if (download->parsed()) {
      tb::download_simple_bundle(path, true, file_path.empty() ? std::nullopt : std::optional<std::string>(file_path));
    } else if (pack->parsed()) {
      ok = tb::pack_sample_bundle(archive_out, jobs);
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
  } catch (const tb::ProgramExit& e) {
    std::fflush(stdout);
    return e.status();
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}
