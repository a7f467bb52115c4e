"""Recording of every call made on the service double.

In-process: ``CALLS`` holds ``{"fn", "args", "kwargs", "pid", "bjse"}`` with the
arguments as they were passed. Across processes: one JSON line per call is
appended to the file named by ``QUILLONC_DOUBLE_LOG`` (format in
``doubles_log``), because the writers run in forked workers whose memory is
lost when they end.
"""
import functools
import os
import time

import doubles_log

from . import _session

LOG_ENV = doubles_log.SERVICE_LOG_ENV
CALLS = []


def recorded(name):
    def wrap(fn):
        @functools.wraps(fn)
        def call(*args, **kwargs):
            bjse = _session.bjse_enabled()
            CALLS.append({"fn": name, "args": list(args), "kwargs": dict(kwargs),
                          "pid": os.getpid(), "bjse": bjse})
            doubles_log.append_line(os.environ.get(LOG_ENV), {
                "fn": name, "args": doubles_log.encode(list(args)),
                "kwargs": doubles_log.encode(dict(kwargs)),
                "pid": os.getpid(), "bjse": bjse, "t": time.time()})
            return fn(*args, **kwargs)
        call.recorded_name = name
        return call
    return wrap
