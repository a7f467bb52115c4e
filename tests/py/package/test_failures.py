"""Failures and interruptions go through the package as through a Python
function of the host's: a broken pool fails the run, Ctrl-C and the client's
own exceptions reach the caller unchanged, logged errors are one line."""
import multiprocessing
import os
import signal

import pandas as pd
import pytest
import quillonc

import tessal_plus.bundle as tb

IDS = ["600000.XSHG", "000001.XSHE"]
LATER = "2024-06-12 18:00:00"  # 06-10 is a holiday


def failing_get_price(victim, fail):
    """The double's get_price, except that asking it for `victim` runs `fail`."""
    real = quillonc.get_price

    def get_price(order_book_ids, *args, **kwargs):
        if order_book_ids == victim:
            fail()
        return real(order_book_ids, *args, **kwargs)
    return get_price


@pytest.fixture
def stored(bundle, world, monkeypatch):
    """One minute-bar file up to the fixture clock's day, to be updated later."""
    folder = os.path.join(bundle, "h5")
    tb._append_h5(IDS[0], folder)
    path = os.path.join(folder, "equities", IDS[0] + ".h5")
    monkeypatch.setenv("TESSAL_NOW", LATER)
    with open(path, "rb") as f:
        return folder, path, f.read()


def test_a_worker_killed_mid_task_fails_the_run(bundle, world, monkeypatch, capfd):
    parent = os.getpid()

    def kill_the_worker():
        if os.getpid() != parent:
            os.kill(os.getpid(), signal.SIGKILL)
    monkeypatch.setattr(quillonc, "get_price", failing_get_price(IDS[1], kill_the_worker))
    assert tb.update_minbar(bundle, IDS, False, 2) is False
    assert any(IDS[1] in m for m in world.log_messages())
    capfd.readouterr()


@pytest.mark.parametrize("interruption", [KeyboardInterrupt, SystemExit])
def test_an_interruption_in_a_writer_reaches_the_caller_and_leaves_the_file(stored, world, monkeypatch, interruption):
    folder, path, before = stored

    def interrupt():
        raise interruption()
    monkeypatch.setattr(quillonc, "get_price", failing_get_price(IDS[0], interrupt))
    with pytest.raises(interruption):
        tb._append_h5(IDS[0], folder)
    with open(path, "rb") as f:
        assert f.read() == before
    assert world.log_messages() == []
    import tessal.data.bundle as host
    assert host.sval.value


def test_a_minute_answer_with_a_missing_time_stamp_is_refused(stored, world, monkeypatch):
    """As a failure of the fetch it answers: an update of a file logs it, clears
    the run's flag and leaves the file as it was; a new file's first fetch comes
    before any file is opened, so there the refusal reaches the caller."""
    folder, path, before = stored
    real = quillonc.get_price

    def get_price(*args, **kwargs):
        answer = real(*args, **kwargs)
        if kwargs.get("frequency") == "1m" and answer is not None:
            ids, times = answer.index.get_level_values(0), answer.index.get_level_values(1).tolist()
            times[-1] = pd.NaT
            answer.index = pd.MultiIndex.from_arrays([ids, pd.DatetimeIndex(times)], names=answer.index.names)
        return answer
    monkeypatch.setattr(quillonc, "get_price", get_price)
    import tessal.data.bundle as host
    monkeypatch.setattr(host, "sval", multiprocessing.Value("b", True))
    tb._append_h5(IDS[0], folder)
    [message] = world.log_messages()
    assert message.startswith("更新 " + path) and IDS[0] in message and "NaT" in message, message
    with open(path, "rb") as f:
        assert f.read() == before
    assert not host.sval.value
    os.remove(path)
    host.sval.value = True
    with pytest.raises(RuntimeError, match=IDS[0] + ".*NaT"):
        tb._append_h5(IDS[0], folder)
    assert not os.path.exists(path) and host.sval.value and len(world.log_messages()) == 1


def test_the_clients_errors_keep_their_class_and_are_logged_on_one_line(stored, world, monkeypatch, capfd):
    folder, path, before = stored

    class Outage(ConnectionError):
        pass

    def fail():
        raise Outage("service down")
    monkeypatch.setattr(quillonc, "all_instruments", lambda *a, **k: fail())
    with pytest.raises(Outage, match="^service down$"):
        tb._merge_tags(["stock"], False)

    monkeypatch.setattr(quillonc, "get_price", failing_get_price(IDS[0], fail))
    tb._append_h5(IDS[0], folder)
    [message] = world.log_messages()
    assert message.startswith("更新 " + path) and message.endswith("\nOutage: service down"), message
    capfd.readouterr()
