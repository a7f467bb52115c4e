"""Session part of the service double."""
from . import _session
from ._record import recorded


@recorded("client.bjse_enabled")
def bjse_enabled():
    """Whether this process's session lists BJSE instruments."""
    return _session.bjse_enabled()
