"""The host's and the service client's Python objects, as the C++ core needs them.

Every function here is called from C++ with the GIL held. Tables are turned
into numpy arrays column by column: no Python work per row.
"""
import importlib
import multiprocessing
import sys
import warnings

import numpy as np

# Where pandas' NaT lands as microseconds (its nanoseconds divided down): a
# time in 1677, which the writers refuse as a missing time stamp.
_NAT_US = np.iinfo(np.int64).min // 1000


def _module(name):
    # Looked up at every call: the host may replace these names at run time
    # (`sval` in particular is installed by `process_init` in each worker).
    # sys.modules first: import_module's own machinery costs several times
    # the lookup, on every call the writers make into the host.
    module = sys.modules.get(name)
    return module if module is not None else importlib.import_module(name)


# ---- the service client -------------------------------------------------

def _ymd(d):
    return int(d.year) * 10000 + int(d.month) * 100 + int(d.day)


def _microseconds(values):
    """Naive time stamps (datetime64 or anything pandas reads) as int64 microseconds.

    Converted by numpy from the index's own unit: since pandas 2 an index may
    count seconds or milliseconds, not only nanoseconds."""
    import pandas as pd
    idx = pd.DatetimeIndex(values)
    if idx.tz is not None:
        idx = idx.tz_localize(None)
    stamps = idx.values
    out = stamps.astype("datetime64[us]").astype(np.int64)
    out[np.isnat(stamps)] = _NAT_US
    return out


def _text_column(df, name):
    if name not in df.columns:
        return [""] * len(df)
    return ["" if v is None or (isinstance(v, float) and v != v) else str(v) for v in df[name].tolist()]


def _text(v, default=""):
    """One value of a record as plain text: None, NaN and NaT give `default`,
    dates and time stamps YYYY-MM-DD, numpy scalars as their Python values."""
    if isinstance(v, np.datetime64):
        v = v.astype("datetime64[us]")  # as nanoseconds, .item() would give an integer
    if isinstance(v, np.generic):
        v = v.item()
    if v is None or (isinstance(v, float) and v != v):
        return default
    if hasattr(v, "strftime"):
        return v.strftime("%Y-%m-%d") if v == v else default  # NaT is not equal to itself
    return str(v)


def instrument_table(df):
    """Rows of an instrument table as columns of texts."""
    if df is None or len(df) == 0:
        return {"order_book_id": []}
    if "order_book_id" not in df.columns:
        df = df.reset_index()
    out = {}
    for name in ("order_book_id", "type", "exchange", "de_listed_date", "listed_date", "underlying_symbol",
                 "underlying_order_book_id"):
        out[name] = _text_column(df, name)
    return out


def _record(r):
    def text(name, default=""):
        return _text(getattr(r, name, default), default)
    return {
        "order_book_id": text("order_book_id"),
        "type": text("type"),
        "exchange": text("exchange"),
        "de_listed_date": text("de_listed_date", "0000-00-00"),
        "listed_date": text("listed_date", "0000-00-00"),
        "underlying_symbol": text("underlying_symbol"),
        "underlying_order_book_id": text("underlying_order_book_id"),
        "stock_code": text("stock_code"),
    }


def records(answer):
    """Nothing, one record or a list of records, as a list of dicts."""
    if answer is None:
        return []
    if isinstance(answer, (list, tuple)):
        return [_record(r) for r in answer]
    return [_record(answer)]


def _numbers(name, col):
    """A column as float64 numbers (missing values NaN): numpy numbers, pandas'
    nullable ones and object columns of numbers. None for a column that holds
    no numbers (texts, time stamps), which the table leaves out."""
    import pandas as pd
    if col.dtype.kind in "biuf":
        if isinstance(col.dtype, np.dtype):
            return col.to_numpy(dtype=np.float64)
        return col.to_numpy(dtype=np.float64, na_value=np.nan)  # pandas' NA
    if col.dtype.kind in "mM":
        return None
    values = col.astype(object)
    if pd.api.types.infer_dtype(values, skipna=True) in ("string", "bytes", "empty"):
        return None
    try:
        return pd.to_numeric(values).to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as e:
        raise ValueError(f"the service's column {name!r} ({col.dtype}) does not convert to numbers: {e}") from e


def price_table(df):
    """A price table indexed by (order book id, time stamp): times, trading days
    (or None) and every numeric column, as numpy arrays. None for no data."""
    if df is None or len(df) == 0:
        return None
    index = df.index
    times = index.get_level_values(index.nlevels - 1) if index.nlevels > 1 else index
    columns = []
    trading_date = None
    for name in df.columns:
        col = df[name]
        if name == "trading_date":
            trading_date = _microseconds(col.to_numpy())
        elif (values := _numbers(name, col)) is not None:
            columns.append((str(name), np.ascontiguousarray(values)))
    return _microseconds(times), trading_date, columns


def suspended_flags(df, order_book_id):
    """is_suspended's frame as (YYYYMMDD days, flags)."""
    if df is None or len(df) == 0:
        return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.bool_)
    col = df[order_book_id] if order_book_id in df.columns else df.iloc[:, 0]
    days = _microseconds(df.index) // (86400 * 1000000)
    return _days_to_ymd(days), np.asarray(col.to_numpy(), dtype=np.bool_)


def _days_to_ymd(days):
    d = np.asarray(days, dtype="datetime64[D]")
    y = d.astype("datetime64[Y]").astype(np.int64) + 1970
    m = d.astype("datetime64[M]").astype(np.int64) % 12 + 1
    day = (d - d.astype("datetime64[M]")).astype(np.int64) + 1
    return (y * 10000 + m * 100 + day).astype(np.int64)


def next_trading_date(answer):
    return _ymd(answer)


def instrument_type(q_type_name):
    """The host's INSTRUMENT_TYPE member whose value is the service's type text
    (the text itself where no Python host is loaded, as in the command line)."""
    try:
        const = _module("tessal.const")
    except ImportError:
        return q_type_name
    return const.INSTRUMENT_TYPE(q_type_name)


def to_datetime(year, month, day, hour, minute, second, microsecond):
    import datetime
    return datetime.datetime(year, month, day, hour, minute, second, microsecond)


# ---- the host --------------------------------------------------------------

def now():
    t = _module("tessal.utils.datetime_func").datetime.now()
    return (t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond)


def log_error(text):
    _module("tessal.utils.logger").system_log.error(text)


def h5_mode(path):
    return str(_module("tessal_plus.utils.scripts").get_h5_mode(path))


def blosc_filter(kwargs):
    """h5py dataset-creation keywords of the Blosc filter as (filter id, options).

    Only `compression` and `compression_opts` describe the filter; the other
    keywords (chunks, shuffle, ...) are h5py's own choices for a dataset it
    creates, which the tick writer makes its own."""
    if not hasattr(kwargs, "get"):
        raise TypeError(f"blosc_opts returned {type(kwargs).__name__}, expected h5py dataset-creation keywords")
    compression = kwargs.get("compression")
    opts = kwargs.get("compression_opts")
    filter_id = getattr(compression, "filter_id", compression)
    if isinstance(filter_id, (bool, np.bool_)) or not isinstance(filter_id, (int, np.integer)):
        raise ValueError(f"blosc_opts gave compression={compression!r}, expected a filter number")
    return int(filter_id), tuple(int(v) for v in np.atleast_1d(opts if opts is not None else ()))


def tick_layout():
    """COLUMNS paired position by position with FIELDS' scale and DTYPES' fields:
    ([(column, kind, size, scale, offset)], itemsize, [(field name, kind, size, offset)])."""
    loader = _module("tessal_mod_palomar_data.data_sources.data_store").H5TicksLoader
    dtype = np.dtype(loader.DTYPES)
    names = list(dtype.names or ())
    fields = [(n, dtype.fields[n][0].kind, dtype.fields[n][0].itemsize, dtype.fields[n][1]) for n in names]
    for n, kind, size, _ in fields:
        if kind not in "iuf" or dtype.fields[n][0].byteorder == ">":
            raise ValueError(f"tick field {n!r} of H5TicksLoader.DTYPES is not a little-endian number")
    columns = list(loader.COLUMNS)
    scales = [float(f[2]) for f in loader.FIELDS]
    n = min(len(columns), len(scales), len(fields))
    pairs = [(str(columns[i]), fields[i][1], fields[i][2], scales[i], fields[i][3]) for i in range(n)]
    return pairs, dtype.itemsize, fields


def make_flag(initial):
    # A process-shared boolean with its own lock, as the pool's initializer expects.
    return multiprocessing.Value("b", bool(initial))


def current_sval():
    return _module("tessal.data.bundle").sval


def process_init(flag):
    _module("tessal.data.bundle").process_init(flag)


class PoolTask:
    """One task of an update's pool: the writer of one instrument's file of
    one store ("minute" or "tick"; the path as the bytes of os.fsencode). The
    core makes it and reads it back (both in py_host.cpp); a host's pool
    pickles it by value and calls it in a worker, which returns the task's
    outcome (status, kind, message)."""
    __slots__ = ("store", "order_book_id", "path", "rebuild")

    def __init__(self, store, order_book_id, path, rebuild=False):
        self.store, self.order_book_id, self.path, self.rebuild = store, order_book_id, path, rebuild

    def __call__(self):
        return _module("tessal_plus.bundle._core")._run_task(self)

    def __repr__(self):
        return "PoolTask(%r, %r, %r, rebuild=%r)" % (self.store, self.order_book_id, self.path, self.rebuild)


class _ExecutorPool:
    """A concurrent.futures executor (a Dask cluster's, say) in the pool's place.

    Its workers are not forked from this process, so they cannot share the
    run's flag: each task runs with a flag of its own and returns its
    outcome, which is what the driver reads; leaving the scope waits for
    every task."""

    def __init__(self, executor, flag):
        self._executor = executor
        self._futures = []

    def submit(self, task):
        package = _module("tessal_plus.bundle")
        future = self._executor.submit(package._task_on_executor, task)
        self._futures.append(future)
        return future

    def __exit__(self, *exc):
        import concurrent.futures
        concurrent.futures.wait(self._futures)
        return False


def task_outcome(future):
    """A finished task's (status, kind, message): what the task returned, or,
    for a task that ended without returning (its worker killed, the pool
    broken or never started), "died" with what the future says."""
    from . import _core
    try:
        result = future.result()
    except BaseException as e:  # BrokenProcessPool, CancelledError, a worker's own error
        return (_core.TASK_DIED, "died", f"{type(e).__name__}: {e}")
    if isinstance(result, tuple) and len(result) == 3:
        return result
    return (_core.TASK_FAILED, "error", f"the task returned {result!r} instead of its outcome")


def open_pool(max_workers, flag, executor=None):
    """The host's pool over `max_workers` processes, or the executor the
    caller of a driver handed in (executor=...) in its place."""
    if executor is not None:
        pool = _ExecutorPool(executor, flag)
        return pool, pool
    bundle = _module("tessal.data.bundle")
    pool = bundle.ProgressedProcessPoolExecutor(max_workers=max_workers, initializer=bundle.process_init,
                                                initargs=(flag,))
    return pool, pool.__enter__()


def instrument_list(path):
    """The bundle's instruments.pk as Python's pickle reads it (any protocol,
    dates, time stamps, numpy scalars): each record's fields as (key, text)
    pairs, a record that is not a mapping without fields; None when the file
    holds no list."""
    import pickle
    with open(path, "rb") as f:
        records = pickle.load(f)
    if not isinstance(records, (list, tuple)):
        return None
    return [[(str(k), _text(v)) for k, v in r.items()] if hasattr(r, "items") else [] for r in records]


def update_daybar(path, create, enable_compression, concurrency, enable_bjse, in_quillon_kwargs):
    update_bundle = _module("tessal.data.bundle").update_bundle
    if in_quillon_kwargs:
        return update_bundle(path, create=create, enable_compression=enable_compression, concurrency=concurrency,
                             quillon_kwargs={"enable_bjse": enable_bjse})
    return update_bundle(path, create=create, enable_compression=enable_compression, concurrency=concurrency,
                         enable_bjse=enable_bjse)


def download(fd, total_length, url):
    import os
    with os.fdopen(os.dup(fd), "wb", closefd=True) as out:
        _module("tessal.cmds.bundle").download(out, total_length, url)
        out.flush()


class IgnoreWarnings:
    """Saves the process-wide warning filters, ignores every warning, restores them."""

    def __init__(self):
        self._saved = warnings.filters[:]
        warnings.simplefilter("ignore")

    def restore(self):
        warnings.filters[:] = self._saved
        if hasattr(warnings, "_filters_mutated"):
            warnings._filters_mutated()


def read_answer():
    import sys
    line = sys.stdin.readline()
    return line if line else None
