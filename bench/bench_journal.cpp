// Cost of the rollback journal on the two operations an update run is made
// of: opening an up-to-date file for writing and closing it untouched, and
// appending one trading day (240 bars, one index row) to a minute-bar file.
// Each is run over `files` files with HDF5's own POSIX driver (what the
// module did before the journal) and with the journal, and on request with
// the journal in durable mode (fsyncs; its disk flushes would disturb the
// other modes' figures, so it is measured apart). The modes take turns
// round after round, in alternating order, so drifts of the machine hit
// them alike.
//
//   build/bench/bench_journal [files=200] [days=244] [rounds=11] [durable=0]
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common.hpp"
#include "h5/h5.hpp"
#include "h5/journal.hpp"
#include "tessal_plus/bundle/constants.hpp"

using namespace tessal_plus::bundle;
namespace fs = std::filesystem;

namespace {

enum class Driver { posix, journal, durable };
const char* name_of(Driver d) { return d == Driver::posix ? "HDF5 POSIX driver" : d == Driver::journal ? "journal" : "journal, durable"; }

std::vector<EquitiesBar> day_bars(int day) {
  std::vector<EquitiesBar> rows(240);
  for (int m = 0; m < 240; ++m) {
    const double p = 10.0 + day * 0.01 + m * 0.001;
    rows[static_cast<std::size_t>(m)] = EquitiesBar{(20200000LL + day) * 1000000 + 93000 + m, p, p + 0.02, p - 0.01, p + 0.01,
                                                    1000.0 + m, (1000.0 + m) * p};
  }
  return rows;
}

// The same HDF5 calls for every driver; only the access property list and
// the commit after the close differ, as in h5::File.
struct Open {
  explicit Open(const std::string& path, Driver d) {
    h5::journal::set_durable(d == Driver::durable);
    const hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
    if (d != Driver::posix) {
      session.emplace();
      session->attach(fapl);
      H5Pset_fclose_degree(fapl, H5F_CLOSE_STRONG);
    }
    id = H5Fopen(path.c_str(), H5F_ACC_RDWR, fapl);
    H5Pclose(fapl);
    if (id < 0) {
      std::fprintf(stderr, "cannot open %s\n", path.c_str());
      std::exit(1);
    }
  }
  void close() {
    const bool ok = H5Fclose(id) >= 0;
    if (session && !session->finish(ok).ok) ok_ = false;
    if (!ok || !ok_) {
      std::fprintf(stderr, "close failed\n");
      std::exit(1);
    }
  }
  hid_t id = -1;
  bool ok_ = true;
  std::optional<h5::journal::Session> session;
};

void append_day(const std::string& path, Driver d, int day) {
  Open f(path, d);
  const hid_t data = H5Dopen2(f.id, "data", H5P_DEFAULT), index = H5Dopen2(f.id, "index", H5P_DEFAULT);
  auto append = [](hid_t ds, hid_t type, const void* rows, hsize_t count) {
    const hid_t space = H5Dget_space(ds);
    hsize_t n = 0;
    H5Sget_simple_extent_dims(space, &n, nullptr);
    H5Sclose(space);
    const hsize_t grown = n + count;
    H5Dset_extent(ds, &grown);
    const hid_t fs = H5Dget_space(ds);
    H5Sselect_hyperslab(fs, H5S_SELECT_SET, &n, nullptr, &count, nullptr);
    const hid_t ms = H5Screate_simple(1, &count, nullptr);
    if (H5Dwrite(ds, type, ms, fs, H5P_DEFAULT, rows) < 0) std::exit(1);
    H5Sclose(ms);
    H5Sclose(fs);
    return n;
  };
  const auto rows = day_bars(day);
  const hsize_t first = append(data, EQUITIES_DTYPE().type.get(), rows.data(), rows.size());
  const IndexRecord r{20200000 + day, static_cast<std::uint32_t>(first)};
  append(index, INDEX_DTYPE().type.get(), &r, 1);
  H5Dclose(data);
  H5Dclose(index);
  f.close();
}

// CPU time of this process (user + system), seconds: less disturbed than
// the wall clock by other work on the machine.
double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 200;
  const int days = argc > 2 ? std::atoi(argv[2]) : 244;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 11;
  const bool durable = argc > 4 && std::atoi(argv[4]) != 0;
  const std::string root = bench::scratch("journal");

  // One file of `days` days, with the writer's storage settings, copied
  // into a set per driver.
  const std::string model = root + "/model.h5";
  {
    std::vector<EquitiesBar> data;
    std::vector<IndexRecord> index;
    for (int d = 1; d <= days; ++d) {
      index.push_back(IndexRecord{20200000 + d, static_cast<std::uint32_t>(data.size())});
      const auto rows = day_bars(d);
      data.insert(data.end(), rows.begin(), rows.end());
    }
    h5::File f = h5::File::open(model, h5::Mode::create);
    f.create_dataset("data", EQUITIES_DTYPE().type, data.data(), data.size(), h5::DatasetOptions{true, 128, 9, std::nullopt});
    f.create_dataset("index", INDEX_DTYPE().type, index.data(), index.size(), h5::DatasetOptions{true, 512, 9, std::nullopt});
    f.close();
  }
  const std::vector<Driver> drivers =
      durable ? std::vector<Driver>{Driver::posix, Driver::durable} : std::vector<Driver>{Driver::posix, Driver::journal};
  auto path_of = [&](Driver d, int i) { return fmt::format("{}/{}/{:05d}.h5", root, static_cast<int>(d), i); };
  for (Driver d : drivers) {
    fs::create_directories(fmt::format("{}/{}", root, static_cast<int>(d)));
    for (int i = 0; i < files; ++i) fs::copy_file(model, path_of(d, i));
  }
  std::printf("%d files of %d days (%.1f MB each) in %s\n", files, days, static_cast<double>(fs::file_size(model)) / 1e6, root.c_str());

  std::map<Driver, std::vector<double>> idle, append, idle_cpu, append_cpu;
  for (int r = 0; r < rounds; ++r) {
    std::vector<Driver> order = drivers;
    if (r % 2) std::reverse(order.begin(), order.end());
    for (Driver d : order) {
      double t0 = bench::now_seconds(), c0 = cpu_seconds();
      for (int i = 0; i < files; ++i) Open(path_of(d, i), d).close();
      idle[d].push_back((bench::now_seconds() - t0) / files);
      idle_cpu[d].push_back((cpu_seconds() - c0) / files);
      t0 = bench::now_seconds(), c0 = cpu_seconds();
      for (int i = 0; i < files; ++i) append_day(path_of(d, i), d, days + 1 + r);
      append[d].push_back((bench::now_seconds() - t0) / files);
      append_cpu[d].push_back((cpu_seconds() - c0) / files);
    }
  }
  // Every set went through the same appends.
  const auto size0 = fs::file_size(path_of(Driver::posix, 0));
  for (Driver d : drivers)
    if (fs::file_size(path_of(d, 0)) != size0) std::printf("warning: %s made a file of another size\n", name_of(d));

  std::printf("per file, median of %d rounds   open+close, no change        append one day\n", rounds);
  auto row = [&](const char* what, std::map<Driver, std::vector<double>>& a, std::map<Driver, std::vector<double>>& b) {
    const double a0 = median(a[Driver::posix]), b0 = median(b[Driver::posix]);
    for (Driver d : drivers) {
      const double x = median(a[d]), y = median(b[d]);
      std::printf("%-17s %-12s %9.3f ms (%+6.1f%%) %9.3f ms (%+6.1f%%)\n", name_of(d), what, x * 1e3, (x / a0 - 1) * 100, y * 1e3,
                  (y / b0 - 1) * 100);
    }
  };
  row("wall", idle, append);
  row("cpu", idle_cpu, append_cpu);
  fs::remove_all(root);
  return 0;
}
