// The content rules: clean synthetic stores give no finding; one fault
// planted at a time gives that rule alone, with its first time and count.
#include <cmath>
#include <cstring>
#include <functional>

#include "support.hpp"
#include "tessal/ticks_layout.hpp"
#include "tessal_plus/bundle/quality.hpp"
#include "util/datetime.hpp"

using namespace testing_support;
using namespace tessal_plus::bundle;
using tessal::TickRecord;
using Findings = std::vector<Finding>;

namespace tessal_plus::bundle {
void PrintTo(const Finding& f, std::ostream* os) { *os << "{" << rule_name(f.rule) << ", " << f.first << ", " << f.count << "}"; }
}  // namespace tessal_plus::bundle

namespace {

using Days = std::vector<std::vector<DerivativesBar>>;  // one instrument's bars by trading day

std::int64_t stamp(std::int32_t date, int minute) { return date * 1000000LL + minute / 60 * 10000 + minute % 60 * 100; }

// Bars stamped at the end of minutes from+1 .. to of `date` (past 24:00 on the next date).
void session(std::vector<DerivativesBar>& day, std::int32_t date, int from, int to, double level) {
  for (int m = from + 1; m <= to; ++m) {
    const auto k = static_cast<std::int64_t>(day.size());
    const double o = level + 0.01 * static_cast<double>(k % 7), c = level + 0.01 * static_cast<double>((k + 1) % 7);
    day.push_back({stamp(m >= 1440 ? util::add_days(date, 1) : date, m % 1440), o, std::max(o, c) + 0.05, std::min(o, c) - 0.05,
                   c, 1000 + k, 100.0 + static_cast<double>(k), 100.0 * c});
  }
}

const std::vector<std::int32_t>& dates() {
  static const auto d = [] {
    auto w = weekdays(20240102, 20240301);
    w.resize(30);
    return w;
  }();
  return d;
}

// A stock (09:31-11:30, 13:01-15:00) and a future (a night on the previous
// weekday, 21:01-23:00 and from day kLongNights on until 01:00, none on day
// kNoNight; then its day sessions, the first from `day_open`); their levels
// 30% and 16% apart on alternate days.
constexpr std::size_t kNoNight = 5, kLongNights = 15;
Days instrument(bool future, int day_open = 9 * 60) {
  Days days;
  for (std::size_t i = 0; i < dates().size(); ++i) {
    auto& day = days.emplace_back();
    const std::int32_t date = dates()[i], evening = i ? dates()[i - 1] : util::add_days(date, -1);
    const double level = future ? (i % 2 ? 3500 : 3000) : (i % 2 ? 13 : 10);
    if (!future) {
      session(day, date, 9 * 60 + 30, 11 * 60 + 30, level);
      session(day, date, 13 * 60, 15 * 60, level);
      continue;
    }
    if (i != kNoNight) session(day, evening, 21 * 60, i < kLongNights ? 23 * 60 : 25 * 60, level);
    session(day, date, day_open, 10 * 60 + 15, level);
    session(day, date, 10 * 60 + 30, 11 * 60 + 30, level);
    session(day, date, 13 * 60 + 30, 15 * 60, level);
  }
  return days;
}

struct Packed {
  std::vector<char> records;
  std::vector<IndexRecord> index;
};
// The days as `layout`'s records, each field taken by name from the bar.
Packed pack(const Days& days, const RecordLayout& layout) {
  Packed p;
  for (const auto& day : days) {
    p.index.push_back({static_cast<std::int32_t>(day.back().datetime / 1000000),
                       static_cast<std::uint32_t>(p.records.size() / layout.itemsize)});
    for (const auto& bar : day) {
      p.records.resize(p.records.size() + layout.itemsize);
      char* rec = p.records.data() + p.records.size() - layout.itemsize;
      for (const RecordField& f : layout.fields)
        for (const RecordField& from : DERIVATIVES_DTYPE().fields)
          if (f.name == from.name)
            std::memcpy(rec + f.offset, reinterpret_cast<const char*>(&bar) + from.offset, tessal_plus::bundle::field_size(f.kind));
    }
  }
  return p;
}

Findings judge(const Days& days, std::string_view folder, const QualityThresholds& t = {}) {
  const InstrumentClass& cls = *instrument_class_of_folder(folder);
  const Packed p = pack(days, cls.layout());
  const std::size_t size = cls.layout().itemsize, rows = p.records.size() / size;
  const Findings whole = minute_findings(p.records.data(), rows, cls.layout(), p.index, cls.day_rule, folder, t);
  // The same rows handed over in pieces that cut days anywhere, as the
  // check hands over a file's chunks.
  MinuteScan scan(cls.layout(), p.index, rows, cls.day_rule, folder, t);
  for (std::size_t at = 0; at < rows; at += 97) scan.add(p.records.data() + at * size, at, std::min<std::size_t>(97, rows - at));
  EXPECT_EQ(scan.finish(), whole);
  return whole;
}

// Trading day `d` of ticks every minute, the night on the previous date:
// last 100 in a book 0.1 wide, limits 10% away.
std::vector<TickRecord> tick_day(std::size_t d = 1) {
  std::vector<TickRecord> ticks;
  for (const auto& [date, from, to] : {std::tuple{dates()[d - 1], 21 * 60, 23 * 60}, std::tuple{dates()[d], 9 * 60, 15 * 60}})
    for (int m = from; m < to; ++m) {
      TickRecord& t = ticks.emplace_back();
      t.date = date, t.time = (m / 60 * 10000 + m % 60 * 100) * 1000;
      t.last = 1000000 + static_cast<std::int64_t>(ticks.size() % 9) * 100;
      t.a1 = t.last + 1000, t.b1 = t.last - 1000, t.limit_up = 1100000, t.limit_down = 900000;
      t.volume = static_cast<std::int64_t>(ticks.size()) * 10, t.total_turnover = static_cast<double>(t.volume) * 100;
    }
  return ticks;
}
constexpr std::size_t kTick = 300;  // the tick a fault is planted in
std::int64_t at(const TickRecord& t) { return t.date * 1000000000LL + t.time; }
Findings judge_ticks(const std::vector<TickRecord>& ticks) {
  return tick_findings(dates()[1], reinterpret_cast<const char*>(ticks.data()), ticks.size(), tick_layout().fields,
                       sizeof(TickRecord));
}

TEST(Quality, CleanStoresHaveNoFindings) {
  // Overnight moves, a day without its night session, nights that grow
  // past midnight, a suspended day and the stock's lunch break are all clean.
  Days s = instrument(false);
  s.erase(s.begin() + 20);
  EXPECT_EQ(judge(s, "equities"), Findings{});
  EXPECT_EQ(judge(instrument(true), "future"), Findings{});
  EXPECT_EQ(judge(instrument(true), "option"), Findings{});
  // 06:00 is the day session's first minute, not the night's last.
  EXPECT_EQ(judge(instrument(true, 5 * 60 + 59), "future"), Findings{});
  EXPECT_EQ(judge_ticks(tick_day()), Findings{});
  // Half the days is no majority: a last minute held on alternate days is not
  // usual, so the days without it are not short.
  Days alternate = instrument(false);
  for (std::size_t i = 1; i < alternate.size(); i += 2) alternate[i].pop_back();
  EXPECT_EQ(judge(alternate, "equities"), Findings{});
  // Equality is no fault: a locked book, trades at either limit; nor is a
  // tick before the first trade (last 0).
  std::vector<TickRecord> ticks = tick_day();
  ticks[kTick].a1 = ticks[kTick].b1;
  ticks[kTick + 1].last = ticks[kTick + 1].limit_up;
  ticks[kTick + 2].last = ticks[kTick + 2].limit_down;
  ticks[kTick + 3].last = 0;
  EXPECT_EQ(judge_ticks(ticks), Findings{});
}

struct MinutePlant {
  Rule rule;
  const char* folder;
  std::function<Finding(Days&)> plant;  // plants the fault; returns what must be found
};
void PrintTo(const MinutePlant& p, std::ostream* os) { *os << rule_name(p.rule) << " in " << p.folder; }
class QualityMinuteRule : public ::testing::TestWithParam<MinutePlant> {};

TEST_P(QualityMinuteRule, APlantedFaultIsReportedAlone) {
  Days days = instrument(std::string_view(GetParam().folder) != "equities");
  const Finding expected = GetParam().plant(days);
  EXPECT_EQ(judge(days, GetParam().folder), Findings{expected});
}

// A fault in one bar, found at that bar.
MinutePlant in_bar(Rule rule, const char* folder, void (*fault)(DerivativesBar&)) {
  return {rule, folder, [=](Days& d) {
            fault(d[3][40]);
            return Finding{rule, d[3][40].datetime, 1};
          }};
}
// Moves the prices of a day's bars from `from` on by `factor`.
void shift(std::vector<DerivativesBar>& day, std::size_t from, double factor) {
  for (std::size_t k = from; k < day.size(); ++k)
    for (double* x : {&day[k].open, &day[k].high, &day[k].low, &day[k].close}) *x *= factor;
}
// Removes the bars stamped from `from` through `to` of day `d`.
void cut(Days& days, std::size_t d, std::int64_t from, std::int64_t to) {
  std::erase_if(days[d], [&](const DerivativesBar& b) { return b.datetime >= from && b.datetime <= to; });
}

const MinutePlant kMinutePlants[] = {
    in_bar(Rule::non_finite, "equities", [](auto& b) { b.volume = NAN; }),
    in_bar(Rule::non_positive_price, "equities", [](auto& b) { b.low = 0; }),
    in_bar(Rule::ohlc_order, "equities", [](auto& b) { b.high = std::min(b.open, b.close) - 0.01; }),
    in_bar(Rule::ohlc_order, "future", [](auto& b) { b.close = b.high + 0.01; }),
    in_bar(Rule::ohlc_order, "option", [](auto& b) { b.close = b.low - 0.01; }),
    in_bar(Rule::negative_volume, "future", [](auto& b) { b.open_interest = -1; }),
    {Rule::price_jump, "equities",
     [](Days& d) {
       shift(d[3], 100, 1.3);
       return Finding{Rule::price_jump, d[3][100].datetime, 1};
     }},
    // Minutes after midnight carry the date after the evening's.
    {Rule::gap_in_day, "future",
     [](Days& d) {
       const std::int32_t after_midnight = util::add_days(dates()[24], 1);
       cut(d, 25, stamp(after_midnight, 30), stamp(after_midnight, 34));
       return Finding{Rule::gap_in_day, stamp(after_midnight, 30), 5};
     }},
    {Rule::partial_day, "equities",
     [](Days& d) {
       cut(d, 7, stamp(dates()[7], 14 * 60 + 1), stamp(dates()[7], 15 * 60));
       return Finding{Rule::partial_day, stamp(dates()[7], 14 * 60 + 1), 1};
     }},
    // Without its night, a day whose day session opens late is partial,
    // first at the first minute of the day session it lacks.
    {Rule::partial_day, "future",
     [](Days& d) {
       cut(d, 12, 0, stamp(dates()[12], 9 * 60 + 30));
       return Finding{Rule::partial_day, stamp(dates()[12], 9 * 60 + 1), 1};
     }},
};
INSTANTIATE_TEST_SUITE_P(Quality, QualityMinuteRule, ::testing::ValuesIn(kMinutePlants),
                         [](const auto& c) { return std::string(rule_name(c.param.rule)) + "_" + c.param.folder; });

TEST(Quality, PriceJumpThresholdFollowsTheClass) {
  Days s = instrument(false), f = instrument(true);
  shift(s[3], 100, 1.15);
  shift(f[3], 100, 1.15);
  EXPECT_EQ(judge(s, "equities"), Findings{});
  EXPECT_EQ(judge(f, "future"), (Findings{{Rule::price_jump, f[3][100].datetime, 1}}));
  EXPECT_EQ(judge(f, "option"), Findings{});
  EXPECT_EQ(judge(f, "future", parse_thresholds("price_jump.future=0.2")), Findings{});
  // A close that is no price has its own finding; no move to or from it is a jump.
  Days zero = instrument(false);
  zero[3][40].close = zero[3][40].low = 0;
  EXPECT_EQ(judge(zero, "equities"), (Findings{{Rule::non_positive_price, zero[3][40].datetime, 1}}));
}

// The same minutes missing on consecutive days of a stock: 11:00 (a gap)
// and the last half hour (a partial day). Up to (usual_days - 1) / 2 days
// in a row, every day is reported, at the start, in the middle or at the
// end of the history; a longer run is a new schedule, never reported.
TEST(Quality, DayRulesReportEveryDayOfAStreakAndNoNewSchedule) {
  const auto calendar = weekdays(20230102, 20230630);
  const std::size_t n = 100, half = (QualityThresholds{}.usual_days - 1) / 2;
  Days base(n);
  for (std::size_t i = 0; i < n; ++i) {
    session(base[i], calendar[i], 9 * 60 + 30, 11 * 60 + 30, 10);
    session(base[i], calendar[i], 13 * 60, 15 * 60, 10);
  }
  for (const std::size_t length : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{9}, half, half + 1, std::size_t{30}})
    for (const std::size_t from : {std::size_t{0}, std::size_t{40}, n - length}) {
      Days d = base;
      for (std::size_t k = from; k < from + length; ++k) {
        cut(d, k, stamp(calendar[k], 11 * 60), stamp(calendar[k], 11 * 60));
        cut(d, k, stamp(calendar[k], 14 * 60 + 31), stamp(calendar[k], 15 * 60));
      }
      const Findings streak{{Rule::gap_in_day, stamp(calendar[from], 11 * 60), length},
                            {Rule::partial_day, stamp(calendar[from], 14 * 60 + 31), length}};
      EXPECT_EQ(judge(d, "equities"), length <= half ? streak : Findings{}) << length << " days from day " << from;
    }
  // Two days are enough for one to say what the other lacks.
  Days two(base.begin(), base.begin() + 2);
  cut(two, 1, stamp(calendar[1], 14 * 60 + 31), stamp(calendar[1], 15 * 60));
  EXPECT_EQ(judge(two, "equities"), (Findings{{Rule::partial_day, stamp(calendar[1], 14 * 60 + 31), 1}}));
}

struct TickPlant {
  Rule rule;
  void (*fault)(std::vector<TickRecord>&);  // in tick kTick; found there, or at the next tick
  std::size_t found_at = kTick;
};
void PrintTo(const TickPlant& p, std::ostream* os) { *os << rule_name(p.rule); }
class QualityTickRule : public ::testing::TestWithParam<TickPlant> {};

TEST_P(QualityTickRule, APlantedFaultIsReportedAlone) {
  std::vector<TickRecord> ticks = tick_day();
  GetParam().fault(ticks);
  EXPECT_EQ(judge_ticks(ticks), (Findings{{GetParam().rule, at(ticks[GetParam().found_at]), 1}}));
}

INSTANTIATE_TEST_SUITE_P(
    Quality, QualityTickRule,
    ::testing::Values(TickPlant{Rule::non_finite, [](auto& ts) { ts[kTick].total_turnover = INFINITY; }},
                      TickPlant{Rule::crossed_book, [](auto& ts) { ts[kTick].a1 = ts[kTick].b1 - 1; }},
                      TickPlant{Rule::outside_limits, [](auto& ts) { ts[kTick].last = ts[kTick].limit_up + 1; }},
                      TickPlant{Rule::volume_decreasing, [](auto& ts) { ts[kTick].volume = ts[kTick - 1].volume - 1; }},
                      TickPlant{Rule::time_order, [](auto& ts) { ts[kTick].time = ts[kTick + 1].time + 1; }, kTick + 1}),
    [](const auto& c) { return std::string(rule_name(c.param.rule)); });

// Fields are read by their kind, prices of different scales compared as
// prices, and a rule whose fields the layout lacks is not run.
TEST(Quality, TickFieldsAreReadByKindAndScale) {
#pragma pack(push, 1)
  struct Small {
    std::uint32_t date;
    std::int64_t time;
    float last;
    double limit_up;
    std::int64_t limit_down;  // x10000
    std::uint16_t a1;         // x10
    std::int16_t b1;          // x100
    std::uint64_t volume;
  };
#pragma pack(pop)
  using K = tessal_plus::bundle::FieldKind;
  std::vector<tessal_plus::bundle::RecordField> fields = {{"date", K::u32, 1, offsetof(Small, date)},
                                           {"time", K::i64, 1, offsetof(Small, time)},
                                           {"last", K::f32, 1, offsetof(Small, last)},
                                           {"limit_up", K::f64, 1, offsetof(Small, limit_up)},
                                           {"limit_down", K::i64, 10000, offsetof(Small, limit_down)},
                                           {"a1", K::u16, 10, offsetof(Small, a1)},
                                           {"b1", K::i16, 100, offsetof(Small, b1)},
                                           {"volume", K::u64, 1, offsetof(Small, volume)}};
  // 100 in a book 100.1 / 99.9 within 90..110: crossed and outside if the scales were ignored.
  const std::int32_t day = 20240105;
  std::vector<Small> rows(3, Small{day, 93000000, 100.0f, 110.0, 900000, 1001, 9990, 5});
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].time += static_cast<std::int64_t>(i) * 1000, rows[i].volume += i;
  auto judge_small = [&] {
    return tick_findings(day, reinterpret_cast<const char*>(rows.data()), rows.size(), fields, sizeof(Small));
  };
  EXPECT_EQ(judge_small(), Findings{});
  rows[1].last = 80.0f, rows[1].volume = 1, rows[2].a1 = 998;
  const std::int64_t at1 = day * 1000000000LL + rows[1].time, at2 = day * 1000000000LL + rows[2].time;
  EXPECT_EQ(judge_small(), (Findings{{Rule::crossed_book, at2, 1}, {Rule::outside_limits, at1, 1}, {Rule::volume_decreasing, at1, 1}}));
  std::erase_if(fields, [](const auto& f) { return f.name == "limit_up"; });
  EXPECT_EQ(judge_small(), (Findings{{Rule::crossed_book, at2, 1}, {Rule::volume_decreasing, at1, 1}}));
}

TEST(Quality, ThresholdsParse) {
  const QualityThresholds d = parse_thresholds(""),
                          t = parse_thresholds("price_jump.equities=0.3,price_jump.future=0.15,usual_days=11");
  EXPECT_EQ(std::tuple(d.price_jump_equities, d.price_jump_future), std::tuple(0.2, 0.1));
  EXPECT_EQ(std::tuple(t.price_jump_equities, t.price_jump_future, t.usual_days), std::tuple(0.3, 0.15, 11));
  for (const std::string bad : {"price_jump.option=0.1", "price_jump.future=-1", "price_jump.future=nan",
                                "price_jump.future=0.1x", "usual_days=2", "price_jump.future", "usual_days=3,usual_days=4"}) {
    try {
      parse_thresholds(bad);
      ADD_FAILURE() << bad << " was accepted";
    } catch (const util::Error& e) {
      EXPECT_EQ(e.kind(), util::ErrorKind::invalid_input) << bad;
      EXPECT_NE(std::string(e.what()).find(bad.substr(0, bad.find('='))), std::string::npos) << e.what();
    }
  }
}

// The files' findings are those of their records; a tick file's days are
// merged (counts summed, the earliest first, rules in order).
TEST(Quality, FileFindingsMergeTheDays) {
  TempDir dir;
  fs::create_directories(dir / "h5/equities");
  const std::string bars = dir / "h5/equities/000001.XSHE.h5", ticks = dir / "ticks.h5";
  const h5::DatasetOptions opts{true, 64, 9, std::nullopt};
  Days s = instrument(false);
  s[2][10].low = s[9][10].low = -1;
  const Packed p = pack(s, EQUITIES_DTYPE());
  std::vector<TickRecord> first = tick_day(1), second = tick_day(2);
  first[kTick].volume = 0, second[kTick + 1].volume = 0;
  second[kTick].a1 = 0, second[kTick].b1 = second[kTick].last * 2;  // no ask: not crossed
  {
    h5::File f = h5::File::open(bars, h5::Mode::create), t = h5::File::open(ticks, h5::Mode::create);
    f.create_dataset("data", EQUITIES_DTYPE().type, p.records.data(), p.records.size() / sizeof(EquitiesBar), opts);
    f.create_dataset("index", INDEX_DTYPE().type, p.index.data(), p.index.size(), opts);
    t.create_dataset(std::to_string(dates()[2]), tick_layout().type, second.data(), second.size(), opts);
    t.create_dataset(std::to_string(dates()[1]), tick_layout().type, first.data(), first.size(), opts);
    f.close(), t.close();
  }
  EXPECT_EQ(minute_file_findings(bars, {}), (Findings{{Rule::non_positive_price, s[2][10].datetime, 2}}));
  EXPECT_EQ(tick_file_findings(tick_layout(), ticks), (Findings{{Rule::volume_decreasing, at(first[kTick]), 2}}));
  Findings merged = {{Rule::time_order, 9, 1}};
  merge_findings(merged, {{Rule::non_finite, 7, 1}, {Rule::time_order, 3, 2}});
  EXPECT_EQ(merged, (Findings{{Rule::non_finite, 7, 1}, {Rule::time_order, 3, 3}}));
}

}  // namespace
