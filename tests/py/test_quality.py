"""The checks' content rules and healing through the command line: faults
planted with h5py are each reported with their rule and nowhere else, and
--heal refills what it can from the service without ever losing a file."""
import fcntl
import glob
import json
import os
import shutil
import socket
import stat
import subprocess
import sys
import time

import h5py
import numpy as np
import pytest

from conftest import SIM, Cli, digests

PLUGIN_DIR = next(iter(glob.glob("/usr/lib/*/hdf5/serial/plugins")), "")


@pytest.fixture(scope="module")
def fresh(tmp_path_factory):
    """A bundle as an update writes it: stocks, one future product, two tick files."""
    cli = Cli(tmp_path_factory.mktemp("fresh"))
    data = str(cli.tmp / "data")
    cli.run("update", data, "--base", "--minbar", "stock,IF", "--tick", "600000.XSHG,000001.XSHE", "-j", "2")
    return data


@pytest.fixture
def bundle(fresh, tmp_path):
    data = str(tmp_path / "data")
    shutil.copytree(fresh, data)
    return Cli(tmp_path), data


def minute_file(data, id, folder="equities"):
    return os.path.join(data, "bundle", "h5", folder, id + ".h5")


def rewrite_bars(path, change):
    """Applies `change(data, index)` to a copy of the file's records and
    writes both datasets back whole (they may change length)."""
    with h5py.File(path, "r+") as f:
        data, index = f["data"][...], f["index"][...]
        data, index = change(data, index)
        for name, rows in (("data", data), ("index", index)):
            del f[name]
            f.create_dataset(name, data=rows, maxshape=(None,), chunks=True, compression="gzip")


def day_rows(index, day, total):
    start = int(index["line_no"][day])
    end = int(index["line_no"][day + 1]) if day + 1 < len(index) else total
    return start, end


def set_field(field, value, row=40):
    def change(data, index):
        data[field][row] = value(data[row]) if callable(value) else value
        return data, index
    return change


def cut_thirty_minutes(data, index):
    start, _ = day_rows(index, 3, len(data))
    keep = np.r_[0:start + 60, start + 90:len(data)]
    index["line_no"][4:] -= 30
    return data[keep], index


def jump_forty_percent(data, index):
    start, end = day_rows(index, 5, len(data))
    for field in ("open", "high", "low", "close"):
        data[field][start + 100:end] *= 1.4
    return data, index


MINUTE_FAULTS = {  # file -> (change, the rule it must be reported with)
    "000001.XSHE": (set_field("open", 0.0), "non_positive_price"),
    "000002.XSHE": (set_field("high", lambda r: r["low"] - 1), "ohlc_order"),
    "600000.XSHG": (set_field("close", np.nan), "non_finite"),
    "600001.XSHG": (set_field("volume", -100.0), "negative_volume"),
    "600002.XSHG": (cut_thirty_minutes, "gap_in_day"),
    "000003.XSHE": (jump_forty_percent, "price_jump"),
}

TICK_FAULTS = """
import h5py, sys
with h5py.File(sys.argv[1] + "/600000.XSHG.h5", "r+") as f:
    ds = next(f[d] for d in sorted(f) if len(f[d]) > 30)
    row = ds[10]
    row["a1"] = row["b1"] - 100       # best ask below best bid
    ds[10] = row
with h5py.File(sys.argv[1] + "/000001.XSHE.h5", "r+") as f:
    ds = next(f[d] for d in sorted(f, reverse=True) if len(f[d]) > 30)
    row = ds[20]
    row["last"] = row["limit_up"] + 10000  # one yuan above the day's limit
    ds[20] = row
"""


def check(cli, data, store, *extra, service=None):
    p = cli.run(store, data, "--quality", "--json", *extra, service=service, check=False)
    doc = json.loads(p.out)
    # A file that could not be healed makes the run fail; nothing else does.
    assert p.returncode == any(o["heal"] and o["heal"]["outcome"] == "failed" for o in doc["outcomes"]), p.err
    return doc


def rules_by_file(doc):
    return {o["id"]: {f["rule"] for f in o["findings"]} for o in doc["outcomes"] if o["findings"]}


def test_clean_stores_have_no_findings(bundle):
    cli, data = bundle
    for store in ("check-minbar", "check-tick"):
        doc = check(cli, data, store, "--no")
        assert doc["with_findings"] == 0 and doc["broken"] == 0, doc["outcomes"]


def test_each_planted_fault_is_reported_with_its_rule_and_nowhere_else(bundle):
    cli, data = bundle
    for id, (change, _) in MINUTE_FAULTS.items():
        rewrite_bars(minute_file(data, id), change)
    ticks = os.path.join(data, "bundle", "ticks")
    subprocess.run([sys.executable, "-c", TICK_FAULTS, ticks], check=True, env=dict(os.environ, HDF5_PLUGIN_PATH=PLUGIN_DIR))

    found = rules_by_file(check(cli, data, "check-minbar", "--no", "-j", "2"))
    assert set(found) == set(MINUTE_FAULTS), found
    for id, (_, rule) in MINUTE_FAULTS.items():
        assert rule in found[id], (id, found[id])
    assert rules_by_file(check(cli, data, "check-tick", "--no")) == {"600000.XSHG": {"crossed_book"},
                                                                      "000001.XSHE": {"outside_limits"}}
    # Findings are never offered for deletion: every file is still there.
    assert all(os.path.exists(minute_file(data, id)) for id in MINUTE_FAULTS)


def damage_a_chunk(path):
    with h5py.File(path, "r") as f:
        chunk = f["data"].id.get_chunk_info(1)
    with open(path, "r+b") as out:
        out.seek(chunk.byte_offset + 8)
        out.write(b"\xff" * 64)


def test_heal_refills_what_the_service_has_and_keeps_what_it_refuses(fresh, bundle):
    cli, data = bundle
    damaged, finding, refused = (minute_file(data, id) for id in ("600001.XSHG", "000003.XSHE", "000002.XSHE"))
    damage_a_chunk(damaged)
    for path in (finding, refused):
        rewrite_bars(path, set_field("volume", -100.0))
    with open(refused, "rb") as f:
        refused_bytes = f.read()

    # A stage of a killed heal goes; one of a heal at work stays, and so does
    # another machine's (a shared file system) until it is a day old. Stages
    # live beside the stores; earlier versions' inside them, with no owner.
    h5_root = os.path.join(data, "bundle", "h5")
    dead, live = os.path.join(h5_root, ".heal-4194303-0"), os.path.join(h5_root, f".heal-{os.getpid()}-0")
    for stage in (dead, live):
        os.makedirs(os.path.join(stage, "equities"))
    here = socket.gethostname()
    owners = {"dead": (here, 4194303), "live": (here, os.getpid()), "elsewhere": ("elsewhere", 4194303),
              "elsewhere, old": ("elsewhere", 4194303)}
    stages = {k: os.path.join(data, "bundle", f".heal-{n}-0") for n, k in enumerate(owners)}
    for k, (host, pid) in owners.items():
        os.makedirs(stages[k])
        with open(os.path.join(stages[k], "owner"), "w") as f:
            f.write(f"{host}\n{pid}\n")
    two_days_ago = time.time() - 2 * 86400
    os.utime(stages["elsewhere, old"], (two_days_ago, two_days_ago))
    # Only folders named as stages: an old store folder, or a link named as a
    # stage (to an old folder), is never taken for one.
    kept = os.path.join(data, "kept")
    os.makedirs(kept)
    os.symlink(kept, os.path.join(data, "bundle", ".heal-link"))
    for folder in (kept, os.path.join(h5_root, "equities"), h5_root):
        os.utime(folder, (two_days_ago, two_days_ago))
    # The service refuses one of them (and has no gap in it to be asked about).
    doc = check(cli, data, "check-minbar", "--heal", service=f"{SIM},deny=000002.XSHE")
    heals = {o["id"]: o["heal"]["outcome"] for o in doc["outcomes"] if o["heal"]}
    assert heals == {"600001.XSHG": "healed", "000003.XSHE": "healed", "000002.XSHE": "failed"}, doc["outcomes"]
    with open(refused, "rb") as f:
        assert f.read() == refused_bytes
    # The healed files are a fresh update's, and nothing of the refill is left behind.
    want, have = digests(os.path.join(fresh, "bundle", "h5")), digests(os.path.join(data, "bundle", "h5"))
    for id in ("600001.XSHG", "000003.XSHE"):
        assert have[f"equities/{id}.h5"] == want[f"equities/{id}.h5"]
    assert not os.path.exists(dead) and os.path.isdir(live)
    assert {k for k, p in stages.items() if os.path.isdir(p)} == {"live", "elsewhere"}
    assert os.path.isdir(kept) and os.path.islink(os.path.join(data, "bundle", ".heal-link"))
    os.remove(os.path.join(data, "bundle", ".heal-link"))
    for stage in (live, stages["live"], stages["elsewhere"]):
        shutil.rmtree(stage)
    have = digests(h5_root)
    assert set(have) == set(want)
    again = check(cli, data, "check-minbar", "--no")
    assert rules_by_file(again) == {"000002.XSHE": {"negative_volume"}} and again["broken"] == 0


def test_heal_leaves_alone_what_it_cannot_improve_and_says_so(bundle, tmp_path):
    cli, data = bundle
    linked, shorter, held = (minute_file(data, id) for id in ("600001.XSHG", "000003.XSHE", "600002.XSHG"))
    for path in (linked, shorter):
        rewrite_bars(path, set_field("volume", -100.0))
    # A link at a file's name: healing would replace the link, not its target.
    target = str(tmp_path / "elsewhere.h5")
    shutil.move(linked, target)
    os.symlink(target, linked)
    # A FIFO at a file's name is someone's on purpose: never replaced.
    fifo = minute_file(data, "000888.XSHE")
    os.remove(fifo)
    os.mkfifo(fifo)
    before = {p: open(p, "rb").read() for p in (target, shorter)}
    with open(held, "rb") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        # A service that keeps a month less history than the files hold.
        p = cli.run("check-minbar", data, "--quality", "--heal", "--json", service=SIM.replace("start=20240401", "start=20240501"),
                    check=False)
    doc = json.loads(p.out)
    heals = {o["id"]: (o["heal"]["outcome"], o["heal"]["message"]) for o in doc["outcomes"] if o["heal"]}
    assert heals["600001.XSHG"] == ("failed", "it is a symbolic link; heal the file it points to")
    assert heals["000888.XSHE"] == ("failed", "it is not a store file (a FIFO)") and stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert heals["000003.XSHE"][0] == "failed" and "lacks" in heals["000003.XSHE"][1]
    assert p.returncode == 1 and os.path.islink(linked)
    assert all(open(path, "rb").read() == content for path, content in before.items())
    # A held file is said to be held, with or without healing.
    assert doc["held"] == 1 and "被其他进程占用或没有权限的文件如下:\n['600002.XSHG']" in p.err


def test_heal_on_a_full_disk_names_the_cause_and_the_file_and_keeps_it(fresh, tmp_path):
    """On a small tmpfs filled to the last byte, as the reliability scripts
    fill theirs: the heal fails with the system's reason and the store
    file's path (its stage is gone), and the file is as it was."""
    if os.geteuid() != 0:
        pytest.skip("needs root to mount a tmpfs")
    mount = tmp_path / "full"
    mount.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", str(mount)], check=True)
    try:
        data = str(mount / "data")
        shutil.copytree(fresh, data, ignore=shutil.ignore_patterns("ticks", "future"))
        path = minute_file(data, "600001.XSHG")
        rewrite_bars(path, set_field("volume", -100.0))
        before = open(path, "rb").read()
        with open(mount / "padding", "wb") as pad:
            free = os.statvfs(mount).f_bavail * os.statvfs(mount).f_frsize
            os.posix_fallocate(pad.fileno(), 0, free)
        p = Cli(tmp_path).run("check-minbar", data, "--quality", "--heal", "--json", check=False)
        heal = next(o["heal"] for o in json.loads(p.out)["outcomes"] if o["id"] == "600001.XSHG")
        assert p.returncode == 1 and heal["outcome"] == "failed"
        assert heal["message"] == f"cannot refill '{path}': No space left on device"
        assert open(path, "rb").read() == before
        assert not glob.glob(os.path.join(data, "bundle", ".heal-*"))
    finally:
        subprocess.run(["umount", str(mount)], check=True)


def test_heal_refills_tick_files_too(fresh, bundle):
    cli, data = bundle
    ticks = os.path.join(data, "bundle", "ticks")
    subprocess.run([sys.executable, "-c", TICK_FAULTS, ticks], check=True, env=dict(os.environ, HDF5_PLUGIN_PATH=PLUGIN_DIR))
    doc = check(cli, data, "check-tick", "--heal")
    assert {o["id"]: o["heal"]["outcome"] for o in doc["outcomes"] if o["heal"]} == {"600000.XSHG": "healed", "000001.XSHE": "healed"}
    assert digests(ticks) == digests(os.path.join(fresh, "bundle", "ticks"))


def test_verify_finds_a_close_one_tick_off_and_a_revised_day_and_heal_gives_back_the_services_files(fresh, bundle, tmp_path):
    cli, data = bundle
    path = minute_file(data, "600000.XSHG")
    with h5py.File(path, "r+") as f:  # on the newest day, which is always verified
        row = f["data"][-5]
        row["close"] += 0.01
        f["data"][-5] = row
    # A file of another record layout (one more member) is not verified, and said to be.
    with h5py.File(minute_file(data, "600001.XSHG"), "r+") as f:
        bars = f["data"][()]
        wider = np.zeros(len(bars), np.dtype(bars.dtype.descr + [("note", "<f8")]))
        for name in bars.dtype.names:
            wider[name] = bars[name]
        del f["data"]
        f["data"] = wider
    # The vendor corrects another file's newest day after the bundle stored it.
    revising = f"{SIM},log={cli.log},revise=000001.XSHE@20240607,revised_from=20240607"
    cli.clear_requests()
    verify = ("--verify", "3", "--verify-seed", "11")
    doc = check(cli, data, "check-minbar", *verify, service=revising)
    assert rules_by_file(doc) == {"600000.XSHG": {"differs_from_service"}, "000001.XSHE": {"differs_from_service"}}
    assert doc["verify"] == {"days_per_file": 3, "seed": 11, "not_verified": 1}
    days = {o["id"]: o.get("verified_days", []) for o in doc["outcomes"]}
    assert days.pop("600001.XSHG") == []
    assert [o["not_verified"] for o in doc["outcomes"] if "not_verified" in o] == [
        "not verified: its records are not laid out as its folder's"]
    assert all(len(d) == 3 and d == sorted(d) for d in days.values()) and days["600000.XSHG"][-1] == 20240607, days
    found = {o["id"]: o["findings"][0] for o in doc["outcomes"] if o["findings"]}
    assert (found["600000.XSHG"]["first"], found["600000.XSHG"]["field"], found["600000.XSHG"]["count"]) == (
        int(row["datetime"]), "close", 1)
    assert found["000001.XSHE"]["first"] // 1000000 == 20240607 and found["000001.XSHE"]["field"] == "close"
    asked = [r[1] for r in cli.requests() if r[0] == "get_price" and r[4] == "1m"]
    assert asked and max(asked.count(i) for i in asked) <= 3
    check(cli, data, "check-minbar", *verify, "--heal", service=revising)
    corrected = str(tmp_path / "corrected")
    cli.run("update", corrected, "--base", "--minbar", "000001.XSHE", service=revising)
    for id, source in (("600000.XSHG", fresh), ("000001.XSHE", corrected)):
        with open(minute_file(data, id), "rb") as mine, open(minute_file(source, id), "rb") as theirs:
            assert mine.read() == theirs.read(), id
    assert rules_by_file(check(cli, data, "check-minbar", *verify, service=revising)) == {}
    # Ticks, every stored day: the planted ticks differ from the service's too.
    ticks = os.path.join(data, "bundle", "ticks")
    subprocess.run([sys.executable, "-c", TICK_FAULTS, ticks], check=True, env=dict(os.environ, HDF5_PLUGIN_PATH=PLUGIN_DIR))
    every_day = ("--verify", "10", "--verify-seed", "11")
    doc = check(cli, data, "check-tick", *every_day)
    assert rules_by_file(doc) == {
        "600000.XSHG": {"crossed_book", "differs_from_service"}, "000001.XSHE": {"outside_limits", "differs_from_service"}}
    # Suspension markers (empty days, weeks before the first ticks) are not asked about.
    assert all(d >= 20240603 for o in doc["outcomes"] for d in o["verified_days"])
    # A contract the service refuses and a stock whose requests fail are said,
    # their files kept, the check goes on (a futures file misses no day, so
    # only verifying asks about it).
    contract = sorted(os.listdir(os.path.join(data, "bundle", "h5", "future")))[0][:-3]
    before = digests(data)
    doc = check(cli, data, "check-minbar", *verify, "--heal",
                service=f"{revising},deny={contract},flaky=000002.XSHE,flaky_times=99")
    assert doc["verify"]["not_verified"] == 3 and digests(data) == before
    assert {o["id"] for o in doc["outcomes"] if "not_verified" in o} == {"000002.XSHE", contract, "600001.XSHG"}