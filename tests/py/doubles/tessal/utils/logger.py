"""The host's logger double: ``system_log`` keeps every message.

Messages go to ``system_log.messages`` (pairs (level, text)) in this process
and, with ``TESSAL_DOUBLE_LOG`` set, to that file as lines
``{"kind": "log", "level": "error", "text": ..., "pid": ...}`` so messages of
forked workers are kept too. Nothing is printed.
"""
from .. import _double


class _Logger:
    def __init__(self, name):
        self.name = name
        self.messages = []

    def _log(self, level, msg, args, kwargs):
        text = str(msg)
        if args or kwargs:
            text = text.format(*args, **kwargs)
        self.messages.append((level, text))
        _double.record("log", level=level, text=text, logger=self.name)

    def error(self, msg, *args, **kwargs):
        self._log("error", msg, args, kwargs)

    def exception(self, msg, *args, **kwargs):
        self._log("error", msg, args, kwargs)

    def warning(self, msg, *args, **kwargs):
        self._log("warning", msg, args, kwargs)

    warn = warning

    def info(self, msg, *args, **kwargs):
        self._log("info", msg, args, kwargs)

    def debug(self, msg, *args, **kwargs):
        self._log("debug", msg, args, kwargs)

    def errors(self):
        return [text for level, text in self.messages if level == "error"]

    def clear(self):
        del self.messages[:]


system_log = _Logger("system_log")
user_system_log = _Logger("user_system_log")
