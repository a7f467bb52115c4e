"""Shared record format of the test doubles, and readers for tests.

Both doubles (the market-data service `quillonc` and the host framework
`tessal`) write what happens to them as JSON lines, one object per line, to a
file named by an environment variable:

- ``QUILLONC_DOUBLE_LOG``: one line per call made on the service double;
- ``TESSAL_DOUBLE_LOG``: one line per host call worth checking
  (``update_bundle``, the pool, ``process_init``, ``download``), per message
  given to ``system_log`` and per task that ended with an error in the pool.

A file is used because the module's writers run in forked worker processes:
an in-process list of a worker dies with it, a line appended to a file does
not. Each line is written with one ``write`` on a descriptor opened with
O_APPEND, so lines of concurrent processes do not interleave.

Values that JSON cannot carry as they are get a one-key marker, so a test can
still tell an integer date from a text date or an enumeration member from its
text:

====================  ==================================================
value                 encoded as
====================  ==================================================
Enum member           ``{"$enum": "INSTRUMENT_TYPE.OPTION", "value": "Option"}``
datetime / Timestamp  ``{"$datetime": "2024-06-03T21:01:00"}``
date                  ``{"$date": "2024-06-03"}``
tuple                 ``{"$tuple": [...]}``
set / frozenset       ``{"$set": [...]}`` (sorted by text form)
pandas Series         ``{"$series": [...], "name": ...}``
pandas Index, ndarray ``{"$array": [...]}``
anything else         ``{"$repr": "...", "$type": "module.Class"}``
====================  ==================================================

``plain(value)`` turns markers back into simple values (enum -> its value,
dates -> ISO text, containers -> lists) for easy comparison.
"""
import datetime as _dt
import enum
import json
import os

SERVICE_LOG_ENV = "QUILLONC_DOUBLE_LOG"
HOST_LOG_ENV = "TESSAL_DOUBLE_LOG"


# ---------------------------------------------------------------- writing

def encode(value):
    """JSON-ready form of ``value`` (see the module text for the markers)."""
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, enum.Enum):
        return {"$enum": "%s.%s" % (type(value).__name__, value.name),
                "value": encode(value.value)}
    if isinstance(value, (str, int, float)):
        # str/int subclasses that are not enum members become plain values
        if isinstance(value, str):
            return str(value)
        if isinstance(value, int):
            return int(value)
        return float(value)
    try:
        import numpy as np
    except ImportError:  # pragma: no cover - numpy is always there in tests
        np = None
    if np is not None:
        if isinstance(value, np.bool_):
            return bool(value)
        if isinstance(value, np.integer):
            return int(value)
        if isinstance(value, np.floating):
            return float(value)
        if isinstance(value, np.datetime64):
            import pandas as pd
            return {"$datetime": pd.Timestamp(value).isoformat()}
        if isinstance(value, np.ndarray):
            return {"$array": [encode(v) for v in value.tolist()]}
    if isinstance(value, _dt.datetime):
        return {"$datetime": value.isoformat()}
    if isinstance(value, _dt.date):
        return {"$date": value.isoformat()}
    try:
        import pandas as pd
    except ImportError:  # pragma: no cover
        pd = None
    if pd is not None:
        if isinstance(value, pd.Series):
            return {"$series": [encode(v) for v in value.tolist()],
                    "name": encode(value.name)}
        if isinstance(value, pd.Index):
            return {"$array": [encode(v) for v in value.tolist()]}
        if isinstance(value, pd.DataFrame):
            return {"$repr": "DataFrame%s" % (value.shape,),
                    "$type": "pandas.DataFrame"}
    if isinstance(value, tuple):
        return {"$tuple": [encode(v) for v in value]}
    if isinstance(value, (set, frozenset)):
        return {"$set": sorted((encode(v) for v in value), key=repr)}
    if isinstance(value, list):
        return [encode(v) for v in value]
    if isinstance(value, dict):
        return {str(k): encode(v) for k, v in value.items()}
    t = type(value)
    return {"$repr": repr(value), "$type": "%s.%s" % (t.__module__, t.__qualname__)}


def append_line(path, obj):
    """Append ``obj`` as one JSON line to ``path`` (no-op when path is empty)."""
    if not path:
        return
    data = (json.dumps(obj, ensure_ascii=False, sort_keys=True) + "\n").encode("utf-8")
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)


# ---------------------------------------------------------------- reading

def plain(value):
    """Markers -> simple values: enum -> value, dates -> ISO text,
    tuple/set/series/array -> list, repr -> its text."""
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        if "$enum" in value:
            return plain(value["value"])
        if "$datetime" in value:
            return value["$datetime"]
        if "$date" in value:
            return value["$date"]
        for key in ("$tuple", "$set", "$series", "$array"):
            if key in value:
                return [plain(v) for v in value[key]]
        if "$repr" in value:
            return value["$repr"]
        return {k: plain(v) for k, v in value.items()}
    return value


def read_lines(path):
    """All JSON objects of a JSON-lines file; [] when the file is absent."""
    if not path or not os.path.exists(path):
        return []
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line:
                out.append(json.loads(line))
    return out


def service_calls(path=None, fn=None):
    """Calls recorded by the service double, in the order they were written.

    Each entry: ``{"fn": "get_price", "args": [...], "kwargs": {...},
    "pid": 1234, "bjse": false, "t": 1717.0}`` where ``bjse`` is whether the
    session of the calling process covered BJSE at the time of the call.
    ``fn`` filters by name ("get_price", "client.bjse_enabled",
    "convertible.instruments", ...). ``path`` defaults to $QUILLONC_DOUBLE_LOG.
    """
    entries = read_lines(path if path is not None else os.environ.get(SERVICE_LOG_ENV))
    if fn is not None:
        entries = [e for e in entries if e.get("fn") == fn]
    return entries


def host_entries(path=None, kind=None):
    """All lines of the host double's log, optionally of one ``kind``
    ("call", "log", "task_error"). ``path`` defaults to $TESSAL_DOUBLE_LOG."""
    entries = read_lines(path if path is not None else os.environ.get(HOST_LOG_ENV))
    if kind is not None:
        entries = [e for e in entries if e.get("kind") == kind]
    return entries


def host_calls(path=None, fn=None):
    """Host calls: entries ``{"kind": "call", "fn": "update_bundle",
    "args": [...], "kwargs": {...}, "pid": ...}``. Names used:
    "update_bundle", "ProgressedProcessPoolExecutor",
    "ProgressedProcessPoolExecutor.submit", "process_init", "download"."""
    entries = host_entries(path, "call")
    if fn is not None:
        entries = [e for e in entries if e.get("fn") == fn]
    return entries


def log_messages(path=None, level="error"):
    """Texts given to ``system_log`` (all levels when ``level`` is None)."""
    return [e["text"] for e in host_entries(path, "log")
            if level is None or e.get("level") == level]


def task_errors(path=None):
    """Errors raised by tasks of the pool: ``{"fn", "args", "error_type",
    "error"}`` entries."""
    return host_entries(path, "task_error")


def clear(path):
    """Remove a log file (missing file accepted)."""
    try:
        os.remove(path)
    except FileNotFoundError:
        pass
