// The content rules: clean synthetic stores give no finding; one fault
// planted at a time gives that rule alone, with its first time and count.
#include <cmath>
#include <cstring>
#include <functional>

#include "h5/h5.hpp"
#include "support.hpp"
#include "tessal/ticks_layout.hpp"
#include "tessal_plus/bundle/quality.hpp"
#include "util/datetime.hpp"

using namespace testing_support;
using namespace tessal_plus::bundle;
using tessal::TickRecord;

namespace tessal_plus::bundle {
void PrintTo(const Finding& f, std::ostream* os) { *os << "{" << f.rule << ", " << f.first << ", " << f.count << "}"; }
}  // namespace tessal_plus::bundle

namespace {

// One instrument's bars, by trading day.
using Days = std::vector<std::vector<DerivativesBar>>;

std::int64_t stamp(std::int32_t date, int minute) {
  return date * 1000000LL + minute / 60 * 10000 + minute % 60 * 100;
}

// Bars stamped at each minute's end, from+1 .. to (minutes of `date`; past
// 24:00 they fall on the next date).
void session(std::vector<DerivativesBar>& day, std::int32_t date, int from, int to, double level) {
  for (int m = from + 1; m <= to; ++m) {
    const auto k = static_cast<std::int64_t>(day.size());
    const double o = level + 0.01 * static_cast<double>(k % 7), c = level + 0.01 * static_cast<double>((k + 1) % 7);
    const double v = 100.0 + static_cast<double>(k);
    day.push_back({stamp(m >= 1440 ? util::add_days(date, 1) : date, m % 1440), o, std::max(o, c) + 0.05,
                   std::min(o, c) - 0.05, c, 1000 + k, v, v * c});
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

// A stock: 09:31-11:30 and 13:01-15:00, its level 30% apart on alternate days.
Days stock() {
  Days days;
  for (std::size_t i = 0; i < dates().size(); ++i) {
    auto& day = days.emplace_back();
    const double level = i % 2 ? 13 : 10;
    session(day, dates()[i], 9 * 60 + 30, 11 * 60 + 30, level);
    session(day, dates()[i], 13 * 60, 15 * 60, level);
  }
  return days;
}

constexpr std::size_t kNoNight = 5, kLongNights = 15;  // days of the future
// A future: a night session on the previous weekday (21:01-23:00, from day
// kLongNights on until 01:00), none on day kNoNight, then its day sessions.
Days future() {
  Days days;
  for (std::size_t i = 0; i < dates().size(); ++i) {
    auto& day = days.emplace_back();
    const double level = i % 2 ? 3500 : 3000;
    const std::int32_t evening = i ? dates()[i - 1] : util::add_days(dates()[0], -1);
    if (i != kNoNight) session(day, evening, 21 * 60, i < kLongNights ? 23 * 60 : 25 * 60, level);
    session(day, dates()[i], 9 * 60, 10 * 60 + 15, level);
    session(day, dates()[i], 10 * 60 + 30, 11 * 60 + 30, level);
    session(day, dates()[i], 13 * 60 + 30, 15 * 60, level);
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
    const auto date = static_cast<std::int32_t>(day.back().datetime / 1000000);  // of the day session
    p.index.push_back({date, static_cast<std::uint32_t>(p.records.size() / layout.itemsize)});
    for (const auto& bar : day) {
      const std::size_t at = p.records.size();
      p.records.resize(at + layout.itemsize);
      for (const Field& f : layout.fields)
        for (const Field& from : DERIVATIVES_FIELDS)
          if (std::strcmp(f.name, from.name) == 0)
            std::memcpy(p.records.data() + at + f.offset, reinterpret_cast<const char*>(&bar) + from.offset, field_size(f.kind));
    }
  }
  return p;
}

std::vector<Finding> judge(const Days& days, std::string_view folder, const QualityThresholds& t = {}) {
  const InstrumentClass& cls = *instrument_class_of_folder(folder);
  const Packed p = pack(days, cls.layout());
  return minute_findings(p.records.data(), p.records.size() / cls.layout().itemsize, cls.layout(), p.index, cls.day_rule,
                         folder, t);
}

// Trading day `d` of ticks every minute: the night on the previous date,
// then the day; last 100 in a book 0.1 wide, limits 10% away.
std::vector<TickRecord> tick_day(std::size_t d = 1) {
  std::vector<TickRecord> ticks;
  auto add = [&](std::int32_t date, int from, int to) {
    for (int m = from; m < to; ++m) {
      TickRecord t{};
      t.date = date;
      t.time = (m / 60 * 10000 + m % 60 * 100) * 1000;
      t.last = 1000000 + static_cast<std::int64_t>(ticks.size() % 9) * 100;
      t.a1 = t.last + 1000, t.b1 = t.last - 1000, t.limit_up = 1100000, t.limit_down = 900000;
      t.volume = static_cast<std::int64_t>(ticks.size() + 1) * 10;
      t.total_turnover = static_cast<double>(t.volume) * 100;
      ticks.push_back(t);
    }
  };
  add(dates()[d - 1], 21 * 60, 23 * 60);
  add(dates()[d], 9 * 60, 15 * 60);
  return ticks;
}
constexpr std::size_t kTick = 300;  // the tick a fault is planted in
std::int64_t at(const TickRecord& t) { return t.date * 1000000000LL + t.time; }

std::vector<Finding> judge_ticks(const std::vector<TickRecord>& ticks, const std::vector<tessal::TickField>& fields =
                                                                           tessal::H5TicksLoader::FIELDS()) {
  return tick_findings(dates()[1], reinterpret_cast<const char*>(ticks.data()), ticks.size(), fields, sizeof(TickRecord));
}

TEST(Quality, CleanStoresHaveNoFindings) {
  // Overnight moves, a day without its night session, nights that grow
  // past midnight, a suspended day and the stock's lunch break are all clean.
  Days s = stock();
  s.erase(s.begin() + 20);
  EXPECT_EQ(judge(s, "equities"), std::vector<Finding>{});
  EXPECT_EQ(judge(future(), "future"), std::vector<Finding>{});
  EXPECT_EQ(judge(future(), "option"), std::vector<Finding>{});
  EXPECT_EQ(judge_ticks(tick_day()), std::vector<Finding>{});
}

struct MinutePlant {
  const char* rule;
  const char* folder;
  std::function<Finding(Days&)> plant;  // plants the fault; returns what must be found
};
void PrintTo(const MinutePlant& p, std::ostream* os) { *os << p.rule << " in " << p.folder; }
class QualityMinuteRule : public ::testing::TestWithParam<MinutePlant> {};

TEST_P(QualityMinuteRule, APlantedFaultIsReportedAlone) {
  const MinutePlant& p = GetParam();
  Days days = std::string_view(p.folder) == "equities" ? stock() : future();
  const Finding expected = p.plant(days);
  EXPECT_EQ(judge(days, p.folder), std::vector<Finding>{expected});
}

// Moves the prices of a day's bars from `from` on by `factor`.
void shift(std::vector<DerivativesBar>& day, std::size_t from, double factor) {
  for (std::size_t k = from; k < day.size(); ++k)
    for (double* x : {&day[k].open, &day[k].high, &day[k].low, &day[k].close}) *x *= factor;
}

// Removes the bars of minutes [from, to] (stamped at their end) of day `d`.
void cut(Days& days, std::size_t d, std::int64_t from, std::int64_t to) {
  std::erase_if(days[d], [&](const DerivativesBar& b) { return b.datetime >= from && b.datetime <= to; });
}

INSTANTIATE_TEST_SUITE_P(
    Quality, QualityMinuteRule,
    ::testing::Values(
        MinutePlant{"non_finite", "equities", [](Days& d) {
                      d[3][40].volume = NAN;
                      return Finding{"non_finite", d[3][40].datetime, 1};
                    }},
        MinutePlant{"non_positive_price", "equities", [](Days& d) {
                      d[3][40].low = 0;
                      return Finding{"non_positive_price", d[3][40].datetime, 1};
                    }},
        MinutePlant{"ohlc_order", "equities", [](Days& d) {
                      d[3][40].high = std::min(d[3][40].open, d[3][40].close) - 0.01;
                      return Finding{"ohlc_order", d[3][40].datetime, 1};
                    }},
        MinutePlant{"negative_volume", "future", [](Days& d) {
                      d[3][40].open_interest = -1;
                      return Finding{"negative_volume", d[3][40].datetime, 1};
                    }},
        MinutePlant{"price_jump", "equities", [](Days& d) {
                      shift(d[3], 100, 1.3);
                      return Finding{"price_jump", d[3][100].datetime, 1};
                    }},
        // Minutes after midnight carry the date after the evening's.
        MinutePlant{"gap_in_day", "future", [](Days& d) {
                      const std::int32_t evening = dates()[24];
                      cut(d, 25, stamp(util::add_days(evening, 1), 30), stamp(util::add_days(evening, 1), 34));
                      return Finding{"gap_in_day", stamp(util::add_days(evening, 1), 30), 5};
                    }},
        MinutePlant{"partial_day", "equities", [](Days& d) {
                      cut(d, 7, stamp(dates()[7], 14 * 60 + 1), stamp(dates()[7], 15 * 60));
                      return Finding{"partial_day", stamp(dates()[7], 14 * 60), 1};
                    }},
        // Without its night, a day whose day session opens late is partial.
        MinutePlant{"partial_day", "future", [](Days& d) {
                      cut(d, 12, 0, stamp(dates()[12], 9 * 60 + 30));
                      return Finding{"partial_day", stamp(dates()[12], 9 * 60 + 31), 1};
                    }}),
    [](const auto& c) { return std::string(c.param.rule) + "_" + c.param.folder; });

TEST(Quality, PriceJumpThresholdFollowsTheClass) {
  Days s = stock(), f = future();
  shift(s[3], 100, 1.15);
  shift(f[3], 100, 1.15);
  EXPECT_EQ(judge(s, "equities"), std::vector<Finding>{});
  ASSERT_EQ(judge(f, "future").size(), 1u);
  EXPECT_EQ(judge(f, "future")[0], (Finding{"price_jump", f[3][100].datetime, 1}));
  EXPECT_EQ(judge(f, "option"), std::vector<Finding>{});
  EXPECT_EQ(judge(f, "future", parse_thresholds("price_jump.future=0.2")), std::vector<Finding>{});
}

struct TickPlant {
  const char* rule;
  std::function<Finding(std::vector<TickRecord>&)> plant;
};
void PrintTo(const TickPlant& p, std::ostream* os) { *os << p.rule; }
class QualityTickRule : public ::testing::TestWithParam<TickPlant> {};

TEST_P(QualityTickRule, APlantedFaultIsReportedAlone) {
  std::vector<TickRecord> ticks = tick_day();
  const Finding expected = GetParam().plant(ticks);
  EXPECT_EQ(judge_ticks(ticks), std::vector<Finding>{expected});
}

INSTANTIATE_TEST_SUITE_P(
    Quality, QualityTickRule,
    ::testing::Values(TickPlant{"non_finite", [](auto& ts) {
                                  ts[kTick].total_turnover = INFINITY;
                                  return Finding{"non_finite", at(ts[kTick]), 1};
                                }},
                      TickPlant{"crossed_book", [](auto& ts) {
                                  ts[kTick].a1 = ts[kTick].b1 - 1;
                                  return Finding{"crossed_book", at(ts[kTick]), 1};
                                }},
                      TickPlant{"outside_limits", [](auto& ts) {
                                  ts[kTick].last = ts[kTick].limit_up + 1;
                                  return Finding{"outside_limits", at(ts[kTick]), 1};
                                }},
                      TickPlant{"volume_decreasing", [](auto& ts) {
                                  ts[kTick].volume = ts[kTick - 1].volume - 1;
                                  return Finding{"volume_decreasing", at(ts[kTick]), 1};
                                }},
                      TickPlant{"time_order", [](auto& ts) {
                                  ts[kTick].time = ts[kTick + 1].time + 1;
                                  return Finding{"time_order", at(ts[kTick + 1]), 1};
                                }}),
    [](const auto& c) { return std::string(c.param.rule); });

// A layout of other kinds and scales: fields are read by their kind, prices
// of different scales compared as prices, and a rule whose fields the
// layout lacks is not run.
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
  using K = tessal::FieldKind;
  std::vector<tessal::TickField> fields = {
      {"date", K::u32, 1, offsetof(Small, date)},         {"time", K::i64, 1, offsetof(Small, time)},
      {"last", K::f32, 1, offsetof(Small, last)},         {"limit_up", K::f64, 1, offsetof(Small, limit_up)},
      {"limit_down", K::i64, 10000, offsetof(Small, limit_down)}, {"a1", K::u16, 10, offsetof(Small, a1)},
      {"b1", K::i16, 100, offsetof(Small, b1)},           {"volume", K::u64, 1, offsetof(Small, volume)}};
  // 100 in a book 100.1 / 99.9 within 90..110: clean once the scales are
  // applied, crossed and outside if they were not.
  const std::int32_t day = 20240105;
  std::vector<Small> rows(3, Small{day, 93000000, 100.0f, 110.0, 900000, 1001, 9990, 5});
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].time += static_cast<std::int64_t>(i) * 1000, rows[i].volume += i;
  auto judge_small = [&] { return tick_findings(day, reinterpret_cast<const char*>(rows.data()), rows.size(), fields, sizeof(Small)); };
  EXPECT_EQ(judge_small(), std::vector<Finding>{});
  rows[1].last = 80.0f, rows[1].volume = 1, rows[2].a1 = 998;
  const std::int64_t at1 = day * 1000000000LL + rows[1].time, at2 = day * 1000000000LL + rows[2].time;
  EXPECT_EQ(judge_small(), (std::vector<Finding>{{"crossed_book", at2, 1}, {"outside_limits", at1, 1}, {"volume_decreasing", at1, 1}}));
  std::erase_if(fields, [](const auto& f) { return f.name == "limit_up"; });
  EXPECT_EQ(judge_small(), (std::vector<Finding>{{"crossed_book", at2, 1}, {"volume_decreasing", at1, 1}}));
}

TEST(Quality, ThresholdsParse) {
  const QualityThresholds d = parse_thresholds("");
  EXPECT_EQ(d.price_jump_equities, 0.2);
  EXPECT_EQ(d.price_jump_future, 0.1);
  const QualityThresholds t = parse_thresholds("price_jump.equities=0.3,price_jump.future=0.15,usual_days=11");
  EXPECT_EQ(t.price_jump_equities, 0.3);
  EXPECT_EQ(t.price_jump_future, 0.15);
  EXPECT_EQ(t.usual_days, 11);
  for (const char* bad : {"price_jump.option=0.1", "price_jump.future=-1", "price_jump.future=nan", "price_jump.future=0.1x",
                          "usual_days=2", "price_jump.future"}) {
    try {
      parse_thresholds(bad);
      ADD_FAILURE() << bad << " was accepted";
    } catch (const util::Error& e) {
      EXPECT_EQ(e.kind(), util::ErrorKind::invalid_input) << bad;
      const std::string_view text(bad);
      EXPECT_NE(std::string(e.what()).find(text.substr(0, text.find('='))), std::string::npos) << e.what();
    }
  }
}

// The files' findings are those of their records; a tick file's days are
// merged (counts summed, the earliest first, rules in order).
TEST(Quality, FileFindingsMergeTheDays) {
  TempDir dir;
  fs::create_directories(dir / "h5/equities");
  const std::string bars = dir / "h5/equities/000001.XSHE.h5", ticks = dir / "ticks.h5";
  Days s = stock();
  s[2][10].low = -1;
  s[9][10].low = -1;
  const Packed p = pack(s, EQUITIES_DTYPE());
  const h5::DatasetOptions opts{true, 64, 9, std::nullopt};
  {
    h5::File f = h5::File::open(bars, h5::Mode::create);
    f.create_dataset("data", EQUITIES_DTYPE().type, p.records.data(), p.records.size() / sizeof(EquitiesBar), opts);
    f.create_dataset("index", INDEX_DTYPE().type, p.index.data(), p.index.size(), opts);
    f.close();
  }
  EXPECT_EQ(minute_file_findings(bars, {}), (std::vector<Finding>{{"non_positive_price", s[2][10].datetime, 2}}));

  std::vector<TickRecord> first = tick_day(1), second = tick_day(2);
  first[kTick].volume = 0, second[kTick].a1 = 0, second[kTick].b1 = second[kTick].last * 2;
  second[kTick + 1].volume = 0;
  {
    h5::File f = h5::File::open(ticks, h5::Mode::create);
    f.create_dataset(std::to_string(dates()[2]), tessal::H5TicksLoader::DTYPES(), second.data(), second.size(), opts);
    f.create_dataset(std::to_string(dates()[1]), tessal::H5TicksLoader::DTYPES(), first.data(), first.size(), opts);
    f.close();
  }
  // The second day's book has no ask: not crossed.
  EXPECT_EQ(tick_file_findings(ticks), (std::vector<Finding>{{"volume_decreasing", at(first[kTick]), 2}}));
  std::vector<Finding> merged = {{"time_order", 9, 1}};
  merge_findings(merged, {{"non_finite", 7, 1}, {"time_order", 3, 2}});
  EXPECT_EQ(merged, (std::vector<Finding>{{"non_finite", 7, 1}, {"time_order", 3, 3}}));
}

}  // namespace
