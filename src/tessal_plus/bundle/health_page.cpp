#include "tessal_plus/bundle/health_page.hpp"
#include "tessal_plus/bundle/checks.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tessal_plus/bundle/constants.hpp"
#include "tessal_plus/bundle/outside/host.hpp"
#include "util/datetime.hpp"
#include "util/error.hpp"

namespace tessal_plus::bundle {

namespace {

// Every text from a file name, the instrument list or a check document goes
// through here, in element content and in quoted attributes alike.
std::string esc(std::string_view s) {
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
void mark_row(Row& r, const CheckMark& m, bool minute_bars) {
  // A file nobody could judge is banded as one held: not known to be good.
  r.mark = m.outcome == "broken" ? "broken" : m.outcome == "locked" || m.outcome == "not_checked" ? "held" : !m.findings.empty() ? "finding" : "";
  r.heal = m.heal;
  r.findings = findings_text(m);
  for (const auto& f : m.findings) {
    const auto month = static_cast<std::int32_t>(f.first / (minute_bars ? 100000000LL : 100000000000LL));
    if (!r.finding_month || month < r.finding_month) r.finding_month = month;
  }
}

void store_map(std::string& out, const StoreStatus& s, const BundleStatus& b, const HealthInputs& in) {
  const std::string title = s.minute_bars ? "Minute bars: " + s.name : std::string("Ticks");
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
  if (in.check && (in.check->command != "check-tick") == s.minute_bars)
    for (const auto& m : in.check->marks) marks[m.id] = &m;
  std::vector<Row> rows;
  rows.reserve(s.files.size());
  for (const auto& f : s.files) {
    const auto life = in.lives.find(f.id);
    const auto suspended = in.suspended.find(f.id);
    rows.push_back(coverage(f, axis, life == in.lives.end() ? InstrumentLife{} : life->second,
                            suspended == in.suspended.end() ? nullptr : &suspended->second));
    if (const auto m = marks.find(f.id); m != marks.end()) mark_row(rows.back(), *m->second, s.minute_bars);
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
    out += fmt::format(R"(<tr data-store="{}" data-kind="{}"><th>{}</th>)", esc(s.name), s.minute_bars ? "minute" : "tick",
                       esc(s.minute_bars ? "minute bars " + s.name : s.name));
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

std::string findings_text(const CheckMark& m) {
  std::string out;
  for (const auto& f : m.findings) out += fmt::format("{}{} x{} (first {})", out.empty() ? "" : ", ", rule_name(f.rule), f.count, f.first);
  return out;
}

void check_section(std::string& out, const CheckMarks& c) {
  std::size_t broken = 0, held = 0, unchecked = 0;
  for (const auto& m : c.marks)
    broken += m.outcome == "broken", held += m.outcome == "locked", unchecked += m.outcome == "not_checked";
  out += fmt::format(R"(<h2>Check</h2><p>{} ({}): {} files, {} broken, {} held by another process{}.</p>)", esc(c.command),
                     esc(c.source), c.files, broken, held, unchecked ? fmt::format(", {} not checked", unchecked) : "");
  std::string found, healed;
  for (const auto& m : c.marks) {
    if (!m.findings.empty())
      found += fmt::format(R"(<li data-id="{}">{}: {}</li>)", esc(m.id), esc(m.id), esc(findings_text(m)));
    if (!m.heal.empty())
      healed += fmt::format(R"(<li data-id="{}" data-heal="{}">{}: {}{}</li>)", esc(m.id), esc(m.heal), esc(m.id), esc(m.heal),
                            m.heal_message.empty() ? "" : " (" + esc(m.heal_message) + ")");
  }
  if (!found.empty()) out += R"(<h3>Content findings</h3><ul class="check-findings">)" + found + "</ul>";
  if (!healed.empty()) out += R"(<h3>Healing</h3><ul class="check-heal">)" + healed + "</ul>";
  const std::pair<const char*, const char*> lists[] = {{"broken", "Broken"}, {"locked", "Held"}, {"not_checked", "Not checked"}};
  for (const auto& [outcome, heading] : lists) {
    std::string items;
    for (const auto& m : c.marks)
      if (m.outcome == outcome)
        items += fmt::format(R"(<li data-id="{}">{}{}</li>)", esc(m.id), esc(m.path), m.kind.empty() ? "" : " (" + esc(m.kind) + ")");
    if (!items.empty()) out += fmt::format(R"(<h3>{}</h3><ul class="check-{}">{}</ul>)", heading, outcome, items);
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

CheckMarks read_check_marks(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) util::fail(util::ErrorKind::invalid_input, path, fmt::format("cannot read the check document '{}'", path));
  std::stringstream text;
  text << in.rdbuf();
  const auto doc = nlohmann::json::parse(text.str(), nullptr, false);
  const auto refuse = [&] {
    util::fail(util::ErrorKind::invalid_input, path,
               fmt::format("'{}' is not the JSON document of check-minbar --json or check-tick --json", path));
  };
  if (!doc.is_object() || !doc.contains("outcomes") || !doc["outcomes"].is_array() || !doc.contains("command") ||
      !doc["command"].is_string())
    refuse();
  CheckMarks c;
  c.source = path;
  c.command = doc["command"].get<std::string>();
  if (c.command != "check-minbar" && c.command != "check-tick") refuse();
  for (const auto& o : doc["outcomes"]) {
    if (!o.is_object() || !o.contains("id") || !o["id"].is_string() || !o.contains("outcome") || !o["outcome"].is_string()) refuse();
    ++c.files;
    const auto outcome = o["outcome"].get<std::string>();
    CheckMark m;
    m.id = o["id"].get<std::string>();
    m.outcome = outcome == "good" || outcome == "broken" || outcome == "not_checked" ? outcome : "locked";
    if (o.contains("path") && o["path"].is_string()) m.path = o["path"].get<std::string>();
    if (o.contains("kind") && o["kind"].is_string()) m.kind = o["kind"].get<std::string>();
    // Documents of checks without --quality or --heal have neither key.
    const auto read_findings = [&](const nlohmann::json& list) {
      if (!list.is_array()) refuse();
      for (const auto& f : list) {
        if (!f.is_object() || !f.contains("rule") || !f["rule"].is_string() || !f.contains("first") ||
            !f["first"].is_number_integer() || !f.contains("count") || !f["count"].is_number_integer())
          refuse();
        const auto rule = rule_of(f["rule"].get<std::string>());
        if (!rule) refuse();
        m.findings.push_back({*rule, f["first"].get<std::int64_t>(), f["count"].get<std::uint64_t>()});
      }
    };
    if (o.contains("findings")) read_findings(o["findings"]);
    if (o.contains("heal") && !o["heal"].is_null()) {
      const auto& h = o["heal"];
      if (!h.is_object() || !h.contains("outcome") || !h["outcome"].is_string()) refuse();
      m.heal = h["outcome"].get<std::string>();
      if (m.heal != "healed" && m.heal != "source" && m.heal != "failed") refuse();
      if (h.contains("message") && h["message"].is_string()) m.heal_message = h["message"].get<std::string>();
      // After healing, the findings that count are the refilled file's.
      m.findings.clear();
      if (m.heal != "failed" && h.contains("findings")) read_findings(h["findings"]);
      if (m.heal != "failed") m.outcome = "good";
    }
    if (m.outcome == "good" && m.findings.empty() && m.heal.empty()) continue;
    c.marks.push_back(std::move(m));
  }
  return c;
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
