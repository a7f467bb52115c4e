#include "tessal_plus/bundle/health_page.hpp"
#include "tessal_plus/bundle/checks.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "tessal_plus/bundle/stores.hpp"
#include "util/datetime.hpp"
#include "util/error.hpp"
#include "util/files.hpp"

namespace tessal_plus::bundle {

namespace {

// Whether `s` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF).
bool is_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    const auto c1 = static_cast<unsigned char>(s[i + 1]);
    const unsigned char lo = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
    if (c1 < lo || c1 > hi) return false;
    for (std::size_t k = 2; k < len; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

// Every text from a file name, the instrument list or a check document goes
// through here, in element content and in quoted attributes alike. A text
// that is not UTF-8 (a file name may hold any byte) has its bad bytes shown
// as U+FFFD, exactly as the command line's JSON shows them: the page is
// valid UTF-8 and the ids on it match the JSON's.
std::string esc(std::string_view raw) {
  std::string valid;
  if (!is_utf8(raw)) {
    valid = nlohmann::json::parse(nlohmann::json(std::string(raw)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
                .get<std::string>();
    raw = valid;
  }
  const std::string_view s = raw;
  std::string out;
  out.reserve(s.size());
  for (const char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string day_text(const std::optional<std::int32_t>& d) {
  if (!d) return "-";
  return fmt::format("{:04}-{:02}-{:02}", *d / 10000, *d / 100 % 100, *d % 100);
}
std::string month_text(std::int32_t yyyymm) { return fmt::format("{:04}-{:02}", yyyymm / 100, yyyymm % 100); }
std::string day_value(const std::optional<std::int32_t>& d) { return d ? std::to_string(*d) : std::string(); }

// Red (nothing held) through yellow to green (every expected day held).
std::string share_colour(double share) {
  if (share >= 1.0) return "#1a9850";
  return fmt::format("hsl({},75%,{}%)", static_cast<int>(std::lround(share * 95)), 48);
}

// One file on the map: per month of the store's axis, the expected trading
// days (the calendar's, within the instrument's listed life) and how many
// of them the file holds.
struct Row {
  const FileStatus* file = nullptr;
  std::vector<std::int32_t> held, expected;
  std::uint64_t held_total = 0, expected_total = 0;
  std::string mark;  // "broken", "held", "finding" (by a check) or empty
  std::string heal;  // the heal outcome, or empty
  std::int32_t finding_month = 0;  // YYYYMM of the earliest finding
  std::string findings;            // "rule xN (first T)", for titles
  double share() const { return expected_total ? static_cast<double>(held_total) / static_cast<double>(expected_total) : 1.0; }
};

// The store's months: from its first day to the horizon.
struct Axis {
  std::vector<std::int32_t> days;       // calendar days in range
  std::vector<std::size_t> month_of;    // month index of each day
  std::vector<std::int32_t> months;     // YYYYMM
};

Axis store_axis(const std::vector<std::int32_t>& calendar, std::int32_t first, std::int32_t last) {
  Axis a;
  for (auto it = std::lower_bound(calendar.begin(), calendar.end(), first); it != calendar.end() && *it <= last; ++it) {
    if (a.months.empty() || a.months.back() != *it / 100) a.months.push_back(*it / 100);
    a.days.push_back(*it);
    a.month_of.push_back(a.months.size() - 1);
  }
  return a;
}

Row coverage(const FileStatus& f, const Axis& axis, const InstrumentLife& life, const std::vector<std::int32_t>* suspended) {
  Row r;
  r.file = &f;
  r.held.assign(axis.months.size(), 0);
  r.expected.assign(axis.months.size(), 0);
  if (f.error) return r;
  auto held = f.days.begin();
  for (std::size_t i = 0; i < axis.days.size(); ++i) {
    const std::int32_t d = axis.days[i];
    if ((life.listed && d < life.listed) || (life.de_listed && d > life.de_listed)) continue;
    // A suspended stock trades no bars that day: nothing to hold.
    if (suspended && std::binary_search(suspended->begin(), suspended->end(), d)) continue;
    ++r.expected[axis.month_of[i]];
    ++r.expected_total;
    held = std::lower_bound(held, f.days.end(), d);
    if (held != f.days.end() && *held == d) {
      ++r.held[axis.month_of[i]];
      ++r.held_total;
    }
  }
  return r;
}

// Geometry of a map: label column, cell size, month labels every few cells.
struct Grid {
  int label = 170, cell = 16, height = 14, head = 18;
  std::size_t label_every = 1;
  explicit Grid(std::size_t months) {
    cell = std::clamp(static_cast<int>(1000 / std::max<std::size_t>(months, 1)), 4, 48);
    // A label ("2024-05") is about 50 px wide at 11 px.
    label_every = static_cast<std::size_t>(std::ceil(54.0 / cell));
  }
  int width(std::size_t months) const { return label + static_cast<int>(months) * cell + 56; }
};

void open_map(std::string& out, const Axis& axis, const Grid& g, std::size_t rows, const std::string& label) {
  out += fmt::format(R"(<svg class="map" width="{}" height="{}" role="img" aria-label="{}">)", g.width(axis.months.size()),
                     g.head + static_cast<int>(rows) * g.height + 4, esc(label));
  for (std::size_t m = 0; m < axis.months.size(); m += g.label_every)
    out += fmt::format(R"(<text class="month" x="{}" y="12">{}</text>)", g.label + static_cast<int>(m) * g.cell,
                       month_text(axis.months[m]));
}

void file_row(std::string& out, const Row& r, const Axis& axis, const Grid& g, std::size_t at) {
  const FileStatus& f = *r.file;
  std::string cls = "row";
  if (!r.mark.empty()) cls += " " + r.mark;
  if (!r.heal.empty()) cls += " heal-" + r.heal;
  if (f.error) cls += " unreadable";
  if (f.stale) cls += " stale";
  if (f.ended) cls += " ended";
  const int y = g.head + static_cast<int>(at) * g.height;
  out += fmt::format(R"~(<g class="{}" data-id="{}" transform="translate(0,{})">)~", esc(cls), esc(f.id), y);
  out += fmt::format(R"(<rect class="band" x="0" y="0" width="{}" height="{}"/>)", g.width(axis.months.size()), g.height);
  const std::string about =
      f.error ? fmt::format("{}: cannot be read ({}): {}", f.id, util::kind_name(*f.error), f.message)
              : fmt::format("{}: {}..{}, {} rows, {} of {} expected days held{}{}", f.id, day_text(f.first_day), day_text(f.last_day),
                            f.rows, r.held_total, r.expected_total, f.stale ? ", stale" : f.ended ? ", ended" : "", r.mark.empty() ? "" : ", " + r.mark) +
                    (r.findings.empty() ? "" : "; findings: " + r.findings) + (r.heal.empty() ? "" : "; heal: " + r.heal);
  out += fmt::format(R"(<text class="id" x="{}" y="{}"><title>{}</title>{}</text>)", g.label - 6, g.height - 3, esc(about), esc(f.id));
  if (f.error)
    out += fmt::format(R"(<text class="note" x="{}" y="{}">cannot be read ({})</text>)", g.label, g.height - 3,
                       esc(util::kind_name(*f.error)));
  else if (r.expected_total == 0)
    out += fmt::format(R"(<text class="note" x="{}" y="{}">not listed in these months</text>)", g.label, g.height - 3);
  for (std::size_t m = 0; m < axis.months.size() && !f.error; ++m) {
    if (r.expected[m] == 0) continue;  // not listed that month: nothing to hold
    const bool gap = r.held[m] < r.expected[m];
    const bool flagged = r.finding_month == axis.months[m];
    const std::string month = month_text(axis.months[m]);
    out += fmt::format(
        R"(<rect class="cell{}{}" x="{}" y="1" width="{}" height="{}" fill="{}" data-id="{}" data-month="{}" data-held="{}" data-expected="{}"><title>{} {}: {} days held / {} expected{}</title></rect>)",
        gap ? " gap" : "", flagged ? " flagged" : "", g.label + static_cast<int>(m) * g.cell, g.cell - 1, g.height - 2,
        share_colour(static_cast<double>(r.held[m]) / r.expected[m]), esc(f.id), month, r.held[m], r.expected[m], esc(f.id), month,
        r.held[m], r.expected[m], flagged ? "; first finding: " + esc(r.findings) : "");
  }
  out += "</g>";
}

// One row for a whole store: per month the mean share of its files that
// expect days then, and how many of them miss some.
void aggregate_row(std::string& out, const StoreStatus& s, const std::vector<Row>& rows, const Axis& axis, const Grid& g) {
  out += fmt::format(R"~(<g class="row aggregate" data-store="{}" transform="translate(0,{})">)~", esc(s.name), g.head);
  out += fmt::format(R"(<text class="id" x="{}" y="{}">{} files (mean)</text>)", g.label - 6, g.height - 3, rows.size());
  for (std::size_t m = 0; m < axis.months.size(); ++m) {
    double sum = 0;
    std::size_t files = 0, gaps = 0;
    for (const auto& r : rows) {
      if (r.expected[m] == 0) continue;
      ++files;
      sum += static_cast<double>(r.held[m]) / r.expected[m];
      gaps += r.held[m] < r.expected[m];
    }
    if (files == 0) continue;
    const double mean = sum / static_cast<double>(files);
    const std::string month = month_text(axis.months[m]);
    out += fmt::format(
        R"(<rect class="cell{}" x="{}" y="1" width="{}" height="{}" fill="{}" data-month="{}" data-files="{}" data-gaps="{}"><title>{} {}: mean share {:.1f}% over {} files; {} miss days</title></rect>)",
        gaps ? " gap" : "", g.label + static_cast<int>(m) * g.cell, g.cell - 1, g.height - 2, share_colour(mean), month, files, gaps,
        esc(s.name), month, mean * 100, files, gaps);
  }
  out += "</g>";
}

std::string findings_text(const CheckMark& m);

// What a check said of the row's file: its mark, its heal outcome and the
// month of its earliest finding.
void mark_row(Row& r, const CheckMark& m, const StoreKind& store) {
  // A file nobody could judge is banded as one held: not known to be good.
  r.mark = m.outcome == "broken" ? "broken" : m.outcome == "locked" || m.outcome == "not_checked" ? "held" : m.findings_total ? "finding" : "";
  r.heal = m.heal;
  r.findings = findings_text(m);
  if (m.earliest) r.finding_month = static_cast<std::int32_t>(*m.earliest / (store.stamps_per_day * 100));
}

void store_map(std::string& out, const StoreStatus& s, const BundleStatus& b, const HealthInputs& in) {
  const std::string title = fmt::format(fmt::runtime(store_kind(s.store).page_heading), s.name);
  out += fmt::format(R"(<section class="store" data-store="{}"><h3>{}</h3>)", esc(s.name), esc(title));
  const std::optional<std::int32_t> last = b.horizon ? b.horizon : b.calendar_last;
  if (b.calendar.empty() || !last) {
    out += "<p class=\"note\">No trading calendar: the days a file should hold are unknown.</p></section>";
    return;
  }
  if (!s.first_day) {
    out += "<p class=\"note\">No readable file holds a day.</p></section>";
    return;
  }
  // The map starts at the store's first day held for trading: a stock's
  // empty tick dataset for a day it was suspended marks that day, and would
  // otherwise stretch the map back over months nobody traded in.
  std::int32_t first_day = *s.first_day;
  {
    std::optional<std::int32_t> traded;
    for (const auto& f : s.files) {
      const auto sus = in.suspended.find(f.id);
      for (const auto d : f.days)
        if (sus == in.suspended.end() || !std::binary_search(sus->second.begin(), sus->second.end(), d)) {
          if (!traded || d < *traded) traded = d;
          break;
        }
    }
    if (traded) first_day = *traded;
  }
  const Axis axis = store_axis(b.calendar, first_day, *last);
  std::map<std::string, const CheckMark*> marks;
  if (in.check && store_checked_by(in.check->command) == &store_kind(s.store))
    for (const auto& m : in.check->marks) marks[m.id] = &m;
  std::vector<Row> rows;
  rows.reserve(s.files.size());
  for (const auto& f : s.files) {
    const auto life = in.lives.find(f.id);
    const auto suspended = in.suspended.find(f.id);
    rows.push_back(coverage(f, axis, life == in.lives.end() ? InstrumentLife{} : life->second,
                            suspended == in.suspended.end() ? nullptr : &suspended->second));
    if (const auto m = marks.find(f.id); m != marks.end()) mark_row(rows.back(), *m->second, store_kind(s.store));
  }
  std::sort(rows.begin(), rows.end(), [](const Row& x, const Row& y) { return x.file->id < y.file->id; });
  const Grid g(axis.months.size());
  out += fmt::format("<p>{} to {}: the share of each month's trading days that the file holds, within the instrument's listed life.</p>",
                     day_text(axis.days.empty() ? std::nullopt : std::optional(axis.days.front())), day_text(last));
  out += R"(<div class="scroll">)";
  if (rows.size() <= in.detail_limit) {
    open_map(out, axis, g, rows.size(), title);
    for (std::size_t i = 0; i < rows.size(); ++i) file_row(out, rows[i], axis, g, i);
    out += "</svg></div>";
  } else {
    open_map(out, axis, g, 1, title);
    aggregate_row(out, s, rows, axis, g);
    out += "</svg></div>";
    // Marked and unreadable files first, then the lowest share held.
    auto rank = [](const Row& r) { return r.mark == "broken" ? 0 : r.mark == "held" ? 1 : !r.mark.empty() ? 2 : r.file->error ? 3 : 4; };
    std::stable_sort(rows.begin(), rows.end(), [&](const Row& x, const Row& y) {
      if (rank(x) != rank(y)) return rank(x) < rank(y);
      return x.share() < y.share();
    });
    rows.resize(std::min(rows.size(), in.worst_shown));
    out += fmt::format(R"(<details class="worst"><summary>The {} worst files of {}</summary><div class="scroll">)", rows.size(),
                       esc(s.name));
    open_map(out, axis, g, rows.size(), title + ": worst files");
    for (std::size_t i = 0; i < rows.size(); ++i) file_row(out, rows[i], axis, g, i);
    out += "</svg></div></details>";
  }
  out += "</section>";
}

void summary_table(std::string& out, const BundleStatus& b) {
  out += R"(<table class="summary"><thead><tr><th>store</th><th>files</th><th>instruments</th><th>rows</th><th>bytes</th>)"
         R"(<th>first day</th><th>last day</th><th>stale</th><th>ended</th><th>unreadable</th></tr></thead><tbody>)";
  for (const auto& s : b.stores) {
    const auto cell = [&](const char* field, const std::string& value, const std::string& text) {
      out += fmt::format(R"(<td data-field="{}" data-value="{}">{}</td>)", field, esc(value), esc(text));
    };
    const auto number = [&](const char* field, std::uint64_t v) { cell(field, std::to_string(v), std::to_string(v)); };
    out += fmt::format(R"(<tr data-store="{}" data-kind="{}"><th>{}</th>)", esc(s.name), store_kind(s.store).name,
                       esc(s.title()));
    number("files", s.files.size());
    number("instruments", s.instruments);
    number("rows", s.rows);
    cell("bytes", std::to_string(s.bytes), byte_text(s.bytes));
    cell("first_day", day_value(s.first_day), day_text(s.first_day));
    cell("last_day", day_value(s.last_day), day_text(s.last_day));
    const std::string stale = b.horizon ? std::to_string(s.stale().size()) : std::string();
    cell("stale", stale, b.horizon ? stale : "?");
    const std::string ended = b.horizon ? std::to_string(s.ended().size()) : std::string();
    cell("ended", ended, b.horizon ? ended : "?");
    number("unreadable", s.unreadable().size());
    out += "</tr>";
  }
  out += "</tbody></table>";
}

void file_lists(std::string& out, const BundleStatus& b) {
  out += "<h2>Stale files</h2>";
  if (!b.horizon) out += "<p class=\"note\">Not judged: there is no trading calendar.</p>";
  std::string locked;
  bool any_stale = false, any_unreadable = false;
  for (const auto& s : b.stores) {
    const auto stale = s.stale();
    if (!stale.empty()) {
      any_stale = true;
      out += fmt::format(R"(<h3>{}</h3><ul class="stale" data-store="{}">)", esc(s.name), esc(s.name));
      for (const auto* f : stale)
        out += fmt::format(R"(<li data-id="{}">{}: last day {}</li>)", esc(f->id), esc(f->id), day_text(f->last_day));
      out += "</ul>";
    }
  }
  if (b.horizon && !any_stale) out += "<p>None: every file reaches the update horizon.</p>";
  out += "<h2>Unreadable files</h2>";
  for (const auto& s : b.stores) {
    const auto bad = s.unreadable();
    if (bad.empty()) continue;
    any_unreadable = true;
    out += fmt::format(R"(<h3>{}</h3><ul class="unreadable" data-store="{}">)", esc(s.name), esc(s.name));
    for (const auto* f : bad) {
      const std::string item = fmt::format(R"(<li data-id="{}">{} ({}): {}</li>)", esc(f->id), esc(f->path),
                                           esc(util::kind_name(*f->error)), esc(f->message));
      out += item;
      if (*f->error == util::ErrorKind::locked) locked += item;
    }
    out += "</ul>";
  }
  if (!any_unreadable) out += "<p>None.</p>";
  out += "<h2>Locked files</h2>";
  out += locked.empty() ? std::string("<p>None: no file was held by another process.</p>")
                        : R"(<ul class="locked">)" + locked + "</ul>";
}

// The first kFindingsShown findings of the file, then how many more the
// check document lists.
std::string findings_text(const CheckMark& m) {
  std::string out;
  for (std::size_t i = 0; i < m.findings.size() && i < kFindingsShown; ++i) {
    const auto& f = m.findings[i];
    out += fmt::format("{}{} x{} (first {})", out.empty() ? "" : ", ", rule_name(f.rule), f.count, f.first);
  }
  const std::uint64_t shown = std::min<std::uint64_t>(m.findings.size(), kFindingsShown);
  if (m.findings_total > shown) out += fmt::format(", and {} more", m.findings_total - shown);
  return out;
}

// One list of the check's section: the first kFilesListed files, then how
// many more the document holds.
class BoundedList {
 public:
  // `total`: how many the document lists.
  BoundedList(const char* heading, std::string cls, std::size_t total) : heading_(heading), cls_(std::move(cls)), total_(total) {}
  // False once the list is full: the caller need not make the item.
  bool wants() { return ++shown_ <= kFilesListed; }
  void add(const std::string& item) { items_ += item; }
  void write(std::string& out) const {
    if (total_ == 0) return;
    out += fmt::format(R"(<h3>{}</h3><ul class="{}">{})", heading_, cls_, items_);
    if (total_ > kFilesListed)
      out += fmt::format(R"(<li class="more">and {} more (the check document lists them all)</li>)", total_ - kFilesListed);
    out += "</ul>";
  }

 private:
  const char* heading_;
  std::string cls_, items_;
  std::size_t total_, shown_ = 0;
};

void check_section(std::string& out, const CheckMarks& c) {
  out += fmt::format(R"(<h2>Check</h2><p>{} ({}): {} files, {} broken, {} held by another process{}.</p>)", esc(c.command),
                     esc(c.source), c.files, c.broken, c.held, c.not_checked ? fmt::format(", {} not checked", c.not_checked) : "");
  BoundedList found("Content findings", "check-findings", c.with_findings), healed("Healing", "check-heal", c.healed);
  for (const auto& m : c.marks) {
    if (m.findings_total && found.wants())
      found.add(fmt::format(R"(<li data-id="{}">{}: {}</li>)", esc(m.id), esc(m.id), esc(findings_text(m))));
    if (!m.heal.empty() && healed.wants())
      healed.add(fmt::format(R"(<li data-id="{}" data-heal="{}">{}: {}{}</li>)", esc(m.id), esc(m.heal), esc(m.id), esc(m.heal),
                             m.heal_message.empty() ? "" : " (" + esc(m.heal_message) + ")"));
  }
  found.write(out);
  healed.write(out);
  const std::pair<const char*, const char*> lists[] = {{"broken", "Broken"}, {"locked", "Held"}, {"not_checked", "Not checked"}};
  for (const auto& [outcome, heading] : lists) {
    const std::string_view o = outcome;
    BoundedList items(heading, std::string("check-") + outcome, o == "broken" ? c.broken : o == "locked" ? c.held : c.not_checked);
    for (const auto& m : c.marks)
      if (m.outcome == outcome && items.wants())
        items.add(fmt::format(R"(<li data-id="{}">{}{}</li>)", esc(m.id), esc(m.path), m.kind.empty() ? "" : " (" + esc(m.kind) + ")"));
    items.write(out);
  }
}

constexpr const char* kStyle = R"(<style>
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222}
h1{font-size:1.4em}h2{font-size:1.15em;margin-top:1.6em}h3{font-size:1em}
table.summary{border-collapse:collapse}table.summary td,table.summary th{border:1px solid #ccc;padding:.2em .6em;text-align:right}
table.summary th:first-child{text-align:left}.note{color:#666}
.scroll{overflow-x:auto}
svg.map text{font:11px monospace;fill:#333}svg.map text.id{text-anchor:end}svg.map text.month{fill:#666}
svg.map .band{fill:transparent}
svg.map .gap{stroke:#222;stroke-width:1}
svg.map .broken .band{fill:#f4c7c3}svg.map .broken text.id{fill:#b00;font-weight:bold}
svg.map .held .band{fill:#fbe7b0}svg.map .unreadable text{fill:#b00}
svg.map .finding .band{fill:#cfe0f5}svg.map .flagged{stroke:#1f4e9c;stroke-width:2;stroke-dasharray:2 1}
svg.map .heal-healed .band{fill:#d4efd8}svg.map .heal-failed text.id{text-decoration:underline}
svg.map .stale text.id{font-style:italic}svg.map text.note{fill:#888;font-style:italic}
.legend span{display:inline-block;width:1.2em;height:.9em;vertical-align:middle;margin:0 .2em 0 .8em}
</style>)";

}  // namespace

void read_instrument_lives(const BundleStatus& status, HealthInputs& inputs) {
  inputs.lives = status.lives;
  inputs.lives_note = status.lives_note;
}

void read_suspensions(const BundleStatus& status, HealthInputs& inputs) {
  inputs.suspended.clear();
  const std::string path = join(status.bundle, layout::SUSPENDED_DAYS);
  if (!std::filesystem::exists(path)) return;
  try {
    std::vector<std::string> ids;
    for (const auto& s : status.stores)
      for (const auto& file : s.files) ids.push_back(file.id);
    for (const auto& [id, days] : suspensions_of(path, ids)) {
      auto& held = inputs.suspended[id];
      for (const auto d : days) held.push_back(static_cast<std::int32_t>(d));
      std::sort(held.begin(), held.end());
    }
  } catch (const std::exception& e) {
    inputs.suspended.clear();
    inputs.lives_note += (inputs.lives_note.empty() ? "" : "; ") + path + " cannot be read (" + e.what() +
                         "): suspension days are counted as missing";
  }
}

namespace {

// A text of the document as kept: at most kTextKept bytes, cut where a
// character begins.
std::string kept_text(const std::string& s) {
  if (s.size() <= kTextKept) return s;
  std::size_t cut = kTextKept;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return s.substr(0, cut) + "\u2026";
}

// Reads a check document event by event, keeping only what the page shows.
// Every event returns false, which ends the parse at once, when the
// document is not a check document.
class CheckDocumentReader final : public nlohmann::json_sax<nlohmann::json> {
 public:
  CheckDocumentReader(CheckMarks& out, const std::set<std::string>* keep) : out_(out), keep_(keep) {}

  // Whether the document was whole and a check document.
  bool finish() const {
    return root_done_ && outcomes_seen_ && store_checked_by(command_) != nullptr;
  }
  const std::string& command() const { return command_; }

  bool null() override { return scalar(Scalar{}); }
  bool boolean(bool) override { return scalar(Scalar{Scalar::other}); }
  bool number_integer(number_integer_t v) override { return scalar(Scalar{Scalar::integer, v >= 0, static_cast<std::uint64_t>(v), v}); }
  bool number_unsigned(number_unsigned_t v) override {
    return scalar(Scalar{Scalar::integer, true, v, v <= static_cast<std::uint64_t>(INT64_MAX) ? static_cast<std::int64_t>(v) : -1});
  }
  bool number_float(number_float_t, const string_t&) override { return scalar(Scalar{Scalar::other}); }
  bool string(string_t& v) override { return scalar(Scalar{Scalar::text, false, 0, 0, &v}); }
  bool binary(binary_t&) override { return false; }

  bool key(string_t& k) override {
    if (stack_.empty()) return false;
    stack_.back().key = k;
    return true;
  }
  bool start_object(std::size_t) override { return open(true); }
  bool start_array(std::size_t) override { return open(false); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  // Where the parser is: the document, its outcomes, one outcome, a list of
  // findings (of the outcome or of its heal), one finding, a heal, or a
  // value the page does not read (skipped, however it is built).
  enum class In { document, outcomes, outcome, findings, finding, heal, skipped };
  struct Level {
    In in;
    std::string key;  // the key whose value comes next, in an object
  };
  struct Scalar {
    enum Kind { null, integer, text, other } kind = null;
    bool non_negative = false;
    std::uint64_t unsigned_value = 0;
    std::int64_t signed_value = 0;  // -1 when it does not fit
    const std::string* text_value = nullptr;
  };
  // The findings of one list as the page keeps them.
  struct Findings {
    std::vector<CheckMark::Found> kept;
    std::uint64_t total = 0;
    std::optional<std::int64_t> earliest;
  };
  // A check document is six levels deep; anything deeper is not one, and
  // is refused before it can take memory.
  static constexpr std::size_t kDeepest = 16;

  bool open(bool object) {
    if (stack_.size() >= kDeepest) return false;
    if (stack_.empty()) {
      if (!object || root_done_) return false;
      stack_.push_back({In::document, {}});
      return true;
    }
    const Level& at = stack_.back();
    In next = In::skipped;
    switch (at.in) {
      case In::document:
        if (at.key == "outcomes") {
          if (object) return false;
          outcomes_seen_ = true, next = In::outcomes;
        } else if (at.key == "command") return false;
        break;
      case In::outcomes:
        if (!object) return false;
        mark_ = CheckMark{}, mark_findings_ = Findings{}, heal_findings_ = Findings{}, heal_seen_ = false, heal_outcome_.clear();
        next = In::outcome;
        break;
      case In::outcome:
        if (at.key == "id" || at.key == "outcome") return false;
        if (at.key == "findings") {
          if (object) return false;
          in_heal_ = false, mark_findings_ = Findings{}, next = In::findings;  // a key given twice: the last counts
        } else if (at.key == "heal") {
          if (!object) return false;
          heal_seen_ = true, heal_outcome_.clear(), mark_.heal_message.clear(), heal_findings_ = Findings{}, next = In::heal;
        }
        break;
      case In::heal:
        if (at.key == "outcome") return false;
        if (at.key == "findings") {
          if (object) return false;
          in_heal_ = true, heal_findings_ = Findings{}, next = In::findings;
        }
        break;
      case In::findings:
        if (!object) return false;
        found_ = CheckMark::Found{}, found_fields_ = 0, next = In::finding;
        break;
      case In::finding:
        if (at.key == "rule" || at.key == "first" || at.key == "count") return false;
        break;
      case In::skipped: break;
    }
    stack_.push_back({next, {}});
    return true;
  }

  bool close() {
    if (stack_.empty()) return false;
    const In in = stack_.back().in;
    stack_.pop_back();
    switch (in) {
      case In::document: root_done_ = true; break;
      case In::finding: {
        if (found_fields_ != 7) return false;  // rule, first and count, each once at least
        Findings& list = in_heal_ ? heal_findings_ : mark_findings_;
        ++list.total;
        if (!list.earliest || found_.first < *list.earliest) list.earliest = found_.first;
        if (list.kept.size() < kFindingsShown) list.kept.push_back(found_);
        break;
      }
      case In::heal:
        if (heal_outcome_ != "healed" && heal_outcome_ != "source" && heal_outcome_ != "failed") return false;
        break;
      case In::outcome: return finish_outcome();
      default: break;
    }
    return true;
  }

  bool scalar(const Scalar& v) {
    if (stack_.empty()) return false;  // a document that is not an object
    const Level& at = stack_.back();
    const bool text = v.kind == Scalar::text;
    switch (at.in) {
      case In::document:
        if (at.key == "outcomes") return false;
        if (at.key == "command") {
          if (!text) return false;
          command_ = kept_text(*v.text_value);
        }
        return true;
      case In::outcomes:
      case In::findings: return false;  // their items are objects
      case In::outcome:
        if (at.key == "id" || at.key == "outcome") {
          if (!text) return false;
          (at.key == "id" ? mark_.id : outcome_) = kept_text(*v.text_value);
          (at.key == "id" ? id_seen_ : outcome_seen_) = true;
        } else if (at.key == "path" || at.key == "kind") {
          if (text) (at.key == "path" ? mark_.path : mark_.kind) = kept_text(*v.text_value);
        } else if (at.key == "findings") {
          return false;
        } else if (at.key == "heal") {
          if (v.kind != Scalar::null) return false;
          heal_seen_ = false;
        }
        return true;
      case In::heal:
        if (at.key == "outcome") {
          if (!text) return false;
          heal_outcome_ = *v.text_value;
        } else if (at.key == "message") {
          mark_.heal_message = text ? kept_text(*v.text_value) : std::string();
        } else if (at.key == "findings") {
          return false;
        }
        return true;
      case In::finding:
        if (at.key == "rule") {
          const auto rule = text ? rule_of(*v.text_value) : std::nullopt;
          if (!rule) return false;
          found_.rule = *rule, found_fields_ |= 1;
        } else if (at.key == "first") {
          if (v.kind != Scalar::integer || v.signed_value < 0) return false;
          found_.first = v.signed_value, found_fields_ |= 2;
        } else if (at.key == "count") {
          if (v.kind != Scalar::integer || !v.non_negative) return false;
          found_.count = v.unsigned_value, found_fields_ |= 4;
        }
        return true;
      case In::skipped: return true;
    }
    return true;
  }

  bool finish_outcome() {
    if (!id_seen_ || !outcome_seen_) return false;
    id_seen_ = outcome_seen_ = false;
    ++out_.files;
    CheckMark& m = mark_;
    m.outcome = outcome_ == "good" || outcome_ == "broken" || outcome_ == "not_checked" ? outcome_ : "locked";
    Findings findings = std::move(mark_findings_);
    if (heal_seen_) {
      m.heal = heal_outcome_;
      // After healing, the findings that count are the refilled file's.
      findings = m.heal == "failed" ? Findings{} : std::move(heal_findings_);
      if (m.heal != "failed") m.outcome = "good";
    }
    m.findings = std::move(findings.kept);
    m.findings_total = findings.total;
    m.earliest = findings.earliest;
    if (m.outcome == "good" && m.findings_total == 0 && m.heal.empty()) return true;
    // Counted always; kept when the bundle holds the file or a list of the
    // page still has room for it.
    bool room = false;
    if (m.outcome != "good")
      room |= ++(m.outcome == "broken" ? out_.broken : m.outcome == "locked" ? out_.held : out_.not_checked) <= kFilesListed;
    if (m.findings_total) room |= ++out_.with_findings <= kFilesListed;
    if (!m.heal.empty()) room |= ++out_.healed <= kFilesListed;
    if (room || !keep_ || keep_->count(m.id)) out_.marks.push_back(std::move(m));
    return true;
  }

  CheckMarks& out_;
  const std::set<std::string>* keep_;
  std::vector<Level> stack_;
  bool root_done_ = false, outcomes_seen_ = false;
  std::string command_;
  // The outcome being read.
  CheckMark mark_;
  std::string outcome_, heal_outcome_;
  bool id_seen_ = false, outcome_seen_ = false, heal_seen_ = false, in_heal_ = false;
  Findings mark_findings_, heal_findings_;
  CheckMark::Found found_;
  unsigned found_fields_ = 0;
};

}  // namespace

CheckMarks read_check_marks_text(const std::string& text, const std::string& path, const std::set<std::string>* keep) {
  CheckMarks c;
  CheckDocumentReader reader(c, keep);
  const bool parsed = nlohmann::json::sax_parse(text, &reader);
  if (!parsed || !reader.finish())
    util::fail(util::ErrorKind::invalid_input, path,
               fmt::format("'{}' is not the JSON document of check-minbar --json or check-tick --json", path));
  c.source = path;
  c.command = reader.command();
  return c;
}

std::string read_check_document(const std::string& path) { return util::read_small_file(path, util::kDocumentCap); }

CheckMarks read_check_marks(const std::string& path) { return read_check_marks_text(read_check_document(path), path); }

std::set<std::string> file_ids(const BundleStatus& status) {
  std::set<std::string> ids;
  for (const auto& s : status.stores)
    for (const auto& f : s.files) ids.insert(f.id);
  return ids;
}

std::string health_page(tessal::Host& host, const BundleStatus& b, const HealthInputs& in) {
  std::string out;
  out.reserve(1 << 16);
  const auto now = util::to_yyyymmddhhmmss(host.datetime_now());
  out += fmt::format(R"(<!DOCTYPE html><html lang="en"><head><meta charset="utf-8"><title>Bundle health: {}</title>)", esc(b.bundle));
  out += kStyle;
  out += "</head><body>";
  out += fmt::format(R"(<h1>Bundle health: {}</h1><p>Made {:04}-{:02}-{:02} {:02}:{:02}:{:02}. )", esc(b.bundle), now / 10000000000,
                     now / 100000000 % 100, now / 1000000 % 100, now / 10000 % 100, now / 100 % 100, now % 100);
  if (b.calendar_last)
    out += fmt::format(R"(Trading calendar: last day <span data-field="calendar_last" data-value="{}">{}</span>; update horizon <span data-field="horizon" data-value="{}">{}</span>.)",
                       *b.calendar_last, day_text(b.calendar_last), day_value(b.horizon), day_text(b.horizon));
  else
    out += fmt::format("Trading calendar {}: {}; stale files are not judged.", esc(b.calendar_path), esc(b.calendar_error));
  out += "</p><h2>Stores</h2>";
  summary_table(out, b);
  out += "<h2>Coverage</h2>";
  out += "<p class=\"legend\">Share of the expected days held:";
  for (const double s : {0.0, 0.25, 0.5, 0.75, 1.0})
    out += fmt::format(R"(<span style="background:{}"></span>{}%)", share_colour(s), static_cast<int>(s * 100));
  out += ". A framed cell misses days; hover a cell for its counts.";
  if (in.check)
    out += " Rows on red are files the check found broken; on yellow, held; on blue, files with content findings (the"
           " month of the first one outlined in blue dashes); on green, files healed from the service; an underlined id"
           " could not be healed.";
  out += "</p>";
  if (!in.lives_note.empty()) out += fmt::format(R"(<p class="note">{}.</p>)", esc(in.lives_note));
  for (const auto& s : b.stores) store_map(out, s, b, in);
  file_lists(out, b);
  if (in.check) check_section(out, *in.check);
  out += "</body></html>\n";
  return out;
}

}  // namespace tessal_plus::bundle
