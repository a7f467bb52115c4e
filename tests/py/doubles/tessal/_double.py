"""Recording and configuration shared by the host double's modules.

``ENTRIES`` keeps, in this process, every line that is also appended to the
file named by ``TESSAL_DOUBLE_LOG`` (format in ``doubles_log``): host calls
(kind "call"), logger messages (kind "log") and errors raised by pool tasks
(kind "task_error").
"""
import json
import os
import time

import doubles_log

LOG_ENV = doubles_log.HOST_LOG_ENV
CONFIG_ENV = "TESSAL_DOUBLE_CONFIG"

DEFAULTS = {
    # value returned by update_bundle (any JSON value)
    "update_bundle_result": True,
    # text: update_bundle raises RuntimeError(text) instead of working
    "update_bundle_error": None,
    # update_bundle writes trading_dates.npy, suspended_days.h5, instruments.pk
    "write_base_files": True,
    # pickle protocol of instruments.pk
    "pickle_protocol": 4,
    # the pool prints "[done/total]" progress lines to stderr
    "progress": False,
    # text: download raises OSError(text) instead of transferring
    "download_error": None,
}

ENTRIES = []


def config():
    raw = os.environ.get(CONFIG_ENV, "")
    cfg = dict(DEFAULTS)
    if raw.strip():
        given = json.loads(raw)
        unknown = set(given) - set(DEFAULTS)
        if unknown:
            raise KeyError("unknown %s keys: %s" % (CONFIG_ENV, sorted(unknown)))
        cfg.update(given)
    return cfg


def configure(**overrides):
    """Merge ``overrides`` into ``TESSAL_DOUBLE_CONFIG`` (seen by workers too)."""
    unknown = set(overrides) - set(DEFAULTS)
    if unknown:
        raise KeyError("unknown configuration keys: %s" % sorted(unknown))
    raw = os.environ.get(CONFIG_ENV, "")
    given = json.loads(raw) if raw.strip() else {}
    given.update(overrides)
    os.environ[CONFIG_ENV] = json.dumps(given)


def record(kind, **fields):
    entry = dict(fields, kind=kind, pid=os.getpid())
    ENTRIES.append(entry)
    line = {k: doubles_log.encode(v) for k, v in entry.items()}
    line["t"] = time.time()
    doubles_log.append_line(os.environ.get(LOG_ENV), line)
    return entry


def record_call(fn, args=(), kwargs=None):
    return record("call", fn=fn, args=list(args), kwargs=dict(kwargs or {}))


def entries(kind=None, fn=None):
    return [e for e in ENTRIES if (kind is None or e["kind"] == kind)
            and (fn is None or e.get("fn") == fn)]


def clear():
    del ENTRIES[:]
