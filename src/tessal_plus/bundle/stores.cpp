#include "tessal_plus/bundle/stores.hpp"

#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/writers.hpp"

namespace tessal_plus::bundle {

const std::array<StoreKind, 2>& STORES() {
  static const std::array<StoreKind, 2> stores{{
      {Store::minute, "minute", layout::MINBAR_ROOT, "分钟", "minute bars ", "Minute bars: {}", "check-minbar", "_minbar_task", "开始更新 {} 只标的的分钟线数据：{}",
       false, 1000000, _append_h5},
      {Store::tick, "tick", layout::TICKS, "tick", "", "Ticks", "check-tick", "_tick_task", "开始更新 {} 只标的的tick数据：{}", true,
       1000000000, _append_h5_tick},
  }};
  return stores;
}

const StoreKind& store_kind(Store s) { return STORES()[static_cast<std::size_t>(s)]; }  // the table lists the stores in their order

const StoreKind* store_checked_by(std::string_view command) {
  for (const auto& k : STORES())
    if (k.check_command == command) return &k;
  return nullptr;
}

}  // namespace tessal_plus::bundle
