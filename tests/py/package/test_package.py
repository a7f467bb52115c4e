"""tessal_plus.bundle as the host imports and calls it, on the test doubles."""
import inspect
import io
import os
import subprocess
import sys

import h5py
import numpy as np
import pytest

import tessal_plus.bundle as tb

HERE = os.path.dirname(__file__)


# ---- loading -----------------------------------------------------------------

@pytest.mark.parametrize("missing", [
    "quillonc", "quillonc.share.errors", "tessal.data.bundle", "tessal.cmds.bundle", "tessal.const",
    "tessal.utils.datetime_func", "tessal.utils.logger", "tessal_mod_palomar_data.data_sources.data_store",
    "tessal_plus.utils.scripts", "tessal_plus.utils",
])
def test_a_missing_component_fails_the_import_with_its_own_error(missing):
    code = (
        "import sys; sys.path[:0] = sys.argv[1:3]\n"
        f"sys.modules[{missing!r}] = None\n"
        "try:\n    import tessal_plus.bundle\nexcept ImportError as e:\n    print('ImportError', e)\n"
        "else:\n    print('imported')\n"
    )
    doubles = os.path.join(HERE, "..", "doubles")
    out = subprocess.run([sys.executable, "-c", code, doubles, os.path.join(doubles, "namespace")],
                         capture_output=True, text=True, timeout=60).stdout
    assert out.startswith("ImportError"), out
    assert missing in out


# What the host's process looks like to C code: the handlers of the signals
# a writer or a pool touches, and HDF5's automatic error printing.
_PROCESS_STATE = """
import ctypes, ctypes.util, os, sys
sys.path[:0] = sys.argv[1:3]
libc = ctypes.CDLL(None)
hdf5 = ctypes.CDLL(ctypes.util.find_library("hdf5_serial"))
def state():
    handlers = []
    for sig in (2, 13, 15, 17, 25):  # INT, PIPE, TERM, CHLD, XFSZ
        act = ctypes.create_string_buffer(152)
        libc.sigaction(sig, None, act)
        handlers.append(act.raw[:8].hex())
    func, data = ctypes.c_void_p(), ctypes.c_void_p()
    hdf5.H5Eget_auto2(ctypes.c_int64(0), ctypes.byref(func), ctypes.byref(data))
    return handlers, func.value, data.value
before = state()
import tessal_plus.bundle as tb
loaded = state()
tb._get_end_date()
print(before == loaded == state(), before, loaded)
"""


def test_loading_and_calling_leave_the_hosts_process_as_it_was():
    doubles = os.path.join(HERE, "..", "doubles")
    env = dict(os.environ, TESSAL_NOW="2024-06-07 18:00:00")
    out = subprocess.run([sys.executable, "-c", _PROCESS_STATE, doubles, os.path.join(doubles, "namespace")],
                         capture_output=True, text=True, timeout=60, env=env)
    assert out.stdout.startswith("True"), out.stdout + out.stderr
    # Nor does the core tune the host's allocator.
    undefined = subprocess.run(["nm", "-D", "--undefined-only", tb._core.__file__], capture_output=True, text=True).stdout
    assert "mallopt" not in undefined and "free" in undefined


def test_constants():
    from tessal.const import INSTRUMENT_TYPE as IT
    assert tb.EQUITIES_DTYPE == np.dtype([("datetime", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"),
                                          ("close", "<f8"), ("volume", "<f8"), ("total_turnover", "<f8")])
    assert tb.EQUITIES_DTYPE.itemsize == 56 and tb.DERIVATIVES_DTYPE.itemsize == 64 and tb.INDEX_DTYPE.itemsize == 8
    assert tb.DERIVATIVES_DTYPE.names[5] == "open_interest"
    assert list(tb.TAG_MAP) == ["stock", "futures", "fund", "index", "option", "convertible"]
    assert tb.TAG_MAP["fund"] == (IT.ETF, IT.LOF, IT.INDX)
    assert tb.EQUITIES_INS_TYPE == [IT.CS, IT.ETF, IT.LOF, IT.INDX, IT.CONVERTIBLE, IT.REITs]
    assert (tb.MIN_START_DATE, tb.MAX_END_DATE, tb.REBUILD_COMFIRM_RETRY_TIMES, tb.TICK_DATE_CHUNK_SIZE) == \
        (20050104, 29991231, 3, 100)
    assert tb.COMPRESSION_KWARGS == {"compression": 32001, "compression_opts": (0, 0, 0, 0, 9, 1, 1), "shuffle": False}
    assert tb.update_bundle_from_quillonc.__doc__ == "通过quillonc更新指定标的的数据"
    assert tb.update_bundle_from_exist_file.__doc__ == "从bundle数据中查看已存在的标的文件 进行增量更新"
    assert tb._append_h5_tick.__doc__ == "更新tick级h5文件"


def test_defaults_are_taken_when_the_operations_are_defined(monkeypatch):
    monkeypatch.setattr(tb, "MIN_START_DATE", 20200101)
    for op in (tb._append_h5, tb._append_h5_tick):
        assert inspect.signature(op).parameters["min_start_date"].default == 20050104
    params = [n for n, p in inspect.signature(tb.update_bundle_from_quillonc).parameters.items()
              if p.kind == p.POSITIONAL_OR_KEYWORD]
    assert params == ["concurrency", "data_bundle_path", "base", "minbar", "tick", "with_derivatives", "rebuild",
                            "enable_bjse"]
    assert list(inspect.signature(tb.download_simple_bundle).parameters) == ["data_bundle_path", "sample", "file_path"]


# ---- enforced types ------------------------------------------------------------

@pytest.mark.parametrize("call, name", [
    (lambda: tb.deal_with_check_result("a.h5", [], "tick"), "error_file_path_list"),
    (lambda: tb.deal_with_check_result([], ("a.h5",), "tick"), "blocking_or_permision_error"),
    (lambda: tb.deal_with_check_result([], [], b"tick"), "frequency"),
    (lambda: tb.remove_h5(b"/tmp/x.h5"), "h5_file"),
    (lambda: tb._append_h5(600000, "/tmp"), "order_book_id"),
    (lambda: tb._append_h5("A", 5), "path"),
    (lambda: tb._append_h5("A", "/tmp", 3), "file_name"),
    (lambda: tb._append_h5("A", "/tmp", None, "20050104"), "min_start_date"),
    (lambda: tb.update_minbar(None, [], False, 1), "path"),
    (lambda: tb.update_minbar("/tmp", [], False, "2"), "concurrency"),
    (lambda: tb.update_tick(b"/tmp", [], False, 1), "path"),
    (lambda: tb.update_tick("/tmp", [], False, 1.0), "concurrency"),
])
def test_declared_types_are_enforced_with_an_error_naming_the_argument(call, name, capfd):
    with pytest.raises(TypeError) as e:
        call()
    assert f'"{name}"' in str(e.value)
    assert capfd.readouterr().out == ""  # rejected before anything ran


def test_other_declarations_are_not_enforced(bundle, world, capfd):
    # A tuple of tags, integers for booleans, a path object: accepted as they come.
    assert tb.update_minbar(bundle + "/h5", ("nothing",), 0, 1) is True
    assert tb._merge_tags(("600000.XSHG",), 0) == {"600000.XSHG"}
    tb.check_min_bar_data(__import__("pathlib").Path(bundle))
    assert "不存在 trading_dates.npy" in capfd.readouterr().out


# ---- operations on the doubles -----------------------------------------------

def test_full_update_through_the_hosts_pool_asks_the_service_as_always(bundle, world, capfd):
    ok = tb.update_bundle_from_quillonc(concurrency=2, data_bundle_path=bundle, base=True, minbar=["600000.XSHG", "AU2412"],
                                        tick=["600000.XSHG"], with_derivatives=False)
    assert ok is True
    out = capfd.readouterr().out
    assert "开始更新 2 只标的的分钟线数据：{'600000.XSHG', 'AU2412'}" in out
    daybar = world.host_calls(fn="update_bundle")
    assert daybar[0]["kwargs"]["quillon_kwargs"] == {"enable_bjse": False}
    assert daybar[0]["kwargs"]["create"] is True
    pool = world.host_calls(fn="ProgressedProcessPoolExecutor")
    assert pool[0]["kwargs"]["max_workers"] == 2
    submits = world.host_calls(fn="ProgressedProcessPoolExecutor.submit")
    # Each task is one object of the package's: the store, the instrument, the folder and the rebuild flag.
    tasks = {s["args"][0] for s in submits}  # the double names a callable by its module and repr
    assert "tessal_plus.bundle._adapters.PoolTask('minute', '600000.XSHG', %r, rebuild=False)" % os.fsencode(
        bundle + "/bundle/h5") in tasks
    assert {t.split(",")[0] for t in tasks} == {"tessal_plus.bundle._adapters.PoolTask('minute'",
                                                "tessal_plus.bundle._adapters.PoolTask('tick'"}
    minute = [c for c in world.service_calls(fn="get_price") if c["kwargs"].get("frequency") == "1m"]
    assert minute and minute[0]["kwargs"] == {"start_date": 20050104, "end_date": 20240607, "frequency": "1m",
                                              "adjust_type": "none", "expect_df": True, "market": "cn"}
    assert len({c["pid"] for c in minute}) >= 1 and all(c["pid"] != os.getpid() for c in minute)
    with h5py.File(bundle + "/bundle/h5/future/AU2412.h5", "r") as f:
        assert f["data"].dtype == tb.DERIVATIVES_DTYPE and f["index"].dtype == tb.INDEX_DTYPE
        dt = f["data"]["datetime"]
        assert (np.diff(dt) > 0).all()
        # Night bars belong to the next trading day's index entry.
        first = f["index"][1]
        assert dt[first["line_no"]] // 1000000 < first["date"]
    with h5py.File(bundle + "/bundle/ticks/600000.XSHG.h5", "r") as f:
        from tessal_mod_palomar_data.data_sources.data_store import H5TicksLoader
        day = f[sorted(f)[-1]]
        assert day.dtype == np.dtype(H5TicksLoader.DTYPES)


def test_a_failing_writer_is_logged_through_the_host_and_the_driver_returns_false(bundle, world, monkeypatch, capfd):
    monkeypatch.setenv("QUILLONC_DOUBLE_CONFIG", '{"bars_per_day": 8, "denied_ids": ["600000.XSHG"]}')
    assert tb.update_minbar(bundle, ["600000.XSHG", "000001.XSHE"], False, 2) is False
    messages = world.log_messages()
    assert len(messages) == 1 and messages[0].startswith("更新 ") and "600000.XSHG" in messages[0]
    assert os.path.exists(bundle + "/equities/000001.XSHE.h5")
    capfd.readouterr()


def test_a_refused_rebuild_ends_the_program_with_status_zero(bundle, world, monkeypatch, capfd):
    monkeypatch.setattr(sys, "stdin", io.StringIO("n\n"))
    with pytest.raises(SystemExit) as e:
        tb.update_bundle_from_quillonc(1, bundle, False, ["600000.XSHG"], [], False, rebuild=True)
    assert e.value.code == 0
    assert "是否确认?[Y/n]" in capfd.readouterr().out


def test_the_checks_read_pythons_stdin_and_errors_keep_their_kind(bundle, world, monkeypatch, capfd):
    assert tb.update_bundle_from_quillonc(1, bundle, True, ["600000.XSHG"], [], False)
    path = bundle + "/bundle/h5/equities/600000.XSHG.h5"
    with h5py.File(path, "r+") as f:
        del f["data"]
    monkeypatch.setattr(sys, "stdin", io.StringIO("yes\n"))
    tb.check_min_bar_data(bundle)
    out = capfd.readouterr().out
    assert "['600000.XSHG']" in out and "删除完成" in out
    assert not os.path.exists(path)
    monkeypatch.setattr(sys, "stdin", io.StringIO(""))
    with pytest.raises(EOFError):
        tb.deal_with_check_result([path], [], "分钟")
    with pytest.raises(ValueError, match="unknown check option 'deep'"):
        tb._core.check_min_bar_data(os.fsencode(bundle), dict(concurrency=1, deep=True))  # deep reads ticks only
    with pytest.raises(OSError) as e:
        tb.remove_h5(bundle)  # a folder
    assert e.value.errno is not None
    from quillonc.share.errors import PermissionDenied
    monkeypatch.setenv("QUILLONC_DOUBLE_CONFIG", '{"bars_per_day": 8, "bjse_permission": false}')
    with pytest.raises(SystemExit):
        tb.update_bundle_from_quillonc(1, bundle, False, [], [], False, enable_bjse=True)
    capfd.readouterr()
    assert issubclass(PermissionDenied, Exception)


def test_the_content_rules_healing_and_the_health_page_through_the_host(bundle, world, monkeypatch, capfd, tmp_path):
    assert tb.update_bundle_from_quillonc(1, bundle, True, ["600000.XSHG"], [], False)
    path = bundle + "/bundle/h5/equities/600000.XSHG.h5"
    with open(path, "rb") as f:
        fresh = f.read()

    def plant():
        with h5py.File(path, "r+") as f:
            data = f["data"][...]
            data["volume"][3] = -1.0
            f["data"][...] = data
    plant()
    monkeypatch.setattr(sys, "stdin", io.StringIO(""))  # nobody is asked
    found = tb.check_min_bar_data(bundle, quality=True, thresholds={"price_jump.equities": 0.5})
    out = capfd.readouterr().out
    assert "600000.XSHG: negative_volume x1" in out and "1个文件有内容问题" in out and "质量良好" not in out
    assert [(rule, count) for rule, _first, count in found["findings"][path]] == [("negative_volume", 1)]
    import tessal.data.bundle as host
    installed = getattr(host, "sval", None)
    assert tb.check_min_bar_data(bundle, quality=True, heal=True)["heals"] == {path: ("healed", "")}
    assert getattr(host, "sval", None) is installed  # healing brings a run flag of its own
    assert "600000.XSHG: healed" in capfd.readouterr().out
    with open(path, "rb") as f:
        assert f.read() == fresh
    # Verified against the service double: the healed file is its data, on the days the seed draws.
    checked = tb.check_min_bar_data(bundle, verify=2, verify_seed=5)
    assert (checked["verify_seed"], checked["findings"], checked["not_verified"]) == (5, {}, {})
    assert "(seed 5;" in capfd.readouterr().out
    with pytest.raises(ValueError):
        tb.check_tick_data(bundle, verify=-1)
    # A service whose own bars hold the finding: the refill is kept, the finding is the source's.
    import quillonc
    real = quillonc.get_price

    def get_price(*args, **kwargs):
        answer = real(*args, **kwargs)
        if kwargs.get("frequency") == "1m" and answer is not None:
            answer.iloc[3, answer.columns.get_loc("volume")] = -1.0
        return answer
    monkeypatch.setattr(quillonc, "get_price", get_price)
    plant()
    assert tb.check_min_bar_data(bundle, quality=True, heal=True)["heals"] == {path: ("source", "")}
    with pytest.raises(ValueError):
        tb.check_min_bar_data(bundle, quality=True, thresholds="price_jump.nowhere=1")
    page = tmp_path / "health.html"
    tb.write_health_page(bundle, str(page))
    assert 'data-id="600000.XSHG"' in page.read_text(encoding="utf-8")
    # A mistyped bundle path: the page refuses it; a check says what it always said.
    with pytest.raises(FileNotFoundError):
        tb.write_health_page(bundle + "-typo", str(tmp_path / "typo.html"))
    assert tb.check_min_bar_data(bundle + "-typo")["files"] == 0
    assert "当前目录下不存在 trading_dates.npy 文件" in capfd.readouterr().out


def test_smart_update_passes_bjse_as_its_own_keyword(bundle, world, capfd):
    assert tb.update_bundle_from_quillonc(1, bundle, True, ["600000.XSHG"], ["600000.XSHG"], False)
    world.clear(os.environ["TESSAL_DOUBLE_LOG"])
    assert tb.update_bundle_from_exist_file(1, bundle) is True
    call = world.host_calls(fn="update_bundle")[0]
    assert call["kwargs"]["enable_bjse"] is False and "quillon_kwargs" not in call["kwargs"]
    assert call["kwargs"]["create"] is False
    capfd.readouterr()


def test_the_package_and_the_command_line_write_the_same_bytes(tmp_path):
    """One update through the package (the host's pool and tick layout) and one
    through the command line on the same Python client (--service python:)."""
    cli = os.environ.get("TB_BIN")
    if not cli:
        pytest.skip("TB_BIN names the command line to compare with")
    doubles = os.path.join(HERE, "..", "doubles")
    env = dict(os.environ, TESSAL_NOW="2024-06-07 18:00:00", TESSAL_DOUBLE_TICK_LAYOUT="full",
               QUILLONC_DOUBLE_CONFIG='{"bars_per_day": 8, "tick_interval": 1200}',
               PYTHONPATH=os.pathsep.join([doubles, os.path.join(doubles, "namespace")]))
    env.pop("QUILLONC_DOUBLE_LOG", None)
    env.pop("TESSAL_DOUBLE_LOG", None)
    ids = ["600000.XSHG", "000002.XSHE", "AU2412", "AU2412C560"]
    code = ("import sys, tessal_plus.bundle as tb\n"
            "sys.exit(0 if tb.update_bundle_from_quillonc(2, sys.argv[1], False, sys.argv[2].split(','), ['AU2412'], False) else 1)")
    subprocess.run([sys.executable, "-c", code, str(tmp_path / "py"), ",".join(ids)], env=env, check=True, timeout=300,
                   capture_output=True)
    subprocess.run([cli, "--service", "python:quillonc", "update", str(tmp_path / "cli"), "--minbar", ",".join(ids),
                    "--tick", "AU2412", "-j", "2"], env=env, check=True, timeout=300, capture_output=True)

    def files(root):
        root = os.path.join(root, "bundle")
        return sorted(os.path.relpath(os.path.join(d, n), root) for d, _s, ns in os.walk(root) for n in ns)

    names = files(tmp_path / "py")
    assert len(names) == 5 and names == files(tmp_path / "cli")
    for name in names:
        with open(tmp_path / "py" / "bundle" / name, "rb") as a, open(tmp_path / "cli" / "bundle" / name, "rb") as b:
            assert a.read() == b.read(), name


def test_the_other_operations_on_the_doubles(bundle, world, monkeypatch, capfd, tmp_path):
    import warnings
    # The session switch ignores the client's warnings while it runs and puts
    # the caller's filters back.
    before = warnings.filters[:]
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        tb._switch_of_bjse(True)
        tb._init_quillon()
        assert seen == []
        warnings.warn("after")
        assert len(seen) == 1
    assert warnings.filters == before
    inits = [c for c in world.service_calls(fn="init")]
    assert [c["kwargs"] for c in inits] == [{"enable_bjse": True}, {"enable_bjse": False}]

    # Ticks by the driver and by the writer itself, then the tick check.
    assert tb.update_bundle_from_quillonc(1, bundle, True, [], [], False)
    ticks = bundle + "/bundle/ticks"
    assert tb.update_tick(ticks, ["000002.XSHE"], False, 1) is True
    tb._append_h5_tick("600000.XSHG", ticks, min_start_date=20240603)
    day_requests = [c for c in world.service_calls(fn="get_price") if c["args"][0] == "600000.XSHG"
                    and "frequency" not in c["kwargs"]]
    assert day_requests[0]["args"][1:] == [20240603, 20240607] and day_requests[0]["kwargs"] == {"expect_df": True}
    with h5py.File(ticks + "/000002.XSHE.h5", "r") as f:
        suspended = [n for n in f if len(f[n]) == 0]
    assert suspended  # empty markers for the stock's suspension days
    monkeypatch.setattr(sys, "stdin", io.StringIO("no\n"))
    tb.check_tick_data(bundle)
    assert "检测完成：tick数据质量良好！" in capfd.readouterr().out

    # The sample bundle from a local archive.
    import tarfile
    archive = tmp_path / "vxbundle_sample.tar.bz2"
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "trading_dates.npy").write_bytes(b"x")
    with tarfile.open(archive, "w:bz2") as t:
        t.add(tmp_path / "src" / "trading_dates.npy", arcname="trading_dates.npy")
    tb.download_simple_bundle(str(tmp_path / "sample"), True, str(archive))
    assert (tmp_path / "sample" / "bundle" / "trading_dates.npy").read_bytes() == b"x"
    capfd.readouterr()


def test_a_dask_cluster_can_run_the_writers_in_place_of_the_hosts_pool(bundle, world, tmp_path, monkeypatch, capfd):
    distributed = pytest.importorskip("distributed")
    doubles = os.path.join(HERE, "..", "doubles")
    flavour = os.environ.get("TB_TESSAL_PLUS", "namespace")
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([doubles, os.path.join(doubles, flavour)]))
    ids = ["600000.XSHG", "000002.XSHE", "AU2412"]
    # The workers' scratch folder goes with the test's, not into the temporary folder for good.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=50, local_directory=str(tmp_path / "workers")) as cluster, \
            distributed.Client(cluster) as client:
        assert tb.update_minbar(str(tmp_path / "dask"), ids, False, 2, executor=client.get_executor()) is True
        # A writer that fails on a worker makes the run fail, as in the host's pool.
        monkeypatch.setenv("QUILLONC_DOUBLE_CONFIG", '{"bars_per_day": 8, "tick_interval": 1200, "denied_ids": ["000001.XSHE"]}')
        config = os.environ["QUILLONC_DOUBLE_CONFIG"]
        client.run(lambda: os.environ.update(QUILLONC_DOUBLE_CONFIG=config))
        assert tb.update_minbar(str(tmp_path / "failed"), ["000001.XSHE"], False, 2,
                                executor=client.get_executor()) is False
    monkeypatch.setenv("QUILLONC_DOUBLE_CONFIG", '{"bars_per_day": 8, "tick_interval": 1200}')
    assert tb.update_minbar(str(tmp_path / "pool"), ids, False, 2) is True
    for root, _dirs, names in os.walk(tmp_path / "pool"):
        for name in names:
            rel = os.path.relpath(os.path.join(root, name), tmp_path / "pool")
            with open(os.path.join(root, name), "rb") as a, open(tmp_path / "dask" / rel, "rb") as b:
                assert a.read() == b.read(), rel
    assert sum(len(n) for _r, _d, n in os.walk(tmp_path / "dask")) == 3
    capfd.readouterr()
