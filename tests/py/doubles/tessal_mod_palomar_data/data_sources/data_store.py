"""Tick record description and date/time numbers of the host data module.

The tick layout here is deliberately small and mixed (32- and 64-bit
integers, a real, scaled and unscaled fields, 72 bytes a record) and unlike a
full order-book record, so a writer that hard-codes a layout instead of
reading ``COLUMNS``/``FIELDS``/``DTYPES`` is caught by the tests.
"""
import numpy as np

from tessal.utils.datetime_func import _as_datetime


def date_to_number(dt):
    """YYYYMMDD of a date, datetime, Timestamp or datetime64."""
    t = _as_datetime(dt)
    return t.year * 10000 + t.month * 100 + t.day


def time_to_number(dt):
    """HHMMSSmmm (milliseconds last) of a datetime, Timestamp or datetime64:
    09:30:00.500 -> 93000500."""
    t = _as_datetime(dt)
    return t.hour * 10000000 + t.minute * 100000 + t.second * 1000 + t.microsecond // 1000


# The full order-book record of the command line's own host, for tests that
# compare the package's files with the command line's byte for byte
# (TESSAL_DOUBLE_TICK_LAYOUT=full).
_PRICE = 10000
_FULL = [("date", "<i4", 1), ("time", "<i4", 1)] + [(n, "<i8", _PRICE) for n in ("open", "last", "high", "low", "prev_close")] + [
    ("volume", "<i8", 1), ("total_turnover", "<f8", 1), ("open_interest", "<i8", 1)] + [
    (n, "<i8", _PRICE) for n in ("prev_settlement", "limit_up", "limit_down")] + [
    (f"{side}{k}", "<i8", _PRICE) for side in "ab" for k in range(1, 6)] + [
    (f"{side}{k}_v", "<i8", 1) for side in "ab" for k in range(1, 6)]


class H5TicksLoader:
    """Layout of one stored tick.

    ``FIELDS``: (column, numpy type, scale) -- a value is multiplied by
    ``scale`` before it is stored, so prices are kept as integers of 1/10000.
    ``COLUMNS`` and ``DTYPES`` follow ``FIELDS`` in order.
    """

    FIELDS = [
        ("date", "<i4", 1),
        ("time", "<i4", 1),
        ("last", "<i8", 10000),
        ("volume", "<i8", 1),
        ("total_turnover", "<f8", 1),
        ("open_interest", "<i8", 1),
        ("a1", "<i8", 10000),
        ("b1", "<i8", 10000),
        ("a1_v", "<i8", 1),
        ("b1_v", "<i8", 1),
    ]
    import os as _os
    if _os.environ.get("TESSAL_DOUBLE_TICK_LAYOUT") == "full":
        FIELDS = _FULL
    COLUMNS = [name for name, _, _ in FIELDS]
    DTYPES = np.dtype([(name, typ) for name, typ, _ in FIELDS])

    def __init__(self, path=None):
        self._path = path

    @classmethod
    def decode(cls, records):
        """Stored records -> dict of columns in service units (scales undone)."""
        return {name: records[name] / scale if scale != 1 else records[name]
                for name, _, scale in cls.FIELDS}
