"""Helpers the bundle module borrows from the host's ``tessal_plus.utils``."""
from _tessal_plus_utils import BLOSC_CODECS, BLOSC_FILTER_ID, blosc_opts  # noqa: F401
