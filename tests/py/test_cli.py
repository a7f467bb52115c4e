"""The command line end to end on the simulated market."""
import collections
import json
import os
import re
import pickle
import random
import shutil
import signal
import subprocess
import time

import h5py
import pytest

from conftest import BIN, digests


def wait_until(condition, what, timeout=60):
    """Polls `condition` until it holds; fails the test once `timeout` seconds passed."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"{what}: not after {timeout} s")
        time.sleep(0.005)


def group_is_gone(pgid):
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return True
    return False


def minute_requests(cli):
    return [r for r in cli.requests() if r[0] == "get_price" and r[4] == "1m"]


def test_second_update_fetches_no_bars_and_keeps_minute_files_byte_identical(cli):
    data = str(cli.tmp / "data")
    args = ["update", data, "--minbar", "stock", "--minbar", "AU,fund", "--tick", "600000.XSHG", "-j", "2"]
    first = cli.run(*args[:2], "--base", *args[2:])
    assert "开始更新日线及基础数据" in first.out
    assert minute_requests(cli)
    before = digests(os.path.join(data, "bundle", "h5"))
    cli.clear_requests()
    trace = str(cli.tmp / "opens")
    cli.run(*args, wrap=("strace", "-f", "-qq", "-y", "-e", "trace=open,openat,creat,pread64", "-o", trace))
    assert minute_requests(cli) == []
    assert digests(os.path.join(data, "bundle", "h5")) == before
    # Up-to-date minute files are only read: no open for writing, no journal;
    # and read in a few blocks (start, end, chunk index), not in HDF5's
    # dozen small pieces.
    with open(trace) as f:
        lines = [line for line in f if "/bundle/h5/" in line]
    opens = [line for line in lines if "open" in line]
    assert any(".h5" in line for line in opens)
    assert [line for line in opens if re.search(r"O_RDWR|O_WRONLY|O_CREAT", line)] == []
    reads = collections.Counter(re.search(r"pread64\(\d+<([^>]*)>", line).group(1) for line in lines if "pread64(" in line)
    assert reads and max(reads.values()) <= 6, reads.most_common(3)
    # The tick file's latest day is fetched again, nothing else.
    ticks = [r for r in cli.requests() if r[0] == "get_price" and r[4] == "tick"]
    assert [(r[1], r[2], r[3]) for r in ticks] == [("600000.XSHG", "20240607", "20240607")]


def test_smart_update_refreshes_exactly_the_existing_files(cli):
    data = str(cli.tmp / "data")
    cli.run("update", data, "--base", "--minbar", "600000.XSHG,000001.XSHE,AU", "--tick", "000001.XSHE", "-j", "2",
            now="2024-06-05 18:00:00")
    bundle = os.path.join(data, "bundle")
    minute_ids = {n[:-3] for d in os.listdir(os.path.join(bundle, "h5")) for n in os.listdir(os.path.join(bundle, "h5", d))}
    os.remove(os.path.join(bundle, "ticks", "000001.XSHE.h5"))
    open(os.path.join(bundle, "ticks", "notes.txt"), "w").close()
    cli.clear_requests()
    out = cli.run("smart-update", data, "-j", "2").out
    assert out.startswith("开始智能更新已下载数据\n开始更新日线及基础数据\n")
    assert {r[1] for r in minute_requests(cli)} == minute_ids
    assert "tick数据" not in out  # no tick file left: no tick update
    after = {n[:-3] for d in os.listdir(os.path.join(bundle, "h5")) for n in os.listdir(os.path.join(bundle, "h5", d))}
    assert after == minute_ids
    with h5py.File(os.path.join(bundle, "h5", "equities", "600000.XSHG.h5"), "r") as f:
        assert f["index"]["date"][-1] == 20240607


@pytest.mark.parametrize("protocol", [2, 3, 4, 5])
def test_smart_update_reads_python_pickles_and_finds_bjse(cli, protocol):
    bundle = cli.tmp / "data" / "bundle"
    bundle.mkdir(parents=True)
    # Plain data only: sets and bytes take code-calling opcodes before protocol 4.
    records = [{"order_book_id": "600000.XSHG", "exchange": "XSHG", "listed": None, "n": 1, "x": 2.5, "ok": True},
               {"order_book_id": "000001.XSHE", "exchange": "XSHE", "tags": ("a", "b"), "more": [1, {"k": -70000}]},
               {"order_book_id": "830000.BJSE", "exchange": "BJSE"},
               {"no_exchange_here": 1}]  # never read: the scan stops at BJSE
    with open(bundle / "instruments.pk", "wb") as f:
        pickle.dump(records, f, protocol=protocol)
    cli.run("smart-update", str(cli.tmp / "data"))
    with open(bundle / "instruments.pk", "rb") as f:
        rewritten = pickle.load(f)
    assert any(r["exchange"] == "BJSE" for r in rewritten)


def test_hostile_or_truncated_instrument_lists_are_refused(cli):
    bundle = cli.tmp / "data" / "bundle"
    bundle.mkdir(parents=True)

    class Evil:
        def __reduce__(self):
            return (os.system, ("touch " + str(cli.tmp / "pwned"),))

    with open(bundle / "instruments.pk", "wb") as f:
        pickle.dump([{"exchange": "XSHG", "x": Evil()}], f, protocol=4)
    p = cli.run("smart-update", str(cli.tmp / "data"), check=False)
    assert p.returncode == 1 and "not allowed" in p.err and "instruments.pk" in p.err
    assert not (cli.tmp / "pwned").exists()
    whole = pickle.dumps([{"exchange": "XSHG"}] * 3, protocol=2)
    (bundle / "instruments.pk").write_bytes(whole[: len(whole) // 2])
    p = cli.run("smart-update", str(cli.tmp / "data"), check=False)
    assert p.returncode == 1 and "truncated" in p.err


def test_exit_statuses_prompts_and_help(cli):
    data = str(cli.tmp / "data")
    bad = cli.run("update", data, "--colour", "blue", check=False)
    assert bad.returncode == 2 and "--colour" in bad.err
    for sub in ("update", "smart-update", "check-minbar", "check-tick", "download-sample", "pack-sample", "market"):
        assert cli.run(sub, "--help").returncode == 0
    prompt = "本次会将指定的[合约分钟]和[合约tick]的h5文件从头进行更新，是否确认?[Y/n]\n"
    refused = cli.run("update", data, "--minbar", "600000.XSHG", "--rebuild", input="n\n")
    assert refused.out == prompt and not os.path.exists(os.path.join(data, "bundle"))
    wrong = cli.run("update", data, "--minbar", "600000.XSHG", "--rebuild", input="y\nN\n\n")
    assert wrong.out == prompt * 3
    ok = cli.run("update", data, "--minbar", "600000.XSHG", "--rebuild", input="x\nY\n")
    assert ok.out.startswith(prompt * 2 + "开始更新 1 只标的的分钟线数据：{'600000.XSHG'}")
    eof = cli.run("update", data, "--rebuild", check=False)
    assert eof.returncode == 1
    no_bjse = cli.run("update", data, "--base", "--enable-bjse", service="sim:start=20240401,bjse=0")
    assert no_bjse.out == "没有 enable_bjse 参数，详情可联系星桥科技：0000-00000000\n"
    refused_bjse = cli.run("update", data, "--base", "--enable-bjse", service="sim:start=20240401,bjse_perm=0")
    assert refused_bjse.out == no_bjse.out
    failed = cli.run("update", data, "--tick", "600000.XSHG", service="sim:start=20240401,tick_perm=0", check=False)
    assert failed.returncode == 1 and "您没有相关数据的使用权限" in failed.err


def test_checks_report_and_clean_up_through_the_command_line(cli):
    data = str(cli.tmp / "data")
    cli.run("update", data, "--base", "--minbar", "600000.XSHG,000001.XSHE", "--tick", "600000.XSHG", "-j", "2")
    good = cli.run("check-minbar", data, input="no\n")
    assert good.out == "共有2个分钟数据文件!\n\n检测完成：分钟数据质量良好！\n"
    broken = os.path.join(data, "bundle", "h5", "equities", "000001.XSHE.h5")
    with h5py.File(broken, "a") as f:
        index = f["index"][:]
        index["date"][1] += 1  # no longer the day of its first bar
        f["index"][:] = index
    kept = cli.run("check-minbar", data, input="", check=False)  # end of input at the prompt
    assert kept.returncode == 1 and "EOF" in kept.err and os.path.exists(broken)
    yes = cli.run("check-minbar", data, input="YES\n")
    assert "数据异常标的如下:\n['000001.XSHE']\n" in yes.out
    assert yes.out.endswith("\n删除完成！共删除1个标的。\n")
    assert not os.path.exists(broken)
    ticks = cli.run("check-tick", data, input="no\n")
    assert "检测完成：tick数据质量良好！" in ticks.out


def test_incremental_updates_equal_one_update_of_the_whole_span(cli):
    """Files grown day by day hold exactly what one update of the whole span writes."""
    grown, whole = str(cli.tmp / "grown"), str(cli.tmp / "whole")
    tags = ["--minbar", "600000.XSHG,AU,510050.XSHG", "--tick", "600000.XSHG,AU"]
    for now in ("2024-06-04 16:00:00", "2024-06-05 18:00:00", "2024-06-07 18:00:00"):
        cli.run("update", grown, *tags, now=now)
    cli.run("update", whole, *tags, now="2024-06-07 18:00:00")
    for kind in ("h5", "ticks"):
        a, b = os.path.join(grown, "bundle", kind), os.path.join(whole, "bundle", kind)
        names = sorted(os.path.relpath(os.path.join(r, n), a) for r, _d, ns in os.walk(a) for n in ns)
        assert names and names == sorted(os.path.relpath(os.path.join(r, n), b) for r, _d, ns in os.walk(b) for n in ns)
        for name in names:
            with h5py.File(os.path.join(a, name), "r") as fa, h5py.File(os.path.join(b, name), "r") as fb:
                assert sorted(fa) == sorted(fb)
                for ds in fa:
                    assert (fa[ds][:] == fb[ds][:]).all(), (name, ds)


def test_our_sample_archive_installs_and_checks_clean(cli):
    cli.run("pack-sample", str(cli.tmp / "out"), "-j", "2")
    archive = cli.tmp / "out" / "vxbundle_sample.tar.bz2"
    data = str(cli.tmp / "data")
    p = cli.run("download-sample", data, "--file", str(archive))
    assert p.out == "解压中...\nbundle 数据解压完成\n"
    assert archive.exists()
    # A file that is not there or not so named is said so, then a usage error.
    renamed = cli.tmp / "out" / "sample.tar.bz2"
    shutil.copy(archive, renamed)
    for wrong, said in ((cli.tmp / "vxbundle_sample.tar.bz2", "文件不存在"), (renamed, "文件名不为 vxbundle_sample.tar.bz2")):
        p = cli.run("download-sample", data, "--file", str(wrong), check=False)
        assert p.returncode == 2 and p.out.startswith(f"{wrong}{said}\n") and "--file" in p.err
    assert "分钟数据质量良好" in cli.run("check-minbar", data, input="no\n").out
    assert "tick数据质量良好" in cli.run("check-tick", data, input="no\n").out


@pytest.mark.parametrize("sig, to_group", [(signal.SIGINT, True), (signal.SIGTERM, False)])
def test_a_stopped_update_leaves_no_worker_and_no_unfinished_file(cli, sig, to_group):
    """Ctrl-C (the whole group) or SIGTERM to the parent alone: the workers are
    stopped and waited for, no unfinished file stays, and the status is 128+signal."""
    data = str(cli.tmp / "data")
    e = dict(os.environ, TESSAL_NOW="2024-06-07 18:00:00",
             TESSAL_SERVICE="sim:seed=3,start=20230102,stocks=60,futures=2,contracts=1,options=0")
    p = subprocess.Popen([BIN, "update", data, "--minbar", "all", "-j", "2"], env=e, start_new_session=True,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    equities = os.path.join(data, "bundle", "h5", "equities")
    wait_until(lambda: os.path.isdir(equities) and len(os.listdir(equities)) >= 3, "the update writing its files")
    if to_group:
        os.killpg(p.pid, sig)
    else:
        os.kill(p.pid, sig)
    _out, err = p.communicate(timeout=60)
    assert p.returncode == 128 + sig, err.decode()
    wait_until(lambda: group_is_gone(p.pid), "every process of the run ending")
    # An unfinished file is named .<id>.h5.rebuild-<pid>-<random>.
    leftovers = [n for _r, _d, ns in os.walk(data) for n in ns if ".h5.rebuild" in n]
    assert leftovers == []
    # The next run completes what was stopped, and the check finds nothing wrong.
    cli.run("update", data, "--base", "--minbar", "all", "-j", "2", service=e["TESSAL_SERVICE"])
    assert "分钟数据质量良好" in cli.run("check-minbar", data, input="no\n", service=e["TESSAL_SERVICE"]).out


CHECKED = "sim:seed=3,start=20230601,stocks=40,futures=1,contracts=1,options=0,tick_days=10"


@pytest.fixture(scope="module")
def checked_bundle(tmp_path_factory):
    """A bundle whose check at -j 2 --quality takes long enough to be hit: 55
    minute-bar files over a year, 43 tick files over ten days."""
    data = str(tmp_path_factory.mktemp("checked") / "data")
    e = dict(os.environ, TESSAL_NOW="2024-06-07 18:00:00", TESSAL_SERVICE=CHECKED)
    subprocess.run([BIN, "update", data, "--base", "--minbar", "all", "--tick", "stock", "-j", "2"], env=e, check=True,
                   capture_output=True)
    return data, e


def workers_of(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(c) for c in f.read().split()]
    except FileNotFoundError:
        return []


@pytest.mark.parametrize("store", ["check-minbar", "check-tick"])
def test_a_killed_checking_process_never_condemns_a_good_file(checked_bundle, store):
    """SIGKILL to one checking process at a random moment (the OOM killer, a
    stray kill), 20 times: no good file is listed broken or deleted, every file
    is judged again or listed as not checked, and the exit status says which."""
    data, e = checked_bundle
    before = digests(data)
    rng = random.Random(store)
    hits = 0
    for attempt in range(20):
        p = subprocess.Popen([BIN, store, data, "-j", "2", "--quality", "--yes", "--json"], env=e,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        while not workers_of(p.pid) and p.poll() is None:  # started, however loaded the machine
            time.sleep(0.002)
        time.sleep(rng.uniform(0, 0.2))
        workers = workers_of(p.pid)
        if workers:
            os.kill(rng.choice(workers), signal.SIGKILL)
            hits += 1
        out, err = p.communicate(timeout=120)
        doc = json.loads(out)
        assert (doc["broken"], doc["deleted"]) == (0, 0), (attempt, err.decode())
        assert {o["outcome"] for o in doc["outcomes"]} <= {"good", "not_checked"}
        assert p.returncode == (1 if doc["not_checked"] else 0), (attempt, err.decode())
        assert digests(data) == before
    assert hits >= 10, "the checks ended before they could be hit"


@pytest.mark.parametrize("store", ["check-minbar", "check-tick"])
def test_checks_finish_under_a_parent_that_ignores_sigchld(checked_bundle, store):
    data, e = checked_bundle
    p = subprocess.run([BIN, store, data, "-j", "2", "--quality", "--no"], env=e, capture_output=True, timeout=60,
                       preexec_fn=lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN))
    assert p.returncode == 0 and "数据质量良好" in p.stdout.decode(), p.stderr.decode()
