"""The package as its host loads it: the installed tessal_plus.bundle with the
test doubles of the host and of the service client on the path."""
import os
import signal
import sys

import pytest

# A suite started in the background (`scripts/test &`, cron, nohup, a CI
# wrapper) inherits SIGINT ignored, and so would every child it starts: a
# test that stops a run with Ctrl-C would then see it ignored. A handled
# signal is reset to its default in an exec'd child, and a forked one keeps
# the handler: with Python's own handler here, every child sees Ctrl-C.
signal.signal(signal.SIGINT, signal.default_int_handler)

DOUBLES = os.path.join(os.path.dirname(__file__), "..", "doubles")
FLAVOUR = os.environ.get("TB_TESSAL_PLUS", "namespace")
sys.path[:0] = [DOUBLES, os.path.join(DOUBLES, FLAVOUR)]
os.environ.setdefault("HDF5_PLUGIN_PATH", "/usr/lib/x86_64-linux-gnu/hdf5/serial/plugins")

NOW = "2024-06-07 18:00:00"


@pytest.fixture
def world(tmp_path, monkeypatch):
    """A clock, a small market and logs of what the doubles were asked."""
    monkeypatch.setenv("TESSAL_NOW", NOW)
    monkeypatch.setenv("QUILLONC_DOUBLE_CONFIG", '{"bars_per_day": 8, "tick_interval": 1200}')
    monkeypatch.setenv("QUILLONC_DOUBLE_LOG", str(tmp_path / "service.jsonl"))
    monkeypatch.setenv("TESSAL_DOUBLE_LOG", str(tmp_path / "host.jsonl"))
    import doubles_log
    return doubles_log


@pytest.fixture
def bundle(world, tmp_path):
    return str(tmp_path / "data")
