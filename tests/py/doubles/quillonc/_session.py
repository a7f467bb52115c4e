"""The process-wide session of the service double.

A forked worker inherits the session of its parent; a process in which
nobody called ``init`` gets the default session, whose BJSE coverage is the
configuration's ``default_bjse``.
"""
from . import _market

STATE = {"initialised": False, "bjse": False, "init_kwargs": None}


def bjse_enabled():
    if STATE["initialised"]:
        return STATE["bjse"]
    return bool(_market.current().config["default_bjse"])


def open_session(enable_bjse, kwargs):
    STATE["initialised"] = True
    STATE["bjse"] = bool(enable_bjse)
    STATE["init_kwargs"] = dict(kwargs)


def reset():
    STATE.update(initialised=False, bjse=False, init_kwargs=None)
