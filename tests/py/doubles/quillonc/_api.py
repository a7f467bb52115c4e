"""Requests of the service double. Every public function here is recorded
(see ``_record``) before it does anything, so a refused request is on the
record too."""
import enum
import warnings

import pandas as pd

from . import _market, _session
from ._record import recorded
from .share.errors import PermissionDenied, QuillonError


def _cfg():
    return _market.current().config


def _types(value):
    if value is None:
        return None
    if isinstance(value, enum.Enum):
        return {value.value}
    if isinstance(value, str):
        return {value}
    return {v.value if isinstance(v, enum.Enum) else v for v in value}


def _ids(value):
    if isinstance(value, str):
        return [value], True
    return [str(v) for v in value], False


def _nothing():
    return pd.DataFrame() if _cfg()["empty_as_frame"] else None


@recorded("init")
def init(*args, **kwargs):
    """Open the process-wide session; keyword ``enable_bjse`` sets whether
    the instrument tables list BJSE instruments."""
    cfg = _cfg()
    if cfg["init_rejects_enable_bjse"] and "enable_bjse" in kwargs:
        raise TypeError("init() got an unexpected keyword argument 'enable_bjse'")
    if cfg["init_error"]:
        raise QuillonError(cfg["init_error"])
    enable_bjse = kwargs.get("enable_bjse", False)
    if enable_bjse and cfg["bjse_init_denied"]:
        raise PermissionDenied("this account does not cover BJSE")
    if cfg["init_warning"]:
        warnings.warn("quillonc double: session opened (enable_bjse=%r)" % (enable_bjse,),
                      UserWarning, stacklevel=3)
    _session.open_session(enable_bjse, kwargs)


@recorded("all_instruments")
def all_instruments(type=None, date=None, market="cn", **kwargs):
    """Instrument table, one row per instrument. ``type``: a type text, an
    INSTRUMENT_TYPE member or a list of them; ``date``: only instruments
    listed on that day; BJSE rows only when the session covers BJSE."""
    m = _market.current()
    day = _market.to_int_date(date) if date is not None else None
    return m.table(_types(type), market, day, _session.bjse_enabled())


@recorded("instruments")
def instruments(order_book_ids, market="cn"):
    """Record of one id (a list of records for a re-listed id, None for an
    unknown one); a list of records for a list of ids."""
    m = _market.current()
    ids, single = _ids(order_book_ids)
    if single:
        recs = m.records(ids[0], market)
        if not recs:
            return None
        return recs[0] if len(recs) == 1 else recs
    out = []
    for oid in ids:
        out.extend(m.records(oid, market))
    return out


@recorded("get_next_trading_date")
def get_next_trading_date(date, n=1, market="cn"):
    """The n-th trading day after ``date``, as a ``datetime.date``."""
    m = _market.current()
    return _market.int_to_date(m.next_day(_market.to_int_date(date), int(n)))


def _check_permission(m, spec, frequency):
    cfg = m.config
    oid = spec["order_book_id"]
    if oid in cfg["denied_ids"]:
        raise PermissionDenied("no permission for %s" % oid)
    if spec["exchange"] == "BJSE" and not cfg["bjse_permission"]:
        raise PermissionDenied("no permission for BJSE data (%s)" % oid)
    if frequency == "tick" and not cfg["tick_permission"]:
        raise PermissionDenied("no permission for tick data (%s)" % oid)
    if oid in cfg["fail_ids"]:
        raise QuillonError("service failure for %s" % oid)


def _span(m, start_date, end_date):
    end = _market.to_int_date(end_date) if end_date is not None else _market.today_int()
    if start_date is not None:
        start = _market.to_int_date(start_date)
    elif end_date is None:
        # no dates at all: the last five trading days up to today
        days = m.days_between(0, end)
        start = days[-5] if len(days) >= 5 else (days[0] if days else end)
    else:
        start = end
    return start, end


@recorded("get_price")
def get_price(order_book_ids, start_date=None, end_date=None, frequency="1d", fields=None,
              adjust_type="pre", skip_suspended=False, expect_df=True, time_slice=None,
              market="cn", **kwargs):
    """Bars or ticks of [start_date, end_date] (trading days, inclusive).

    Index (order_book_id, datetime) for "1m" and "tick", (order_book_id, date)
    for "1d"; futures and options carry ``trading_date`` in minute bars,
    every instrument in ticks. None when there is nothing."""
    m = _market.current()
    frequency = frequency or "1d"
    if frequency not in ("1d", "1m", "tick"):
        raise ValueError("frequency %r not served by this double" % (frequency,))
    ids, single = _ids(order_book_ids)
    start, end = _span(m, start_date, end_date)
    frames = []
    for oid in ids:
        spec = m.spec(oid, market)
        if spec is None:
            continue
        _check_permission(m, spec, frequency)
        build = {"1d": m.day_frame, "1m": m.minute_frame, "tick": m.tick_frame}[frequency]
        df = build(spec, start, end)
        if df is not None and len(df):
            frames.append(df)
    if not frames:
        return _nothing()
    df = frames[0] if len(frames) == 1 else pd.concat(frames)
    if fields is not None:
        df = df[[fields] if isinstance(fields, str) else list(fields)]
    if not expect_df and single:
        df = df.droplevel(0)
    return df


@recorded("is_suspended")
def is_suspended(order_book_ids, start_date=None, end_date=None, market="cn"):
    """Booleans by trading day (DatetimeIndex), one column per id; None when
    no id is known."""
    m = _market.current()
    if m.config["is_suspended_warning"]:
        warnings.warn("quillonc double: is_suspended reads the suspension table",
                      UserWarning, stacklevel=3)
    ids, _ = _ids(order_book_ids)
    start, end = _span(m, start_date, end_date)
    columns = {}
    for oid in ids:
        spec = m.spec(oid, market)
        if spec is None:
            continue
        _check_permission(m, spec, "1d")
        days = m.quoted_days(spec, start, end)
        columns[oid] = pd.Series(
            [m.is_suspended_day(oid, d) for d in days],
            index=pd.DatetimeIndex([pd.Timestamp(str(d)) for d in days]), dtype=bool)
    if not columns:
        return None
    df = pd.DataFrame(columns).fillna(False).astype(bool)
    return df.sort_index()
