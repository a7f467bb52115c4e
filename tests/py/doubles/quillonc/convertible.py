"""Convertible-bond part of the service double."""
from . import _market
from ._record import recorded


@recorded("convertible.instruments")
def instruments(order_book_ids):
    """Convertible records (with ``stock_code``): one record for a text id,
    a list for a list-like argument, None when nothing matches. The
    configuration key ``convertible_answer`` changes the shape (see
    ``_market.DEFAULTS``)."""
    m = _market.current()
    mode = m.config["convertible_answer"]
    if mode == "none":
        return None
    single = isinstance(order_book_ids, str)
    ids = [order_book_ids] if single else [str(x) for x in order_book_ids]
    recs = []
    for oid in ids:
        spec = m.spec(oid)
        if spec is not None and spec["type"] == "Convertible":
            recs.append(m.records(oid)[-1])
    if not recs:
        return None
    if single or (mode == "record" and len(recs) == 1):
        return recs[0]
    return recs
