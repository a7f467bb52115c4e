#include "tessal_plus/bundle/universe.hpp"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <unordered_set>

#include <fmt/format.h>

#include "tessal_plus/bundle/console.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/outside/market_data.hpp"

namespace tessal_plus::bundle {

void _switch_of_bjse(bool tag) {
  tessal::warnings::IgnoreWarnings quiet;
  quillonc::client().init(tag);
}

void _init_quillon(bool enable_bjse) { _switch_of_bjse(enable_bjse); }

namespace {

// Puts back a session that had no BJSE coverage when resolution began. On
// the normal path the switch runs explicitly so its errors reach the
// caller; when unwinding from another error it must not throw.
class RestoreSession {
 public:
  explicit RestoreSession(bool had_bjse) : had_bjse_(had_bjse) {}
  ~RestoreSession() {
    if (had_bjse_ || done_) return;
    try {
      _switch_of_bjse(false);
    } catch (...) {
      // The original error is already on its way to the caller.
    }
  }
  void restore() {
    done_ = true;
    if (!had_bjse_) _switch_of_bjse(false);
  }

 private:
  bool had_bjse_;
  bool done_ = false;
};

}  // namespace

std::set<std::string> _merge_tags(const std::vector<std::string>& tag_list, bool with_derivatives, bool enable_bjse) {
  auto& q = quillonc::client();
  std::set<std::string> tags(tag_list.begin(), tag_list.end());
  const bool bjse_enabled = q.bjse_enabled();
  RestoreSession restore(bjse_enabled);

  if (tags.count("stock")) {
    if (enable_bjse && !bjse_enabled) _switch_of_bjse(true);
  } else if (!bjse_enabled) {
    _switch_of_bjse(true);
  }

  const auto df = q.all_instruments();
  const auto option_df = q.all_instruments(std::string(tessal::INSTRUMENT_TYPE::OPTION));
  const auto future_df = q.all_instruments(std::string(tessal::INSTRUMENT_TYPE::FUTURE));
  const auto convertible_df = q.all_instruments(std::string(tessal::INSTRUMENT_TYPE::CONVERTIBLE));

  std::set<std::string> order_book_id_set;

  std::vector<std::string_view> ins_types;
  if (tags.count("all")) {
    for (const auto& [tag, types] : TAG_MAP()) ins_types.insert(ins_types.end(), types.begin(), types.end());
    tags.erase("all");
  } else {
    for (const auto& [tag, types] : TAG_MAP())
      if (tags.count(std::string(tag))) ins_types.insert(ins_types.end(), types.begin(), types.end());
  }
  for (const auto& [tag, types] : TAG_MAP()) tags.erase(std::string(tag));

  // Underlying symbols stand for every listed future on them.
  std::set<std::string> symbols;
  for (const auto& f : future_df)
    if (tags.count(f.underlying_symbol)) {
      tags.insert(f.order_book_id);
      symbols.insert(f.underlying_symbol);
    }
  for (const auto& s : symbols) tags.erase(s);

  for (const auto& i : df)
    if (std::find(ins_types.begin(), ins_types.end(), i.type) != ins_types.end()) order_book_id_set.insert(i.order_book_id);
  for (const auto& i : df)
    if (tags.count(i.order_book_id)) order_book_id_set.insert(i.order_book_id);
  for (const auto& o : option_df)
    if (tags.count(o.order_book_id)) order_book_id_set.insert(o.underlying_order_book_id);

  if (std::any_of(tags.begin(), tags.end(), [](const std::string& t) { return ends_with(t, ".XHKG"); })) {
    for (const auto& h : q.all_instruments(std::string(tessal::INSTRUMENT_TYPE::CS), "hk"))
      if (tags.count(h.order_book_id)) order_book_id_set.insert(h.order_book_id);
  }

  std::set<std::string> unresolved;
  for (const auto& t : tags)
    if (!order_book_id_set.count(t)) unresolved.insert(t);

  if (with_derivatives) {
    for (const auto& f : future_df)
      if (order_book_id_set.count(f.underlying_order_book_id)) order_book_id_set.insert(f.order_book_id);
    std::vector<std::string> options;
    for (const auto& o : option_df)
      if (order_book_id_set.count(o.underlying_order_book_id)) options.push_back(o.order_book_id);
    order_book_id_set.insert(options.begin(), options.end());
  }

  std::vector<std::string> convertibles;
  for (const auto& c : convertible_df)
    if (order_book_id_set.count(c.order_book_id)) convertibles.push_back(c.order_book_id);
  if (!convertibles.empty()) {
    if (const auto answer = q.convertible_instruments(convertibles))
      for (const auto& rec : *answer) order_book_id_set.insert(rec.stock_code);
  }

  if (!unresolved.empty()) {
    std::string keys;
    for (const auto& [tag, types] : TAG_MAP()) keys += (keys.empty() ? "" : ", ") + std::string(tag);
    std::string given;
    for (const auto& t : unresolved) given += (given.empty() ? "" : ", ") + t;
    print_line("不支持的参数值:[" + given + "]，\n可选的参数值有 [" + keys + "] 或 underlying_symbol 或 order_book_id");
  }

  restore.restore();
  return order_book_id_set;
}

}  // namespace tessal_plus::bundle
