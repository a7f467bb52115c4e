"""Test-side controls of the service double (not part of the service).

    from quillonc import double
    double.configure(tick_permission=False, bars_per_day=4)
    ...
    double.calls("get_price")        # calls made in this process
    double.market().trading_days     # the calendar the service serves

``configure`` writes the environment variable ``QUILLONC_DOUBLE_CONFIG``, so
worker processes started afterwards (forked or not) serve the same market.
"""
import json
import os

from . import _market, _record, _session

CONFIG_ENV = _market.CONFIG_ENV
LOG_ENV = _record.LOG_ENV


def configure(**overrides):
    """Merge ``overrides`` into the configuration (unknown keys: KeyError)."""
    unknown = set(overrides) - set(_market.DEFAULTS)
    if unknown:
        raise KeyError("unknown configuration keys: %s" % sorted(unknown))
    raw = os.environ.get(CONFIG_ENV, "")
    given = json.loads(raw) if raw.strip() else {}
    given.update(overrides)
    os.environ[CONFIG_ENV] = json.dumps(given)
    return config()


def reset_config():
    os.environ.pop(CONFIG_ENV, None)


def config():
    """The effective configuration (defaults merged with the variable)."""
    return dict(market().config)


def market():
    """The market served now (calendar, instruments, price functions)."""
    return _market.current()


def calls(fn=None):
    """Calls made in this process: dicts with ``fn``, ``args``, ``kwargs``
    (the objects as passed), ``pid`` and ``bjse``."""
    return [c for c in _record.CALLS if fn is None or c["fn"] == fn]


def clear_calls():
    del _record.CALLS[:]


def session():
    """Copy of this process's session state."""
    return dict(_session.STATE, bjse_enabled=_session.bjse_enabled())


def reset_session():
    _session.reset()


def reset():
    """Default configuration, no session, no recorded calls."""
    reset_config()
    reset_session()
    clear_calls()
