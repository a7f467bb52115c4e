"""The package among a Python host's own means: Ctrl-C raises
KeyboardInterrupt in the caller at once and leaves no process or temporary
file behind, console text and prompts go through sys.stdout and sys.stdin,
and forked checks run beside the host's threads."""
import contextlib
import http.server
import io
import os
import signal
import subprocess
import sys
import tempfile
import threading

import h5py
import numpy as np
import pytest

import tessal_plus.bundle as tb

DOUBLES = os.path.join(os.path.dirname(__file__), "..", "doubles")
# A child that has not ended by then is taken for hung.
HANG_SECONDS = 60


@pytest.fixture
def python(world, monkeypatch):
    """Starts `code` in a child interpreter of its own session (its own
    process group, as a command started from a terminal), with the package,
    the doubles and the world's settings; `tb` is the package."""
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([DOUBLES, os.path.join(DOUBLES, os.environ.get("TB_TESSAL_PLUS", "namespace"))]))

    def start(code, *args):
        return subprocess.Popen([sys.executable, "-c", "import tessal_plus.bundle as tb\n" + code, *map(str, args)],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                start_new_session=True)
    return start


def finish(child):
    """The child's output once it has ended; a child that hangs fails the test.
    Its status and standard error go to the report of a failing test."""
    try:
        out, err = child.communicate(timeout=HANG_SECONDS)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.communicate()
        pytest.fail("the child hung")
    print(f"child exited {child.returncode}; its standard error:\n{err}")
    return out


CAUGHT = """
try:
    {}
except KeyboardInterrupt:
    print("KeyboardInterrupt")
"""


# A worker sends the Ctrl-C to the whole group in the middle of its task, as
# a terminal sends it to every process of the command; or one worker alone
# is interrupted, its task raising KeyboardInterrupt.
@pytest.mark.parametrize("interrupt", ["os.killpg(0, signal.SIGINT)", "raise KeyboardInterrupt"],
                         ids=["ctrl_c_to_the_group", "one_worker"])
def test_ctrl_c_during_an_update_reaches_the_caller_and_ends_every_process(python, bundle, world, interrupt):
    child = python(f"""
import os, signal, sys, quillonc
real, driver = quillonc.get_price, os.getpid()
def get_price(order_book_ids, *args, **kwargs):
    if os.getpid() != driver and order_book_ids == sys.argv[2]:
        {interrupt}
    return real(order_book_ids, *args, **kwargs)
quillonc.get_price = get_price
""" + CAUGHT.format('tb.update_minbar(sys.argv[1], ["stock", "futures"], False, 2)'), bundle, "000002.XSHE")
    assert finish(child).splitlines()[-1] == "KeyboardInterrupt"
    with pytest.raises(ProcessLookupError):
        os.killpg(child.pid, 0)  # no worker outlived the interpreter
    assert not any("失败" in m for m in world.log_messages())


def test_console_text_and_prompts_go_through_pythons_streams(bundle, world, monkeypatch, capfd):
    monkeypatch.setattr(sys, "stdin", io.StringIO("no\n"))
    with contextlib.redirect_stdout(io.StringIO()) as out:
        print("before")
        tb.deal_with_check_result([os.path.join(bundle, "600000.XSHG.h5")], [], "分钟")
        print("after")
    lines = out.getvalue().splitlines()
    assert lines[0] == "before" and lines[-1] == "after"
    assert any(line.endswith("(yes/no):") for line in lines) and "600000.XSHG" in out.getvalue()
    assert capfd.readouterr().out == ""


@pytest.fixture
def asset_server():
    """An asset server on 127.0.0.1 that never finishes: it holds back the
    answer to its first request when `stall_headers`, and otherwise sends a
    long body a little at a time. `reached[n]` is set once request n got what
    it will get (nothing, or the first piece of the body)."""
    done = threading.Event()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            with self.server.lock:
                reached = self.server.reached[self.server.requests]
                self.server.requests += 1
            if self.server.stall_headers:
                reached.set()
                done.wait()
                return
            self.send_response(200)
            self.send_header("Content-Length", str(1 << 30))
            self.end_headers()
            try:
                while not done.is_set():
                    self.wfile.write(bytes(1024))
                    self.wfile.flush()
                    reached.set()
                    done.wait(0.05)
            except OSError:  # the client went away
                pass

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.lock, server.requests, server.stall_headers = threading.Lock(), 0, False
    server.reached = [threading.Event() for _ in range(4)]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield server
    done.set()
    server.shutdown()
    server.server_close()


# The transfer's own request waits for the headers; the body is the host's
# download, a second request.
@pytest.mark.parametrize("phase, request_number", [("headers", 0), ("body", 1)])
def test_ctrl_c_during_the_sample_download_raises_at_once_and_leaves_no_temporary_file(python, asset_server, tmp_path,
                                                                                       monkeypatch, phase, request_number):
    asset_server.stall_headers = phase == "headers"
    monkeypatch.setenv("TESSAL_ASSET_HOST", "%s:%d" % asset_server.server_address)
    (tmp_path / "tmp").mkdir()
    monkeypatch.setenv("TMPDIR", str(tmp_path / "tmp"))
    child = python("import sys\n" + CAUGHT.format("tb.download_simple_bundle(sys.argv[1], True)"), tmp_path / "sample")
    if not asset_server.reached[request_number].wait(HANG_SECONDS):
        child.kill()
        pytest.fail(f"the download never reached its {phase}: {child.communicate()}")
    child.send_signal(signal.SIGINT)
    assert finish(child).splitlines()[-1] == "KeyboardInterrupt"
    assert os.listdir(tmp_path / "tmp") == []


def test_forked_checks_run_beside_a_busy_python_thread(python, bundle, world, capfd):
    assert tb.update_bundle_from_quillonc(1, bundle, True, ["600000.XSHG", "000001.XSHE", "AU2412"], [], False)
    child = python("""
import sys, threading
def busy():
    while True:
        sum(range(1000))
threading.Thread(target=busy, daemon=True).start()
for _ in range(3):
    tb.check_min_bar_data(sys.argv[1], concurrency=2)
""", bundle)
    assert finish(child).count("数据质量良好") == 3
    capfd.readouterr()


def digests(folder):
    return {os.path.join(r, n): open(os.path.join(r, n), "rb").read() for r, _d, ns in os.walk(folder) for n in ns}


@pytest.fixture
def updated(bundle, world):
    assert tb.update_bundle_from_quillonc(1, bundle, True, ["600000.XSHG", "000001.XSHE", "AU2412"], ["600000.XSHG"], False)
    return bundle


@pytest.fixture
def checked(updated):
    """A bundle whose minute check asks the service about one day: the index
    of 000001.XSHE lacks a day in the middle."""
    bundle = updated
    with h5py.File(os.path.join(bundle, "bundle", "h5", "equities", "000001.XSHE.h5"), "a") as f:
        index = f["index"][:]
        del f["index"]
        f.create_dataset("index", data=np.delete(index, len(index) // 2), maxshape=(None,))
    return bundle


@pytest.mark.parametrize("concurrency", [1, 2])
def test_ctrl_c_during_a_check_reaches_the_caller_and_ends_every_process(python, checked, concurrency):
    # The service is asked about the missing day in whichever process checks
    # that file; it sends the Ctrl-C to the whole group, as a terminal does,
    # and a checking process that kept the interpreter's handler would stay.
    before = digests(checked)
    child = python("""
import os, signal, sys, tempfile, time, quillonc
real, caller = quillonc.get_price, os.getpid()
sent = os.path.join(tempfile.gettempdir(), "ctrl-c-sent-%d" % caller)
def get_price(*args, **kwargs):
    # One Ctrl-C, as from a terminal: a checking process started again
    # after the first one died must not send another.
    try:
        os.close(os.open(sent, os.O_CREAT | os.O_EXCL))
        os.killpg(0, signal.SIGINT)
    except FileExistsError:
        pass
    while os.getpid() != caller:
        try:
            time.sleep(1)
        except KeyboardInterrupt:
            pass
    return real(*args, **kwargs)
quillonc.get_price = get_price
""" + CAUGHT.format("tb.check_min_bar_data(sys.argv[1], concurrency=int(sys.argv[2]), quality=True)"), checked, concurrency)
    out = finish(child)
    with contextlib.suppress(FileNotFoundError):
        os.remove(os.path.join(tempfile.gettempdir(), "ctrl-c-sent-%d" % child.pid))
    assert out.splitlines()[-1] == "KeyboardInterrupt"
    with pytest.raises(ProcessLookupError):
        os.killpg(child.pid, 0)  # no checking process outlived the interpreter
    assert digests(checked) == before


def test_checks_finish_in_a_host_that_ignores_sigchld(python, updated):
    child = python("""
import signal, sys
signal.signal(signal.SIGCHLD, signal.SIG_IGN)
signal.alarm(HANG)
m = tb.check_min_bar_data(sys.argv[1], concurrency=2, quality=True)
t = tb.check_tick_data(sys.argv[1], concurrency=2, quality=True)
print(m["files"], t["files"])
""".replace("HANG", str(HANG_SECONDS)), updated)
    assert finish(child).splitlines()[-1] == "3 1"
