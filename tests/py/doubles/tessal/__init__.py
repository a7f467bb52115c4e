"""Test double of the host backtest framework ``tessal``: only the names the
bundle module borrows (``tessal.data.bundle``, ``tessal.cmds.bundle``,
``tessal.const``, ``tessal.utils.datetime_func``, ``tessal.utils.logger``).
Configuration: ``TESSAL_DOUBLE_CONFIG`` (JSON, keys in ``tessal._double``),
``TESSAL_NOW`` (the clock), ``TESSAL_DOUBLE_LOG`` (JSON-lines record)."""
