#include "tessal_plus/bundle/stores.hpp"

#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/status.hpp"
#include "tessal_plus/bundle/writers.hpp"

namespace tessal_plus::bundle {

const std::array<StoreKind, 2>& STORES() {
  static const std::array<StoreKind, 2> stores{{
      {.store = Store::minute, .name = "minute", .folder = layout::MINBAR_ROOT, .label = "分钟", .title_prefix = "minute bars ",
       .page_heading = "Minute bars: {}", .check_command = "check-minbar", .announcement = "开始更新 {} 只标的的分钟线数据：{}",
       .makes_folder = false, .stamps_per_day = 1000000, .writer = _append_h5, .file_status = minute_file_status},
      {.store = Store::tick, .name = "tick", .folder = layout::TICKS, .label = "tick", .title_prefix = "", .page_heading = "Ticks",
       .check_command = "check-tick", .announcement = "开始更新 {} 只标的的tick数据：{}", .makes_folder = true,
       .stamps_per_day = 1000000000, .writer = _append_h5_tick, .file_status = tick_file_status},
  }};

  return stores;
}

const StoreKind& store_kind(Store s) { return STORES()[static_cast<std::size_t>(s)]; }  // the table lists the stores in their order

const StoreKind* store_named(std::string_view name) { return find_row(STORES(), &StoreKind::name, name); }

const StoreKind* store_checked_by(std::string_view command) { return find_row(STORES(), &StoreKind::check_command, command); }

}  // namespace tessal_plus::bundle
