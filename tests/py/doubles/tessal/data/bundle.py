"""Bundle part of the host double: the day-bar updater, the process pool with
progress, the worker initializer and the shared success flag ``sval``.

``update_bundle`` does not compute day bars; it writes the three base files
the bundle module reads, from the service double's market:

- ``trading_dates.npy``: the whole calendar, little-endian int64 YYYYMMDD;
- ``suspended_days.h5``: one int64 dataset of YYYYMMDD per stock (type "CS"),
  named by its order book id (empty for a stock never suspended);
- ``instruments.pk``: a pickled list of dicts, one per instrument of the cn
  market (keys as the service's instrument table, among them ``exchange``).

BJSE instruments are included only when the call asks for BJSE, through
``enable_bjse=True`` or ``quillon_kwargs={"enable_bjse": True}``.
"""
import ctypes
import multiprocessing
import os
import pickle
import sys
import threading
import traceback
from concurrent.futures import ProcessPoolExecutor

import numpy as np

from .. import _double

# The shared success flag of an update run as the writers see it. Workers get
# the driver's flag through ``process_init``; in a process without a pool
# (a writer called directly by a test) this default flag is used.
sval = multiprocessing.get_context("fork").Value(ctypes.c_bool, True)


def process_init(succeed):
    """Worker initializer: install the run's shared flag as ``sval``."""
    global sval
    sval = succeed
    _double.record_call("process_init", (succeed,))


def _wants_bjse(kwargs):
    if kwargs.get("enable_bjse"):
        return True
    quillon_kwargs = kwargs.get("quillon_kwargs") or {}
    return bool(quillon_kwargs.get("enable_bjse"))


def _plain(value):
    if isinstance(value, float) and value != value:  # NaN -> None
        return None
    if isinstance(value, np.generic):
        return value.item()
    return value


def write_base_files(path, enable_bjse=False, protocol=None):
    """Write the three base files into the folder ``path`` (created if absent)."""
    import h5py
    from quillonc import _market

    m = _market.current()
    os.makedirs(path, exist_ok=True)
    np.save(os.path.join(path, "trading_dates.npy"), m.trading_days.astype("<i8"))
    table = m.table(None, "cn", None, bjse=enable_bjse)
    with h5py.File(os.path.join(path, "suspended_days.h5"), "w") as f:
        for oid, typ in zip(table["order_book_id"], table["type"]):
            if typ == "CS":
                f.create_dataset(oid, data=np.array(m.suspension_days(oid), dtype="<i8"))
    records = [{k: _plain(v) for k, v in row.items()} for row in table.to_dict("records")]
    if protocol is None:
        protocol = _double.config()["pickle_protocol"]
    with open(os.path.join(path, "instruments.pk"), "wb") as f:
        pickle.dump(records, f, protocol=protocol)


def update_bundle(path, *args, **kwargs):
    """Day-bar updater double: records its arguments, writes the base files,
    returns the configured result (True by default)."""
    _double.record_call("update_bundle", (path,) + args, kwargs)
    cfg = _double.config()
    if cfg["update_bundle_error"]:
        raise RuntimeError(cfg["update_bundle_error"])
    if cfg["write_base_files"]:
        write_base_files(path, _wants_bjse(kwargs), cfg["pickle_protocol"])
    return cfg["update_bundle_result"]


def _name(fn):
    return "%s.%s" % (getattr(fn, "__module__", None), getattr(fn, "__qualname__", repr(fn)))


class ProgressedProcessPoolExecutor(ProcessPoolExecutor):
    """Process pool of forked workers, usable as a context manager; leaving
    it waits for every submitted task.

    Tasks travel to the workers pickled, as in any process pool: a task
    function must be importable by name. A task that raises is not re-raised
    by the pool; the error is kept in ``errors`` and recorded as a
    "task_error" line, so tests can see it. With the configuration key
    ``progress`` a line "[done/total]" is printed to stderr per finished task.
    """

    def __init__(self, max_workers=None, initializer=None, initargs=(), **kwargs):
        _double.record_call("ProgressedProcessPoolExecutor", (),
                            dict(kwargs, max_workers=max_workers,
                                 initializer=_name(initializer) if initializer else None,
                                 initargs=initargs))
        kwargs.setdefault("mp_context", multiprocessing.get_context("fork"))
        super().__init__(max_workers=max_workers, initializer=initializer,
                         initargs=initargs, **kwargs)
        self.futures = []
        self.errors = []
        self._done = 0
        self._lock = threading.Lock()
        self._progress = bool(_double.config()["progress"])

    def submit(self, fn, /, *args, **kwargs):
        _double.record_call("ProgressedProcessPoolExecutor.submit", (_name(fn),) + args, kwargs)
        future = super().submit(fn, *args, **kwargs)
        future.task = (_name(fn), args, kwargs)
        self.futures.append(future)
        future.add_done_callback(self._finished)
        return future

    def _finished(self, future):
        with self._lock:
            self._done += 1
            done, total = self._done, len(self.futures)
        if not future.cancelled() and future.exception() is not None:
            err = future.exception()
            fn, args, kwargs = future.task
            self.errors.append(err)
            _double.record("task_error", fn=fn, args=list(args), kwargs=dict(kwargs),
                           error_type=type(err).__name__, error=str(err),
                           traceback="".join(traceback.format_exception(err)))
        if self._progress:
            sys.stderr.write("[%d/%d]\n" % (done, total))
            sys.stderr.flush()

    def __exit__(self, exc_type, exc_val, exc_tb):
        self.shutdown(wait=True)
        return False
