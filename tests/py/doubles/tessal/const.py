"""Constants of the host double."""
from enum import Enum


class INSTRUMENT_TYPE(str, Enum):
    """Instrument types; each member equals the service's ``type`` text, so
    ``INSTRUMENT_TYPE.FUTURE == "Future"`` and the member can be handed to
    the service where a type text is expected."""
    CS = "CS"
    FUTURE = "Future"
    ETF = "ETF"
    LOF = "LOF"
    INDX = "INDX"
    OPTION = "Option"
    CONVERTIBLE = "Convertible"
    REITs = "REITs"

    def __str__(self):
        return self.value

    def __format__(self, spec):
        return format(self.value, spec)
