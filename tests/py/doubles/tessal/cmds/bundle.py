"""Transfer helper of the host double's bundle command."""
import os
import urllib.request

from .. import _double


def download(out, total_length, url):
    """Write the body of ``url`` into the open binary file ``out``.

    Uses ``TESSAL_PROXY`` for http and https when set, and no proxy
    otherwise (a test server on localhost must not be sent through a proxy of
    the machine). ``total_length`` is only recorded, as a progress bar would
    only use it for display. Returns the number of bytes written."""
    _double.record_call("download", (out, total_length, url))
    cfg = _double.config()
    if cfg["download_error"]:
        raise OSError(cfg["download_error"])
    proxy = os.environ.get("TESSAL_PROXY")
    handler = urllib.request.ProxyHandler({"http": proxy, "https": proxy} if proxy else {})
    opener = urllib.request.build_opener(handler)
    written = 0
    with opener.open(url) as response:
        while True:
            chunk = response.read(1 << 16)
            if not chunk:
                break
            out.write(chunk)
            written += len(chunk)
    return written
