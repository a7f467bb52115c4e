"""Script helpers of the host's ``tessal_plus.utils``."""
from _tessal_plus_utils import get_h5_mode  # noqa: F401
