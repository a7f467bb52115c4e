// Stand-in for the host's day-bar updater: it writes the base files that the
// writers and checks read. Day bars themselves are the host's business; the
// stand-in writes only what the bundle module needs.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include <fmt/format.h>

#include "util/npy.hpp"
#include "util/pickle.hpp"
#include "tessal/native_host.hpp"
#include "util/files.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"

namespace tessal {
namespace fs = std::filesystem;

namespace {

std::int32_t dashed_to_int(const std::string& s) {
  if (s.size() != 10) return 0;
  return std::stoi(s.substr(0, 4) + s.substr(5, 2) + s.substr(8, 2));
}

void write_suspended_days(Host& host, quillonc::Client& q, const std::string& path, const std::vector<quillonc::Instrument>& stocks,
                          std::int32_t today) {
  {
    // Filled under a name of its own and put in place complete, under the
    // lock of the file it replaces.
    h5::File f = h5::File::open(util::temp_path_beside(path), h5::Mode::create_new);
    h5::Type type(H5T_STD_I64LE, false);
    for (const auto& s : stocks) {
      const std::int32_t listed = std::max<std::int32_t>(20050104, dashed_to_int(s.listed_date));
      const std::int32_t delisted = dashed_to_int(s.de_listed_date);
      const std::int32_t end = delisted ? std::min(delisted, today) : today;
      if (end < listed) continue;
      std::vector<std::int64_t> days;
      {
        const IgnoreWarnings quiet(host);
        for (const auto& [day, flag] : q.is_suspended(s.order_book_id, listed, end))
          if (flag) days.push_back(day);
      }
      if (!days.empty()) f.create_dataset(s.order_book_id, type, days.data(), days.size(), h5::DatasetOptions{});
    }
    f.close_into(path);
  }
}

}  // namespace

bool NativeHost::update_daybar(const std::string& bundle_path, bool create, bool, int concurrency, bool enable_bjse, BjseKeyword) {
  try {
    if (concurrency < 1) throw std::invalid_argument(fmt::format("concurrency must be at least 1, got {}", concurrency));
    if (create) fs::create_directories(bundle_path);
    else if (!fs::is_directory(bundle_path))
      throw std::runtime_error(fmt::format("the bundle folder '{}' does not exist; create it with a full update (--base)", bundle_path));
    if (!service_) throw std::logic_error("the host has no service session for the day bars");
    auto& q = *service_;
    const bool had_bjse = q.bjse_enabled();
    if (had_bjse != enable_bjse) q.init(enable_bjse);
    struct Restore {
      quillonc::Client& q;
      bool had, now;
      ~Restore() {
        if (had != now) try {
            q.init(had);
          } catch (...) {
          }
      }
    } restore{q, had_bjse, enable_bjse};

    const std::int32_t today = util::timestamp_date(datetime_now());
    // The calendar from the service's day-by-day answer: the client offers
    // no calendar call of its own, and a few thousand in-process steps cost
    // nothing beside the files this writes.
    std::vector<std::int64_t> dates;
    for (std::int32_t d = q.get_next_trading_date(20050103); d <= today; d = q.get_next_trading_date(d)) dates.push_back(d);
    util::npy::write_int64(bundle_path + "/trading_dates.npy", dates);

    auto all = q.all_instruments();
    const auto hk = q.all_instruments(std::string(INSTRUMENT_TYPE::CS), "hk");
    std::vector<quillonc::Instrument> stocks;
    for (const auto& i : all)
      if (i.type == INSTRUMENT_TYPE::CS) stocks.push_back(i);
    write_suspended_days(*this, q, bundle_path + "/suspended_days.h5", stocks, today);

    all.insert(all.end(), hk.begin(), hk.end());
    std::vector<std::vector<std::pair<std::string, std::string>>> records;
    for (const auto& i : all)
      records.push_back({{"order_book_id", i.order_book_id},
                         {"type", i.type},
                         {"exchange", i.exchange},
                         {"listed_date", i.listed_date},
                         {"de_listed_date", i.de_listed_date},
                         {"underlying_symbol", i.underlying_symbol},
                         {"underlying_order_book_id", i.underlying_order_book_id}});
    util::pickle::write_records(bundle_path + "/instruments.pk", records);
    return true;
  } catch (const std::exception& e) {
    log_error(fmt::format("更新日线及基础数据失败：{}", e.what()));
    return false;
  }
}

}  // namespace tessal
