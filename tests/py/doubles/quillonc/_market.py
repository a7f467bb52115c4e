"""The small deterministic market behind the service double.

Everything is computed from the configuration (environment variable
``QUILLONC_DOUBLE_CONFIG``, a JSON object merged over ``DEFAULTS``), so a
forked or freshly started worker process sees the same market as the test
that configured it. Prices are pure functions of (instrument, calendar
position, slot of the day): asking twice for the same span gives the same
numbers, and a test can compute what a file should hold.
"""
import datetime as _dt
import enum
import json
import math
import os
import zlib

import numpy as np
import pandas as pd

CONFIG_ENV = "QUILLONC_DOUBLE_CONFIG"

# Weekdays on which the exchanges are closed (the calendar is "weekdays minus
# these"). Kept short on purpose: enough to put holes inside the history.
DEFAULT_HOLIDAYS = [
    20230123, 20230124, 20230125, 20230126, 20230127, 20230405, 20230501,
    20230502, 20230503, 20230622, 20230623, 20230929, 20231002, 20231003,
    20231004, 20231005, 20231006,
    20240101, 20240212, 20240213, 20240214, 20240215, 20240216, 20240404,
    20240405, 20240501, 20240502, 20240503, 20240610, 20240916, 20240917,
    20241001, 20241002, 20241003, 20241004, 20241007,
    20250101, 20250128, 20250129, 20250130, 20250131, 20250203, 20250204,
    20250404, 20250501, 20250502, 20250505, 20250602, 20251001, 20251002,
    20251003, 20251006, 20251007, 20251008,
]

# One dict per instrument. Keys besides the service's record fields:
#   session   -- trading hours: "equity", "hk", "cffex" or "night"
#   previous  -- earlier listings of a re-listed id (list of field overrides)
DEFAULT_INSTRUMENTS = [
    dict(order_book_id="600000.XSHG", symbol="SH Bank", type="CS", exchange="XSHG",
         listed_date="1999-11-10", de_listed_date="0000-00-00", session="equity"),
    dict(order_book_id="000001.XSHE", symbol="SZ Bank", type="CS", exchange="XSHE",
         listed_date="1991-04-03", de_listed_date="0000-00-00", session="equity"),
    dict(order_book_id="000002.XSHE", symbol="SZ Estate", type="CS", exchange="XSHE",
         listed_date="1991-01-29", de_listed_date="0000-00-00", session="equity"),
    dict(order_book_id="000022.XSHE", symbol="SZ Port", type="CS", exchange="XSHE",
         listed_date="2019-01-07", de_listed_date="0000-00-00", session="equity",
         previous=[dict(listed_date="1993-05-05", de_listed_date="2018-12-26",
                        symbol="SZ Port Old")]),
    dict(order_book_id="600005.XSHG", symbol="SH Steel", type="CS", exchange="XSHG",
         listed_date="1997-07-03", de_listed_date="2024-04-30", session="equity"),
    dict(order_book_id="600003.XSHG", symbol="SH Road", type="CS", exchange="XSHG",
         listed_date="1999-08-16", de_listed_date="2004-12-31", session="equity"),
    dict(order_book_id="430047.BJSE", symbol="BJ Tech", type="CS", exchange="BJSE",
         listed_date="2014-01-24", de_listed_date="0000-00-00", session="equity"),
    dict(order_book_id="510050.XSHG", symbol="SH50 ETF", type="ETF", exchange="XSHG",
         listed_date="2005-02-23", de_listed_date="0000-00-00", session="equity"),
    dict(order_book_id="160105.XSHE", symbol="SZ LOF", type="LOF", exchange="XSHE",
         listed_date="2006-05-18", de_listed_date="0000-00-00", session="equity"),
    dict(order_book_id="000300.XSHG", symbol="CSI 300", type="INDX", exchange="XSHG",
         listed_date="2005-04-08", de_listed_date="0000-00-00", session="equity"),
    dict(order_book_id="508000.XSHG", symbol="SH REIT", type="REITs", exchange="XSHG",
         listed_date="2021-06-21", de_listed_date="0000-00-00", session="equity"),
    dict(order_book_id="113050.XSHG", symbol="SH Bank CB", type="Convertible", exchange="XSHG",
         listed_date="2019-11-15", de_listed_date="0000-00-00", session="equity",
         stock_code="600000.XSHG"),
    dict(order_book_id="127045.XSHE", symbol="SZ Estate CB", type="Convertible", exchange="XSHE",
         listed_date="2021-09-01", de_listed_date="0000-00-00", session="equity",
         stock_code="000002.XSHE"),
    dict(order_book_id="IF2406", symbol="IF 2406", type="Future", exchange="CFFEX",
         listed_date="2023-10-23", de_listed_date="2024-06-21", session="cffex",
         underlying_symbol="IF", underlying_order_book_id="000300.XSHG"),
    dict(order_book_id="AU2412", symbol="AU 2412", type="Future", exchange="SHFE",
         listed_date="2023-11-16", de_listed_date="2024-12-13", session="night",
         underlying_symbol="AU", underlying_order_book_id="null"),
    dict(order_book_id="AU2412C560", symbol="AU 2412 C560", type="Option", exchange="SHFE",
         listed_date="2024-01-02", de_listed_date="2024-11-25", session="night",
         underlying_symbol="AU", underlying_order_book_id="AU2412"),
    dict(order_book_id="10007000.XSHG", symbol="SH50 ETF C", type="Option", exchange="XSHG",
         listed_date="2024-01-25", de_listed_date="2024-09-25", session="equity",
         underlying_symbol="510050", underlying_order_book_id="510050.XSHG"),
    dict(order_book_id="00700.XHKG", symbol="HK Tech", type="CS", exchange="XHKG",
         listed_date="2004-06-16", de_listed_date="0000-00-00", session="hk", market="hk"),
]

DEFAULTS = {
    # trading calendar: weekdays in [calendar_start, calendar_end] minus holidays
    "calendar_start": 20230103,
    "calendar_end": 20251231,
    "holidays": DEFAULT_HOLIDAYS,
    # first and last day the service has bars for (data_end None: calendar end)
    "history_start": 20240102,
    "data_end": None,
    # first day the service has ticks for (None: history_start)
    "tick_start": None,
    # minute bars per trading day (the full day is 240 for A shares); a smaller
    # count keeps the day's first and last bar and spreads the rest evenly
    "bars_per_day": 240,
    # seconds between two ticks
    "tick_interval": 300,
    # BJSE coverage of a session that nobody initialised in this process
    "default_bjse": False,
    # whether the BJSE stock exists at all (False: no BJSE instrument listed)
    "bjse_listed": True,
    # permissions: False / listed ids make data requests raise PermissionDenied
    "bjse_permission": True,
    "tick_permission": True,
    "denied_ids": [],
    # ids whose data requests raise a plain service error (QuillonError)
    "fail_ids": [],
    # suspension days per id (no minute bars, no ticks, day bar with volume 0)
    "suspended": {"000002.XSHE": [20240305, 20240306, 20240520],
                  "600000.XSHG": [20240415]},
    # days without minute bars / without ticks although not suspended
    "no_bars": {},
    "no_ticks": {},
    # ids whose answers repeat the first row of every trading day right after
    # it, with close/last raised by 1 and volume by 1 (same index value)
    "duplicate_ids": [],
    # answer "no data" with an empty DataFrame instead of None
    "empty_as_frame": False,
    # convertible.instruments answer: "auto" (list for a list-like argument,
    # record for a text), "record" (a single record when exactly one id
    # matches), "none" (always None)
    "convertible_answer": "auto",
    # init failures and warnings
    "init_error": None,
    "init_rejects_enable_bjse": False,
    "bjse_init_denied": False,
    "init_warning": True,
    "is_suspended_warning": True,
    # market changes: extra instrument dicts (same keys as above), ids to drop
    "extra_instruments": [],
    "drop_instruments": [],
}

EQUITY_TYPES = ("CS", "ETF", "LOF", "INDX", "Convertible", "REITs")
DERIVATIVE_TYPES = ("Future", "Option")

# Sessions as (first, last) bar-end minute of day; "night" minutes lie on the
# calendar day of the previous trading day and belong to the next one.
_BAR_SESSIONS = {
    "equity": ([], [(9 * 60 + 31, 11 * 60 + 30), (13 * 60 + 1, 15 * 60)]),
    "cffex": ([], [(9 * 60 + 31, 11 * 60 + 30), (13 * 60 + 1, 15 * 60)]),
    "hk": ([], [(9 * 60 + 31, 12 * 60), (13 * 60 + 1, 16 * 60)]),
    "night": ([(21 * 60 + 1, 23 * 60)],
              [(9 * 60 + 1, 10 * 60 + 15), (10 * 60 + 31, 11 * 60 + 30), (13 * 60 + 31, 15 * 60)]),
}
# Tick sessions as (open, close) second of day, ticks at open + k * interval.
_TICK_SESSIONS = {
    "equity": ([], [(9 * 3600 + 1800, 11 * 3600 + 1800), (13 * 3600, 15 * 3600)]),
    "cffex": ([], [(9 * 3600 + 1800, 11 * 3600 + 1800), (13 * 3600, 15 * 3600)]),
    "hk": ([], [(9 * 3600 + 1800, 12 * 3600), (13 * 3600, 16 * 3600)]),
    "night": ([(21 * 3600, 23 * 3600)],
              [(9 * 3600, 10 * 3600 + 900), (10 * 3600 + 1800, 11 * 3600 + 1800),
               (13 * 3600 + 1800, 15 * 3600)]),
}


# ------------------------------------------------------------------ dates

def to_int_date(value):
    """YYYYMMDD integer of an int, a text ("20240603", "2024-06-03",
    "2024-06-03 10:00:00"), a date, a datetime, a Timestamp or a datetime64."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)):
        raise TypeError("not a date: %r" % (value,))
    if isinstance(value, enum.Enum):
        value = value.value
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, str):
        text = value.strip()
        if len(text) == 8 and text.isdigit():
            return int(text)
        return to_int_date(pd.Timestamp(text))
    if isinstance(value, np.datetime64):
        value = pd.Timestamp(value)
    if isinstance(value, (_dt.date, pd.Timestamp)):
        return value.year * 10000 + value.month * 100 + value.day
    raise TypeError("not a date: %r" % (value,))


def int_to_date(d):
    return _dt.date(d // 10000, d // 100 % 100, d % 100)


def text_to_int(text):
    """'YYYY-MM-DD' -> YYYYMMDD, '0000-00-00' -> 0."""
    return int(text.replace("-", ""))


def today_int():
    """Today for the service: the host's pinned clock TESSAL_NOW when set."""
    now = os.environ.get("TESSAL_NOW")
    if now:
        return to_int_date(now[:10])
    return to_int_date(_dt.date.today())


# ------------------------------------------------------------- instruments

class Instrument:
    """An instrument record, readable by attribute (and by key)."""

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def __getitem__(self, key):
        return self.__dict__[key]

    def __eq__(self, other):
        return isinstance(other, Instrument) and other.__dict__ == self.__dict__

    def __repr__(self):
        inner = ", ".join("%s=%r" % kv for kv in sorted(self.__dict__.items()))
        return "Instrument(%s)" % inner


RECORD_FIELDS = ("order_book_id", "symbol", "type", "exchange", "market", "listed_date",
                 "de_listed_date", "underlying_symbol", "underlying_order_book_id",
                 "stock_code", "round_lot", "trading_hours")

TABLE_COLUMNS = ["order_book_id", "symbol", "type", "exchange", "listed_date", "de_listed_date",
                 "underlying_symbol", "underlying_order_book_id", "round_lot", "trading_hours"]

_TRADING_HOURS = {
    "equity": "09:31-11:30,13:01-15:00",
    "cffex": "09:31-11:30,13:01-15:00",
    "hk": "09:31-12:00,13:01-16:00",
    "night": "21:01-23:00,09:01-10:15,10:31-11:30,13:31-15:00",
}


def _record(spec, overrides=None):
    fields = dict(spec)
    fields.update(overrides or {})
    fields.setdefault("market", "cn")
    fields.setdefault("round_lot", 100.0 if fields["type"] in EQUITY_TYPES else 1.0)
    fields["trading_hours"] = _TRADING_HOURS[fields.get("session", "equity")]
    if fields["type"] not in DERIVATIVE_TYPES:
        fields.setdefault("underlying_symbol", None)
        fields.setdefault("underlying_order_book_id", None)
    rec = {k: fields.get(k) for k in RECORD_FIELDS}
    if fields["type"] != "Convertible":
        del rec["stock_code"]
    return Instrument(**rec)


# ------------------------------------------------------------------ market

class Market:
    def __init__(self, config):
        self.config = config
        c = config
        holidays = set(int(h) for h in c["holidays"])
        days = []
        d = int_to_date(int(c["calendar_start"]))
        end = int_to_date(int(c["calendar_end"]))
        while d <= end:
            di = to_int_date(d)
            if d.weekday() < 5 and di not in holidays:
                days.append(di)
            d += _dt.timedelta(days=1)
        self.trading_days = np.array(days, dtype=np.int64)
        self.day_pos = {d: i for i, d in enumerate(days)}
        self.history_start = int(c["history_start"])
        self.data_end = int(c["data_end"]) if c["data_end"] else int(days[-1])
        self.tick_start = int(c["tick_start"]) if c["tick_start"] else self.history_start
        self.suspended = {k: set(int(x) for x in v) for k, v in c["suspended"].items()}
        self.no_bars = {k: set(int(x) for x in v) for k, v in c["no_bars"].items()}
        self.no_ticks = {k: set(int(x) for x in v) for k, v in c["no_ticks"].items()}

        drop = set(c["drop_instruments"])
        specs = [s for s in DEFAULT_INSTRUMENTS + list(c["extra_instruments"])
                 if s["order_book_id"] not in drop]
        if not c["bjse_listed"]:
            specs = [s for s in specs if s["exchange"] != "BJSE"]
        # later entries (extra_instruments) replace earlier ones of the same id
        self.specs = {}
        for s in specs:
            s = dict(s)
            s.setdefault("market", "cn")
            s.setdefault("session", "equity")
            self.specs[s["order_book_id"]] = s

    # --- instruments ----------------------------------------------------
    def spec(self, order_book_id, market="cn"):
        s = self.specs.get(order_book_id)
        if s is None or s["market"] != (market or "cn"):
            return None
        return s

    def records(self, order_book_id, market="cn"):
        """All listings of an id, oldest first ([] when unknown)."""
        s = self.spec(order_book_id, market)
        if s is None:
            return []
        return [_record(s, prev) for prev in s.get("previous", [])] + [_record(s)]

    def table(self, types=None, market="cn", date=None, bjse=False):
        rows = []
        for s in self.specs.values():
            if s["market"] != (market or "cn"):
                continue
            if s["exchange"] == "BJSE" and not bjse:
                continue
            if types is not None and s["type"] not in types:
                continue
            if date is not None:
                listed = text_to_int(s["listed_date"])
                de_listed = text_to_int(s["de_listed_date"])
                if listed > date or (de_listed and de_listed <= date):
                    continue
            rec = _record(s).__dict__
            rows.append({k: rec.get(k) for k in TABLE_COLUMNS})
        return pd.DataFrame(rows, columns=TABLE_COLUMNS)

    # --- calendar -------------------------------------------------------
    def days_between(self, start, end):
        lo = np.searchsorted(self.trading_days, start, side="left")
        hi = np.searchsorted(self.trading_days, end, side="right")
        return [int(x) for x in self.trading_days[lo:hi]]

    def previous_day(self, day):
        i = np.searchsorted(self.trading_days, day, side="left")
        if i == 0:
            return None
        return int(self.trading_days[i - 1])

    def next_day(self, day, n=1):
        i = np.searchsorted(self.trading_days, day, side="right") + n - 1
        if i >= len(self.trading_days):
            raise ValueError("no trading date after %s in the calendar" % day)
        return int(self.trading_days[i])

    def data_span(self, s):
        """First and last day with data of an instrument (first > last: none)."""
        first = max(self.history_start, text_to_int(s["listed_date"]))
        last = self.data_end
        de_listed = text_to_int(s["de_listed_date"])
        if de_listed:
            last = min(last, de_listed)
        return first, last

    def quoted_days(self, s, start, end):
        """Trading days of the instrument in [start, end], suspension days included."""
        first, last = self.data_span(s)
        return self.days_between(max(first, start), min(last, end))

    def is_suspended_day(self, oid, day):
        return day in self.suspended.get(oid, ())

    # --- prices ---------------------------------------------------------
    @staticmethod
    def base_price(oid):
        return 5.0 + (zlib.crc32(oid.encode()) % 9000) / 100.0

    def _prices(self, oid, day, slots):
        """close, open, high, low, volume, turnover, open interest for slots."""
        di = self.day_pos.get(day, 0)
        slots = np.asarray(slots, dtype=np.int64)
        level = self.base_price(oid) * (1.0 + 0.05 * math.sin(di / 7.0))
        close = np.round(level + 0.01 * (((slots * 7 + di * 3) % 23) - 11), 2)
        open_ = np.round(close - 0.01 * ((slots % 3) - 1), 2)
        high = np.round(np.maximum(open_, close) + 0.02, 2)
        low = np.round(np.minimum(open_, close) - 0.02, 2)
        volume = (100 * ((slots * 31 + di * 17) % 97 + 1)).astype(np.float64)
        turnover = np.round(volume * close, 2)
        oi = (10000 + (di * 13 + slots) % 500).astype(np.float64)
        return close, open_, high, low, volume, turnover, oi

    def _bar_slots(self, session):
        night, day = _BAR_SESSIONS[session]
        minutes = []
        for a, b in night:
            minutes += [(True, m) for m in range(a, b + 1)]
        for a, b in day:
            minutes += [(False, m) for m in range(a, b + 1)]
        n = int(self.config["bars_per_day"])
        if n <= 0:
            n = 1
        if n < len(minutes):
            pick = sorted(set(np.round(np.linspace(0, len(minutes) - 1, n)).astype(int).tolist()))
        else:
            pick = list(range(len(minutes)))
        return [(i, minutes[i][0], minutes[i][1]) for i in pick]

    def minute_frame(self, s, start, end):
        oid = s["order_book_id"]
        derivative = s["type"] in DERIVATIVE_TYPES
        slots = self._bar_slots(s["session"])
        times, tdates, cols = [], [], []
        for day in self.quoted_days(s, start, end):
            if self.is_suspended_day(oid, day) or day in self.no_bars.get(oid, ()):
                continue
            # night bars of trading day `day` lie on the previous trading day
            prev = self.previous_day(day)
            idx = []
            for i, night, minute in slots:
                cal = prev if night else day
                if cal is None:
                    continue
                d = int_to_date(cal)
                times.append(_dt.datetime(d.year, d.month, d.day, minute // 60, minute % 60))
                tdates.append(day)
                idx.append(i)
            cols.append(self._prices(oid, day, idx))
        if not times:
            return None
        close, open_, high, low, volume, turnover, oi = (np.concatenate(c) for c in zip(*cols))
        index = pd.MultiIndex.from_arrays(
            [[oid] * len(times), pd.DatetimeIndex(times)], names=["order_book_id", "datetime"])
        # column order deliberately differs from any record layout
        data = {"volume": volume, "close": close, "high": high, "low": low,
                "total_turnover": turnover, "open": open_}
        if derivative:
            data["open_interest"] = oi
            data["trading_date"] = pd.DatetimeIndex([pd.Timestamp(str(t)) for t in tdates])
        else:
            data["num_trades"] = (volume // 100).astype(np.float64)
        df = pd.DataFrame(data, index=index)
        return self._duplicate(df, oid, tdates, ("close",))

    def _tick_seconds(self, session):
        night, day = _TICK_SESSIONS[session]
        step = max(1, int(self.config["tick_interval"]))
        out = []
        for flag, sessions in ((True, night), (False, day)):
            for a, b in sessions:
                out += [(flag, sec) for sec in range(a, b + 1, step)]
        return out

    def tick_frame(self, s, start, end):
        oid = s["order_book_id"]
        derivative = s["type"] in DERIVATIVE_TYPES
        seconds = self._tick_seconds(s["session"])
        base = self.base_price(oid)
        frames = []
        for day in self.quoted_days(s, max(start, self.tick_start), end):
            if self.is_suspended_day(oid, day) or day in self.no_ticks.get(oid, ()):
                continue
            prev = self.previous_day(day)
            stamps, slots = [], []
            for k, (night, sec) in enumerate(seconds):
                cal = prev if night else day
                if cal is None:
                    continue
                d = int_to_date(cal)
                # every other tick carries half a second, as exchange ticks do
                stamps.append(_dt.datetime(d.year, d.month, d.day, sec // 3600, sec // 60 % 60,
                                           sec % 60, 500000 * (k % 2)))
                slots.append(k)
            close, open_, high, low, volume, turnover, oi = self._prices(oid, day, slots)
            last = close
            vol = np.cumsum(volume)
            tov = np.round(np.cumsum(volume * last), 2)
            prev_close = round(base, 2)
            data = {
                "trading_date": pd.DatetimeIndex([pd.Timestamp(str(day))] * len(stamps)),
                "open": np.full(len(stamps), last[0]),
                "last": last,
                "high": np.maximum.accumulate(last),
                "low": np.minimum.accumulate(last),
                "prev_close": np.full(len(stamps), prev_close),
                "volume": vol,
                "total_turnover": tov,
                "limit_up": np.full(len(stamps), round(prev_close * 1.1, 2)),
                "limit_down": np.full(len(stamps), round(prev_close * 0.9, 2)),
            }
            for lvl in range(1, 6):
                data["a%d" % lvl] = np.round(last + 0.01 * lvl, 2)
            for lvl in range(1, 6):
                data["a%d_v" % lvl] = volume + 10 * lvl
            for lvl in range(1, 6):
                data["b%d" % lvl] = np.round(last - 0.01 * lvl, 2)
            for lvl in range(1, 6):
                data["b%d_v" % lvl] = volume + 20 * lvl
            data["change_rate"] = last / prev_close - 1.0
            if derivative:
                data["open_interest"] = oi
                data["prev_settlement"] = np.full(len(stamps), prev_close)
            index = pd.MultiIndex.from_arrays(
                [[oid] * len(stamps), pd.DatetimeIndex(stamps)], names=["order_book_id", "datetime"])
            frames.append((day, pd.DataFrame(data, index=index)))
        if not frames:
            return None
        tdates = [d for d, f in frames for _ in range(len(f))]
        df = pd.concat([f for _, f in frames])
        return self._duplicate(df, oid, tdates, ("last",))

    def _duplicate(self, df, oid, tdates, price_cols):
        """Repeat each trading day's first row right after it (same index
        value), the copy with prices and volume raised by 1."""
        if oid not in self.config["duplicate_ids"]:
            return df
        tdates = np.asarray(tdates)
        firsts = np.flatnonzero(np.r_[True, tdates[1:] != tdates[:-1]])
        order = np.insert(np.arange(len(df)), firsts + 1, firsts)
        out = df.iloc[order].copy()
        copies = firsts + np.arange(1, len(firsts) + 1)
        for col in price_cols + ("volume",):
            pos = out.columns.get_loc(col)
            out.iloc[copies, pos] = out.iloc[copies, pos] + 1.0
        return out

    def day_frame(self, s, start, end):
        oid = s["order_book_id"]
        derivative = s["type"] in DERIVATIVE_TYPES
        days = self.quoted_days(s, start, end)
        if not days:
            return None
        rows = []
        for day in days:
            close, open_, high, low, volume, turnover, oi = self._prices(oid, day, [0, 1, 2, 3])
            prev_close = round(self.base_price(oid), 2)
            if self.is_suspended_day(oid, day):
                row = dict(open=prev_close, high=prev_close, low=prev_close, close=prev_close,
                           volume=0.0, total_turnover=0.0)
            else:
                row = dict(open=float(open_[0]), high=float(high.max()), low=float(low.min()),
                           close=float(close[-1]), volume=float(volume.sum()),
                           total_turnover=float(turnover.sum()))
            row["prev_close"] = prev_close
            row["limit_up"] = round(prev_close * 1.1, 2)
            row["limit_down"] = round(prev_close * 0.9, 2)
            if derivative:
                row["open_interest"] = float(oi[-1])
                row["settlement"] = row["close"]
                row["prev_settlement"] = prev_close
            else:
                row["num_trades"] = float(row["volume"] // 100)
            rows.append(row)
        index = pd.MultiIndex.from_arrays(
            [[oid] * len(days), pd.DatetimeIndex([pd.Timestamp(str(d)) for d in days])],
            names=["order_book_id", "date"])
        return pd.DataFrame(rows, index=index)

    def suspension_days(self, oid):
        s = self.specs.get(oid)
        if s is None:
            return []
        first, last = self.data_span(s)
        return sorted(d for d in self.suspended.get(oid, ()) if d in self.day_pos
                      and first <= d <= last)


# ------------------------------------------------------------ config cache

_cache = {"raw": None, "market": None}


def load_config(raw=None):
    if raw is None:
        raw = os.environ.get(CONFIG_ENV, "")
    cfg = json.loads(json.dumps(DEFAULTS))
    if raw.strip():
        given = json.loads(raw)
        unknown = set(given) - set(DEFAULTS)
        if unknown:
            raise KeyError("unknown %s keys: %s" % (CONFIG_ENV, sorted(unknown)))
        cfg.update(given)
    return cfg


def current():
    """The market of the present configuration (rebuilt when the variable changes)."""
    raw = os.environ.get(CONFIG_ENV, "")
    if _cache["raw"] != raw or _cache["market"] is None:
        _cache["market"] = Market(load_config(raw))
        _cache["raw"] = raw
    return _cache["market"]
