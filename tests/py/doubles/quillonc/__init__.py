"""Test double of the market-data service client ``quillonc``.

Serves a small deterministic market (see ``_market``) through the requests
the bundle module makes: ``init``, ``client.bjse_enabled``,
``all_instruments``, ``convertible.instruments``, ``instruments``,
``get_next_trading_date``, ``get_price``, ``is_suspended``; refusals raise
``quillonc.share.errors.PermissionDenied``. Every call is recorded (in
process and, with ``QUILLONC_DOUBLE_LOG`` set, as JSON lines in that file).
Configuration: ``QUILLONC_DOUBLE_CONFIG`` (JSON), see ``quillonc.double``.
"""
from . import share  # noqa: F401
from .share import errors  # noqa: F401
from ._api import (all_instruments, get_next_trading_date, get_price, init,  # noqa: F401
                   instruments, is_suspended)
from . import client, convertible  # noqa: F401,E402

__all__ = ["init", "all_instruments", "instruments", "get_next_trading_date", "get_price",
           "is_suspended", "client", "convertible", "share", "errors"]
