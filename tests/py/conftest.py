"""Helpers for the cross-checks: run the command line on the simulated market."""
import hashlib
import os
import signal
import shutil
import subprocess
import tempfile

import pytest

# A suite started in the background (`scripts/test &`, cron, nohup, a CI
# wrapper) inherits SIGINT ignored, and so would every child it starts: a
# test that stops a run with Ctrl-C would then see it ignored. A handled
# signal is reset to its default in an exec'd child, and a forked one keeps
# the handler: with Python's own handler here, every child sees Ctrl-C.
signal.signal(signal.SIGINT, signal.default_int_handler)

BIN = os.environ.get("TB_BIN", os.path.join(os.path.dirname(__file__), "../../build/tessal-bundle"))
NOW = "2024-06-07 18:00:00"
SIM = "sim:seed=3,start=20240401,tick_start=20240603,stocks=6,bjse=1,futures=2,contracts=1,options=2"


class Cli:
    def __init__(self, tmp_path):
        self.tmp = tmp_path
        self.log = str(tmp_path / "requests.log")

    def run(self, *args, input="", now=NOW, service=None, check=True, env=None, wrap=(), timeout=300):
        e = dict(os.environ)
        e["TESSAL_NOW"] = now
        e["TESSAL_SERVICE"] = service or f"{SIM},log={self.log}"
        e.update(env or {})
        p = subprocess.run([*wrap, BIN, *args], input=input.encode(), capture_output=True, env=e, timeout=timeout)
        p.out = p.stdout.decode()
        p.err = p.stderr.decode(errors="replace")  # file names may hold any byte
        if check and p.returncode != 0:
            raise AssertionError(f"{args} exited {p.returncode}\n{p.out}\n{p.err}")
        return p

    def requests(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [line.split() for line in f]

    def clear_requests(self):
        if os.path.exists(self.log):
            os.remove(self.log)


def digests(folder):
    """sha256 of every file below `folder`, by relative path."""
    out = {}
    for root, _dirs, files in os.walk(folder):
        for name in files:
            with open(os.path.join(root, name), "rb") as f:
                out[os.path.relpath(os.path.join(root, name), folder)] = hashlib.sha256(f.read()).hexdigest()
    return out


@pytest.fixture
def cli(tmp_path):
    return Cli(tmp_path)


# pytest keeps the folders of its last three runs in the temporary folder for
# good; this suite's go into a folder of its own instead, removed when every
# test passed (a failing run keeps it to look at). A --basetemp is left alone.
OWN_BASETEMP = None


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    global OWN_BASETEMP
    if not config.option.basetemp:
        OWN_BASETEMP = config.option.basetemp = tempfile.mkdtemp(prefix="tb-pytest-")


@pytest.hookimpl(trylast=True)
def pytest_sessionfinish(session, exitstatus):
    if OWN_BASETEMP and exitstatus in (pytest.ExitCode.OK, pytest.ExitCode.NO_TESTS_COLLECTED):
        shutil.rmtree(OWN_BASETEMP, ignore_errors=True)
