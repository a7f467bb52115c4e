"""Shared parts of the service client double (its error classes)."""
from . import errors  # noqa: F401

__all__ = ["errors"]
