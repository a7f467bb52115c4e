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

void _switch_of_bjse(const Run& run, bool tag) {
  const tessal::IgnoreWarnings quiet(run.host);
  run.client.init(tag);
}

void _init_quillon(const Run& run, bool enable_bjse) { _switch_of_bjse(run, enable_bjse); }

namespace {

// Puts back a session that had no BJSE coverage when resolution began. On
// the normal path the switch runs explicitly so its errors reach the
// caller; when unwinding from another error it must not throw.
class RestoreSession {
 public:
  RestoreSession(const Run& run, bool had_bjse) : run_(run), had_bjse_(had_bjse) {}
  ~RestoreSession() {
    if (had_bjse_ || done_) return;
    try {
      _switch_of_bjse(run_, false);
    } catch (...) {
      // The original error is already on its way to the caller.
    }
  }
  void restore() {
    done_ = true;
    if (!had_bjse_) _switch_of_bjse(run_, false);
  }

 private:
  const Run& run_;
  bool had_bjse_;
  bool done_ = false;
};

}  // namespace

namespace {

// The instrument types the class tags select ("all": every row of TAG_MAP),
// in table order; the class tags are taken out of `tags`.
std::vector<std::string_view> class_types(std::set<std::string>& tags) {
  std::vector<std::string_view> ins_types;
  const bool all = tags.erase("all") > 0;
  for (const auto& [tag, types] : TAG_MAP())
    if (all || tags.count(std::string(tag))) ins_types.insert(ins_types.end(), types.begin(), types.end());
  for (const auto& [tag, types] : TAG_MAP()) tags.erase(std::string(tag));
  return ins_types;
}

// An underlying symbol stands for every listed future on it.
void expand_symbols(std::set<std::string>& tags, const std::vector<quillonc::Instrument>& future_df) {
  std::set<std::string> symbols;
  for (const auto& f : future_df)
    if (tags.count(f.underlying_symbol)) {
      tags.insert(f.order_book_id);
      symbols.insert(f.underlying_symbol);
    }
  for (const auto& s : symbols) tags.erase(s);
}

// Futures and options written on what is selected.
void add_derivatives(std::set<std::string>& ids, const std::vector<quillonc::Instrument>& future_df,
                     const std::vector<quillonc::Instrument>& option_df) {
  for (const auto& f : future_df)
    if (ids.count(f.underlying_order_book_id)) ids.insert(f.order_book_id);
  std::vector<std::string> options;
  for (const auto& o : option_df)
    if (ids.count(o.underlying_order_book_id)) options.push_back(o.order_book_id);
  ids.insert(options.begin(), options.end());
}

// The stocks that selected convertibles convert into.
void add_convertible_stocks(quillonc::Client& q, std::set<std::string>& ids, const std::vector<quillonc::Instrument>& convertible_df) {
  std::vector<std::string> convertibles;
  for (const auto& c : convertible_df)
    if (ids.count(c.order_book_id)) convertibles.push_back(c.order_book_id);
  if (convertibles.empty()) return;
  if (const auto answer = q.convertible_instruments(convertibles))
    for (const auto& rec : *answer) ids.insert(rec.stock_code);
}

void print_unsupported(const Console& console, const std::set<std::string>& unresolved) {
  std::string keys;
  for (const auto& [tag, types] : TAG_MAP()) keys += (keys.empty() ? "" : ", ") + std::string(tag);
  std::string given;
  for (const auto& t : unresolved) given += (given.empty() ? "" : ", ") + t;
  console.line("不支持的参数值:[" + given + "]，\n可选的参数值有 [" + keys + "] 或 underlying_symbol 或 order_book_id");
}

}  // namespace

std::set<std::string> _merge_tags(const Run& run, const std::vector<std::string>& tag_list, bool with_derivatives, bool enable_bjse) {
  auto& q = run.client;
  std::set<std::string> tags(tag_list.begin(), tag_list.end());
  const bool bjse_enabled = q.bjse_enabled();
  RestoreSession restore(run, bjse_enabled);

  if (tags.count("stock")) {
    if (enable_bjse && !bjse_enabled) _switch_of_bjse(run, true);
  } else if (!bjse_enabled) {
    _switch_of_bjse(run, true);
  }

  const auto df = q.all_instruments();
  const auto option_df = q.all_instruments(std::string(tessal::INSTRUMENT_TYPE::OPTION));
  const auto future_df = q.all_instruments(std::string(tessal::INSTRUMENT_TYPE::FUTURE));
  const auto convertible_df = q.all_instruments(std::string(tessal::INSTRUMENT_TYPE::CONVERTIBLE));

  const auto ins_types = class_types(tags);
  expand_symbols(tags, future_df);

  std::set<std::string> order_book_id_set;
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
  if (with_derivatives) add_derivatives(order_book_id_set, future_df, option_df);
  add_convertible_stocks(q, order_book_id_set, convertible_df);
  if (!unresolved.empty()) print_unsupported(run.console, unresolved);

  restore.restore();
  return order_book_id_set;
}

}  // namespace tessal_plus::bundle
