"""Date helpers and the host's clock.

``datetime`` is the standard class with ``now``/``today`` reading the pinned
time ``TESSAL_NOW`` ("YYYY-MM-DD HH:MM:SS", fractions of a second allowed)
when that variable is set, so tests can put the clock on either side of the
17:30 cut-off. Everything else (construction, arithmetic, ``strftime``) is the
standard class's.
"""
import datetime as _dt
import os

NOW_ENV = "TESSAL_NOW"


class datetime(_dt.datetime):
    @classmethod
    def now(cls, tz=None):
        text = os.environ.get(NOW_ENV, "").strip()
        if not text:
            return super().now(tz)
        t = _dt.datetime.fromisoformat(text)
        if tz is not None:
            t = t.replace(tzinfo=tz)
        return cls(t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond, t.tzinfo)

    @classmethod
    def today(cls):
        return cls.now()


def _as_datetime(value):
    if isinstance(value, _dt.datetime):
        return value
    if isinstance(value, _dt.date):
        return _dt.datetime(value.year, value.month, value.day)
    import pandas as pd
    return pd.Timestamp(value).to_pydatetime()


def convert_dt_to_int(dt):
    """YYYYMMDDHHMMSS of a datetime, Timestamp, datetime64 or date."""
    t = _as_datetime(dt)
    return (t.year * 10000000000 + t.month * 100000000 + t.day * 1000000
            + t.hour * 10000 + t.minute * 100 + t.second)


def convert_date_to_int(dt):
    """YYYYMMDD000000 of a date (the day's first second as a time number)."""
    t = _as_datetime(dt)
    return (t.year * 10000 + t.month * 100 + t.day) * 1000000


def convert_int_to_datetime(dt_int):
    """Inverse of ``convert_dt_to_int``."""
    dt_int = int(dt_int)
    d, t = divmod(dt_int, 1000000)
    return datetime(d // 10000, d // 100 % 100, d % 100, t // 10000, t // 100 % 100, t % 100)
