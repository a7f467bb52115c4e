"""Errors raised by the service double."""


class QuillonError(Exception):
    """Any refusal or failure reported by the service."""


class PermissionDenied(QuillonError):
    """The account may not make this request (exchange, frequency or id not
    covered by the data licence)."""
