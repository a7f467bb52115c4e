#!/usr/bin/python3
"""Kill an update at a random moment, rerun it, and compare the bundle with
one produced by an uninterrupted update from the same start state.

For every try, every signal and every scenario:
  1. copy the cached start state (base data + minute bars and ticks of the
     stocks up to day D1) into a fresh folder;
  2. start an update to the later day D2 that appends to the existing files
     and creates new ones (minute bars of every type, ticks of futures), in
     its own session, and send the signal to its whole process group after a
     random delay within the duration of an uninterrupted run;
  3. count the files under their final names that cannot be opened;
  4. by scenario:
       plain  nothing more;
       rm     delete one store file by hand, one with a journal beside it
              when the kill left any (its journal stays), else any one;
       copy   copy the whole folder (cp -a) to a new one, and go on with
              the copy (the killed folder is left as it is);
  5. rerun the same update to completion;
  6. compare every file of the bundle with the reference: HDF5 files by the
     contents of every dataset (dtype, shape, every field of every record)
     and attribute, other files by their bytes (.npy by their array).

Usage:
  kill_update.py [--tries N] [--seed S] [--keep] [--max-seconds T]
                 [--signals KILL,INT] [--scenarios plain,rm,copy]
                 [--delay SECONDS] [--binary PATH]

Exit status: 0 when no try shows damage, lost days, missing files or
leftovers and every rerun succeeded; 1 otherwise; 2 for a set-up failure.
"""

import os

os.environ.setdefault("HDF5_PLUGIN_PATH", "/usr/lib/x86_64-linux-gnu/hdf5/serial/plugins")

import argparse
import hashlib
import json
import random
import shutil
import signal
import statistics
import subprocess
import sys
import time

import h5py
import numpy as np

# The build of this checkout (a copy elsewhere would silently test an old build).
DEFAULT_BINARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "tessal-bundle")
DEFAULT_WORKDIR = "/tmp/tb-rel/kill-work"
DEFAULT_EVIDENCE = "/tmp/tb-rel/evidence"

SERVICE = "sim:seed=3,start=20240102,tick_start=20240520,stocks=30,futures=2,contracts=2,options=2"
DAY1 = "2024-06-03 18:00:00"
DAY2 = "2024-06-07 18:00:00"
# The start state holds the stocks only; the update appends days to those
# files and creates the files of the other types and the futures' ticks.
PREPARE_ARGS = ["--base", "--minbar", "stock", "--tick", "stock"]
UPDATE_ARGS = ["--base", "--minbar", "all", "--tick", "stock,futures"]

SIGNALS = {"KILL": signal.SIGKILL, "INT": signal.SIGINT, "TERM": signal.SIGTERM}
# What happens between the kill and the rerun (see step 4 above).
SCENARIOS = ("plain", "rm", "copy")


# ---------------------------------------------------------------------------
# Running the tool
# ---------------------------------------------------------------------------

def tool_env(now, service):
    env = dict(os.environ)
    env["TESSAL_NOW"] = now
    env["TESSAL_SERVICE"] = service
    return env


def update_command(binary, folder, args, jobs):
    return [binary, "update", folder] + list(args) + ["-j", str(jobs)]


def run_update(binary, folder, now, service, args, jobs, log_path, timeout=600):
    """Runs one update to completion; returns (exit status, seconds)."""
    with open(log_path, "ab") as log:
        t0 = time.monotonic()
        p = subprocess.run(update_command(binary, folder, args, jobs), env=tool_env(now, service),
                           stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                           timeout=timeout, start_new_session=True)
        return p.returncode, time.monotonic() - t0


def group_alive(pgid):
    try:
        os.killpg(pgid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def reap_group(pgid, grace=10.0):
    """Waits for every process of the group to go; SIGKILLs what remains
    after `grace` seconds. Returns True when stragglers had to be killed."""
    deadline = time.monotonic() + grace
    while group_alive(pgid) and time.monotonic() < deadline:
        time.sleep(0.02)
    if group_alive(pgid):
        try:
            os.killpg(pgid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        while group_alive(pgid):
            time.sleep(0.02)
        return True
    return False


def interrupted_update(binary, folder, now, service, args, jobs, log_path, sig, delay):
    """Starts an update in its own session and sends `sig` to its process
    group `delay` seconds after the start. Returns a dict: landed (the
    signal found the update running), status, stragglers, hung."""
    out = {"landed": False, "status": None, "stragglers": False, "hung": False}
    with open(log_path, "ab") as log:
        t0 = time.monotonic()
        p = subprocess.Popen(update_command(binary, folder, args, jobs), env=tool_env(now, service),
                             stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                             start_new_session=True)
        pgid = p.pid
        while True:
            left = t0 + delay - time.monotonic()
            if left <= 0 or p.poll() is not None:
                break
            time.sleep(min(left, 0.005))
        if p.poll() is None:
            try:
                os.killpg(pgid, sig)
                out["landed"] = True
            except ProcessLookupError:
                pass
        try:
            p.wait(timeout=120)
        except subprocess.TimeoutExpired:
            out["hung"] = True
            os.killpg(pgid, signal.SIGKILL)
            p.wait()
        out["status"] = p.returncode
        # Workers may outlive the leader; the rerun must not overlap them.
        out["stragglers"] = reap_group(pgid)
    return out


def log_comparison(c, log, prefix=""):
    """One line per problem compare_bundle found."""
    for rel, why in c["damaged"]:
        log(f"    {prefix}DAMAGED {rel}: {why}")
    for rel in c["missing"]:
        log(f"    {prefix}MISSING {rel}")
    for rel in c.get("extra", ()):
        log(f"    {prefix}EXTRA {rel}")
    for rel, days in c.get("lost_days", ()):
        log(f"    {prefix}DAYS LOST {rel}: {days}")
    for rel in c["leftovers"]:
        log(f"    {prefix}LEFTOVER {rel}")


def copy_tree(src, dst):
    if os.path.exists(dst):
        shutil.rmtree(dst)
    subprocess.run(["cp", "-a", src, dst], check=True)


# ---------------------------------------------------------------------------
# Inspecting a bundle
# ---------------------------------------------------------------------------

def is_hidden(rel):
    return any(part.startswith(".") for part in rel.split(os.sep))


def list_bundle(root):
    """(final, hidden): relative paths of the files under `root`, those
    whose every component is visible and those with a hidden component."""
    final, hidden = [], []
    for d, dirs, files in os.walk(root):
        for name in files:
            rel = os.path.relpath(os.path.join(d, name), root)
            (hidden if is_hidden(rel) else final).append(rel)
    return sorted(final), sorted(hidden)


def digest(path):
    h = hashlib.blake2b(digest_size=20)
    with open(path, "rb") as f:
        while True:
            b = f.read(1 << 20)
            if not b:
                break
            h.update(b)
    return h.hexdigest()


def file_kind(rel):
    if rel.endswith(".h5"):
        if rel.startswith("h5" + os.sep):
            return "minbar"
        if rel.startswith("ticks" + os.sep):
            return "tick"
        return "h5"
    if rel.endswith(".npy"):
        return "npy"
    return "bytes"


def h5_objects(f):
    """name -> ('dataset', obj) | ('group', obj), root included as '/'."""
    out = {"/": ("group", f)}

    def visit(name, obj):
        out[name] = ("dataset" if isinstance(obj, h5py.Dataset) else "group", obj)

    f.visititems(visit)
    return out


def read_all(path):
    """Opens an HDF5 file and reads every dataset; raises on any failure."""
    with h5py.File(path, "r") as f:
        for name, (kind, obj) in h5_objects(f).items():
            if kind == "dataset":
                obj[()]
            for k in obj.attrs:
                obj.attrs[k]


def days_of(path, kind):
    """Trading days a store file holds: `index` dates of a minute-bar file,
    dataset names of a tick file."""
    with h5py.File(path, "r") as f:
        if kind == "minbar":
            return set(int(x) for x in f["index"]["date"][()])
        if kind == "tick":
            return set(int(k) for k in f.keys() if k.isdigit())
    return set()


def same_value(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def describe_array_diff(a, b):
    """One line on where two arrays of the same dtype differ."""
    if a.shape != b.shape:
        msg = f"shape {a.shape} in the reference, {b.shape} in the result"
        if a.ndim == 1 and b.ndim == 1:
            n = min(len(a), len(b))
            eq = a[:n].tobytes() == b[:n].tobytes()
            msg += f"; the first {n} records are {'equal' if eq else 'NOT equal'}"
        return msg
    if a.ndim == 0 or a.size == 0:
        return "values differ"
    ra = a.reshape(-1)
    rb = b.reshape(-1)
    item = a.dtype.itemsize
    va = np.frombuffer(ra.tobytes(), dtype=np.uint8).reshape(-1, item)
    vb = np.frombuffer(rb.tobytes(), dtype=np.uint8).reshape(-1, item)
    rows = np.nonzero(np.any(va != vb, axis=1))[0]
    first = int(rows[0])
    fields = []
    if a.dtype.names:
        for name in a.dtype.names:
            if ra[first][name].tobytes() != rb[first][name].tobytes():
                fields.append(f"{name}: ref {ra[first][name]!r} result {rb[first][name]!r}")
    else:
        fields.append(f"ref {ra[first]!r} result {rb[first]!r}")
    return f"{len(rows)} of {ra.size} records differ, first at {first} ({'; '.join(fields[:4])})"


def compare_attrs(ra, rb, where):
    ka, kb = set(ra.keys()), set(rb.keys())
    if ka != kb:
        return f"{where}: attributes {sorted(ka)} in the reference, {sorted(kb)} in the result"
    for k in sorted(ka):
        if not same_value(ra[k], rb[k]):
            return f"{where}: attribute {k} differs"
    return None


def compare_h5(ref_path, res_path):
    """None when every group, dataset (dtype, shape, values) and attribute
    of the two files are equal; otherwise a list of differences. Raises when
    the result cannot be opened or read (the reference must be readable)."""
    diffs = []
    with h5py.File(ref_path, "r") as fa:
        oa = h5_objects(fa)
        with h5py.File(res_path, "r") as fb:
            ob = h5_objects(fb)
            for name in sorted(set(oa) - set(ob)):
                diffs.append(f"{name}: missing from the result ({oa[name][0]})")
            for name in sorted(set(ob) - set(oa)):
                diffs.append(f"{name}: in the result only ({ob[name][0]})")
            for name in sorted(set(oa) & set(ob)):
                (ka, a), (kb, b) = oa[name], ob[name]
                if ka != kb:
                    diffs.append(f"{name}: {ka} in the reference, {kb} in the result")
                    continue
                if ka == "dataset":
                    if a.dtype != b.dtype:
                        diffs.append(f"{name}: dtype {a.dtype} in the reference, {b.dtype} in the result")
                        b[()]
                        continue
                    va, vb = a[()], b[()]
                    if not same_value(va, vb):
                        diffs.append(f"{name}: {describe_array_diff(va, vb)}")
                d = compare_attrs(a.attrs, b.attrs, name)
                if d:
                    diffs.append(d)
    return diffs or None


class Reference:
    """The reference bundle: digests and days of its files, computed once."""

    def __init__(self, root):
        self.root = root
        self.files, hidden = list_bundle(root)
        if hidden:
            raise RuntimeError(f"the reference holds hidden files: {hidden}")
        self.digest = {rel: digest(os.path.join(root, rel)) for rel in self.files}
        self.days = {}
        for rel in self.files:
            kind = file_kind(rel)
            path = os.path.join(root, rel)
            if kind in ("minbar", "tick"):
                self.days[rel] = days_of(path, kind)
            if kind in ("minbar", "tick", "h5"):
                read_all(path)


def compare_file(ref_root, res_root, rel, check_bytes=True):
    """(same_bytes, problem): problem is None when the contents are equal,
    else a text."""
    a = os.path.join(ref_root, rel)
    b = os.path.join(res_root, rel)
    if check_bytes and digest(a) == digest(b):
        return True, None
    kind = file_kind(rel)
    try:
        if kind in ("minbar", "tick", "h5"):
            diffs = compare_h5(a, b)
            if diffs:
                return False, "contents differ: " + " | ".join(diffs[:5]) + (
                    f" | ... {len(diffs) - 5} more" if len(diffs) > 5 else "")
            return False, None
        if kind == "npy":
            if same_value(np.load(a, allow_pickle=False), np.load(b, allow_pickle=False)):
                return False, None
            return False, "contents differ"
        return False, "bytes differ"
    except Exception as e:  # the result cannot be opened or read
        return False, f"unreadable: {type(e).__name__}: {e}"


def compare_bundle(ref, res_root, ref_digests=None):
    """Compares the bundle at `res_root` with the Reference `ref`."""
    files, hidden = list_bundle(res_root)
    fileset = set(files)
    out = {"damaged": [], "missing": [], "extra": [], "days_lost": 0, "lost_days": [],
           "leftovers": hidden, "same_bytes": 0, "same_contents": 0}
    for rel in ref.files:
        path = os.path.join(res_root, rel)
        if rel not in fileset:
            out["missing"].append(rel)
            lost = sorted(ref.days.get(rel, ()))
        else:
            if digest(path) == ref.digest[rel]:
                out["same_bytes"] += 1
                continue
            _, problem = compare_file(ref.root, res_root, rel, check_bytes=False)
            if problem is None:
                out["same_contents"] += 1
            else:
                out["damaged"].append((rel, problem))
            lost = []
            if rel in ref.days:
                try:
                    lost = sorted(ref.days[rel] - days_of(path, file_kind(rel)))
                except Exception:
                    lost = sorted(ref.days[rel])
        if lost:
            out["days_lost"] += len(lost)
            out["lost_days"].append((rel, lost))
    out["extra"] = sorted(fileset - set(ref.files))
    return out


def unopenable(root, known_good=()):
    """Files under their final names that cannot be opened at all, and those
    that open but cannot be read in full. `known_good` holds digests of
    readable files (skipped)."""
    files, _ = list_bundle(root)
    not_open, not_read = [], []
    for rel in files:
        kind = file_kind(rel)
        path = os.path.join(root, rel)
        if kind not in ("minbar", "tick", "h5", "npy"):
            continue
        if known_good and digest(path) in known_good:
            continue
        try:
            if kind == "npy":
                np.load(path, allow_pickle=False)
                continue
            f = h5py.File(path, "r")
        except Exception as e:
            not_open.append((rel, f"{type(e).__name__}: {e}"))
            continue
        f.close()
        try:
            read_all(path)
        except Exception as e:
            not_read.append((rel, f"{type(e).__name__}: {e}"))
    return not_open, not_read


def journal_target(rel):
    """The store file a journal `.X.h5.journal` belongs to, or None."""
    d, name = os.path.split(rel)
    if name.startswith(".") and name.endswith(".h5.journal"):
        return os.path.join(d, name[1:-len(".journal")])
    return None


def remove_one_store_file(root, rng):
    """Deletes a store file under its final name, one whose journal the kill
    left beside it when there is one (the journal stays). Returns (relative
    path or None, whether it had a journal)."""
    files, hidden = list_bundle(root)
    stores = [r for r in files if file_kind(r) in ("minbar", "tick")]
    with_journal = sorted(t for t in map(journal_target, hidden) if t in stores)
    pool = with_journal or stores
    if not pool:
        return None, False
    rel = rng.choice(pool)
    os.unlink(os.path.join(root, rel))
    return rel, bool(with_journal)


def bundle_digests(root):
    files, _ = list_bundle(root)
    return {digest(os.path.join(root, rel)) for rel in files}


# ---------------------------------------------------------------------------
# The test
# ---------------------------------------------------------------------------

def prepare(args, log):
    """The cached start state and the reference; returns (start, reference
    folder, typical duration)."""
    os.makedirs(args.workdir, exist_ok=True)
    start = os.path.join(args.workdir, "start")
    stamp = os.path.join(args.workdir, "start.stamp")
    key = json.dumps([digest(args.binary), SERVICE, DAY1, PREPARE_ARGS])
    if not (os.path.isdir(start) and os.path.exists(stamp) and open(stamp).read() == key):
        if os.path.exists(start):
            shutil.rmtree(start)
        rc, secs = run_update(args.binary, start, DAY1, SERVICE, PREPARE_ARGS, args.jobs,
                              os.path.join(args.workdir, "start.log"))
        if rc != 0:
            raise RuntimeError(f"preparing the start state failed with status {rc}")
        with open(stamp, "w") as f:
            f.write(key)
        log(f"start state prepared in {secs:.2f} s")
    else:
        log("start state reused from the cache")

    ref = os.path.join(args.workdir, "reference")
    durations = []
    copy_tree(start, ref)
    rc, secs = run_update(args.binary, ref, DAY2, SERVICE, UPDATE_ARGS, args.jobs,
                          os.path.join(args.workdir, "reference.log"))
    if rc != 0:
        raise RuntimeError(f"the reference update failed with status {rc}")
    durations.append(secs)
    # Two more uninterrupted runs: their duration, and whether the result is
    # the same (the comparison needs a deterministic update).
    reference = Reference(os.path.join(ref, "bundle"))
    for k in range(2):
        other = os.path.join(args.workdir, "timing")
        copy_tree(start, other)
        rc, secs = run_update(args.binary, other, DAY2, SERVICE, UPDATE_ARGS, args.jobs,
                              os.path.join(args.workdir, "timing.log"))
        if rc != 0:
            raise RuntimeError(f"an uninterrupted update failed with status {rc}")
        durations.append(secs)
        c = compare_bundle(reference, os.path.join(other, "bundle"))
        if c["damaged"] or c["missing"] or c["extra"] or c["leftovers"]:
            raise RuntimeError(f"two uninterrupted updates differ: {c}")
        shutil.rmtree(other)
    typical = statistics.median(durations)
    log(f"uninterrupted update: {', '.join(f'{d:.2f}' for d in durations)} s (median {typical:.2f} s); "
        f"reference: {len(reference.files)} files, "
        f"{sum(len(v) for v in reference.days.values())} file-days; repeated runs identical")
    return start, reference, typical


def self_test(reference, workdir, log):
    """Damages a copy of the reference in known ways and checks that the
    comparison reports each of them. Returns True when it does."""
    work = os.path.join(workdir, "selftest")
    copy_tree(os.path.dirname(reference.root), work)
    root = os.path.join(work, "bundle")
    minbar = next(r for r in reference.files if file_kind(r) == "minbar")
    ticks = [r for r in reference.files if file_kind(r) == "tick"]
    with h5py.File(os.path.join(root, minbar), "r+") as f:  # one field of one record
        d = f["data"]
        row = d[len(d) // 2]
        row["close"] = row["close"] + 0.01
        d[len(d) // 2] = row
    with open(os.path.join(root, ticks[0]), "r+b") as f:  # cut the file in half
        f.truncate(os.path.getsize(os.path.join(root, ticks[0])) // 2)
    with h5py.File(os.path.join(root, ticks[1]), "r+") as f:  # one day less
        del f[sorted(k for k in f.keys() if k.isdigit())[-1]]
    os.unlink(os.path.join(root, ticks[2]))
    open(os.path.join(root, "ticks", ".x.h5.journal"), "w").close()
    c = compare_bundle(reference, root)
    damaged = {rel for rel, _ in c["damaged"]}
    ok = (damaged == {minbar, ticks[0], ticks[1]} and c["missing"] == [ticks[2]]
          and c["leftovers"] == [os.path.join("ticks", ".x.h5.journal")]
          and c["days_lost"] == 1 + len(reference.days[ticks[0]]) + len(reference.days[ticks[2]]))
    not_open, _ = unopenable(root)
    ok = ok and [r for r, _ in not_open] == [ticks[0]]
    for rel, why in c["damaged"]:
        log(f"  self-test: {rel}: {why}")
    log(f"  self-test: missing {c['missing']}, days lost {c['days_lost']}, leftovers {c['leftovers']}, "
        f"unopenable {[r for r, _ in not_open]}")
    log(f"self-test of the comparison: {'passed' if ok else 'FAILED'}")
    shutil.rmtree(work)
    return ok


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tries", type=int, default=30, help="tries per signal (30)")
    ap.add_argument("--seed", type=int, default=None, help="seed of the kill delays (random)")
    ap.add_argument("--keep", action="store_true", help="keep every try's bundle")
    ap.add_argument("--max-seconds", type=float, default=900, help="time budget, preparation included (900)")
    ap.add_argument("--signals", default="KILL,INT", help="comma-separated: KILL, INT, TERM (KILL,INT)")
    ap.add_argument("--scenarios", default="plain",
                    help="comma-separated: plain (kill, rerun), rm (kill, delete a store file, rerun), "
                         "copy (kill, cp -a the folder, rerun on the copy) (plain)")
    ap.add_argument("--delay", type=float, default=None, help="fixed kill delay in seconds (reproduce a try)")
    ap.add_argument("--binary", default=DEFAULT_BINARY)
    ap.add_argument("--workdir", default=DEFAULT_WORKDIR)
    ap.add_argument("--evidence", default=DEFAULT_EVIDENCE, help="where a damaged try's bundle is kept")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    args = ap.parse_args()

    t_begin = time.monotonic()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 31)
    sig_names = [s.strip().upper().removeprefix("SIG") for s in args.signals.split(",") if s.strip()]
    for s in sig_names:
        if s not in SIGNALS:
            ap.error(f"unknown signal {s}")
    scenarios = [x.strip().lower() for x in args.scenarios.split(",") if x.strip()]
    for x in scenarios:
        if x not in SCENARIOS:
            ap.error(f"unknown scenario {x}")

    def log(msg):
        print(msg, flush=True)

    log(f"seed {seed}; binary {args.binary}; service {SERVICE}")
    log(f"start state: update {' '.join(PREPARE_ARGS)} at {DAY1}; "
        f"tried update: {' '.join(UPDATE_ARGS)} -j {args.jobs} at {DAY2}; scenarios {', '.join(scenarios)}")
    try:
        start, reference, typical = prepare(args, log)
    except Exception as e:
        log(f"set-up failed: {e}")
        return 2
    if not self_test(reference, args.workdir, log):
        return 2
    start_digests = bundle_digests(os.path.join(start, "bundle"))
    known_good = start_digests | set(reference.digest.values())

    master = random.Random(seed)
    plan = []
    for i in range(args.tries):
        for s in sig_names:
            for x in scenarios:
                try_seed = master.randrange(1 << 31)
                delay = args.delay if args.delay is not None else random.Random(try_seed).uniform(0, typical)
                plan.append((i, s, x, try_seed, delay))

    results = []
    try_dir = os.path.join(args.workdir, "try")
    copy_dir = os.path.join(args.workdir, "try-copy")
    slowest = 0.0
    stopped_early = False
    for i, s, x, try_seed, delay in plan:
        elapsed = time.monotonic() - t_begin
        if elapsed + max(slowest, 3 * typical) > args.max_seconds:
            stopped_early = True
            log(f"time budget of {args.max_seconds:.0f} s reached after {elapsed:.0f} s; stopping")
            break
        t_try = time.monotonic()
        copy_tree(start, try_dir)
        logp = os.path.join(args.workdir, "try.log")
        if os.path.exists(logp):
            os.unlink(logp)
        k = interrupted_update(args.binary, try_dir, DAY2, SERVICE, UPDATE_ARGS, args.jobs, logp,
                               SIGNALS[s], delay)
        root = os.path.join(try_dir, "bundle")
        not_open, not_read = unopenable(root, known_good)
        hidden_after_kill = list_bundle(root)[1]
        removed, removed_journal = None, False
        judged_dir = try_dir
        if x == "rm":
            rng = random.Random(try_seed)
            rng.random()  # the draw of the delay
            removed, removed_journal = remove_one_store_file(root, rng)
        elif x == "copy":
            copy_tree(try_dir, copy_dir)
            judged_dir = copy_dir
            root = os.path.join(copy_dir, "bundle")
        rerun_rc, _ = run_update(args.binary, judged_dir, DAY2, SERVICE, UPDATE_ARGS, args.jobs, logp)
        c = compare_bundle(reference, root)
        damage = bool(c["damaged"] or c["missing"] or c["days_lost"])
        r = {"try": i, "signal": s, "scenario": x, "removed": removed, "removed_had_journal": removed_journal,
             "seed": try_seed, "delay": round(delay, 4), "landed": k["landed"],
             "kill_status": k["status"], "stragglers": k["stragglers"], "hung": k["hung"],
             "unopenable_after_kill": len(not_open), "unreadable_after_kill": len(not_read),
             "hidden_after_kill": len(hidden_after_kill), "rerun_status": rerun_rc,
             "damaged": len(c["damaged"]), "missing": len(c["missing"]), "extra": len(c["extra"]),
             "days_lost": c["days_lost"], "leftovers": len(c["leftovers"]),
             "same_bytes": c["same_bytes"], "same_contents": c["same_contents"], "damage": damage,
             "details": {"damaged": c["damaged"], "missing": c["missing"], "extra": c["extra"],
                         "lost_days": c["lost_days"], "leftovers": c["leftovers"],
                         "unopenable_after_kill": not_open, "unreadable_after_kill": not_read}}
        results.append(r)
        step = ""
        if x == "rm":
            step = (f"removed {removed} ({'it had a journal' if removed_journal else 'no journal left'}); "
                    if removed else "nothing to remove; ")
        elif x == "copy":
            step = "rerun on a copy; "
        log(f"SIG{s:<4} {x:<5} try {i:2d} seed {try_seed:10d} delay {delay:6.3f}s "
            f"{'signalled' if k['landed'] else 'finished first'} status {k['status']}"
            f"{' stragglers' if k['stragglers'] else ''}{' HUNG' if k['hung'] else ''}; "
            f"after kill: {len(not_open)} unopenable, {len(not_read)} unreadable, "
            f"{len(hidden_after_kill)} hidden; {step}rerun status {rerun_rc}; "
            f"damaged {len(c['damaged'])} missing {len(c['missing'])} extra {len(c['extra'])} "
            f"days lost {c['days_lost']} leftovers {len(c['leftovers'])} "
            f"(same bytes {c['same_bytes']}, same contents {c['same_contents']})")
        log_comparison(c, log)
        for rel, why in not_open:
            log(f"    UNOPENABLE AFTER KILL {rel}: {why}")
        for rel, why in not_read:
            log(f"    UNREADABLE AFTER KILL {rel}: {why}")
        if damage or c["leftovers"] or rerun_rc != 0:
            dest = os.path.join(args.evidence, f"kill-SIG{s}-{x}-try{i}-seed{try_seed}")
            if os.path.exists(dest):
                shutil.rmtree(dest)
            os.makedirs(args.evidence, exist_ok=True)
            shutil.move(judged_dir, dest)
            if judged_dir != try_dir:  # the killed folder the copy was taken of
                shutil.move(try_dir, os.path.join(dest, "killed"))
            shutil.copy(logp, os.path.join(dest, "update.log"))
            with open(os.path.join(dest, "try.json"), "w") as f:
                json.dump(r, f, indent=1)
            log(f"    kept in {dest}")
        elif args.keep:
            kept = os.path.join(args.workdir, f"kept-SIG{s}-{x}-try{i}")
            if os.path.exists(kept):
                shutil.rmtree(kept)
            shutil.move(judged_dir, kept)
            if judged_dir != try_dir:
                shutil.move(try_dir, os.path.join(kept, "killed"))
        slowest = max(slowest, time.monotonic() - t_try)

    with open(os.path.join(args.workdir, "results.json"), "w") as f:
        json.dump({"seed": seed, "typical": typical, "results": results}, f, indent=1)
    for d in (try_dir, copy_dir):
        if os.path.exists(d) and not args.keep:
            shutil.rmtree(d)

    log("")
    log(f"summary (seed {seed}, typical duration {typical:.2f} s, {time.monotonic() - t_begin:.0f} s in all"
        f"{', stopped by the time budget' if stopped_early else ''})")
    head = ("signal", "scenario", "tries", "signalled", "with damage", "files damaged", "files missing", "days lost",
            "leftovers", "unopenable after kill", "rerun status != 0")
    rows = []
    for s, x in ((s, x) for s in sig_names for x in scenarios):
        rs = [r for r in results if r["signal"] == s and r["scenario"] == x]
        rows.append((f"SIG{s}", x, len(rs), sum(r["landed"] for r in rs), sum(r["damage"] for r in rs),
                     sum(r["damaged"] for r in rs), sum(r["missing"] for r in rs),
                     sum(r["days_lost"] for r in rs), sum(r["leftovers"] for r in rs),
                     sum(r["unopenable_after_kill"] for r in rs), sum(r["rerun_status"] != 0 for r in rs)))
    widths = [max(len(str(h)), *(len(str(row[k])) for row in rows)) for k, h in enumerate(head)]
    log(" | ".join(str(h).ljust(w) for h, w in zip(head, widths)))
    log("-+-".join("-" * w for w in widths))
    for row in rows:
        log(" | ".join(str(v).ljust(w) for v, w in zip(row, widths)))
    rm = [r for r in results if r["scenario"] == "rm"]
    if rm:  # how many tries met the case the scenario is after
        log(f"rm: {sum(r['removed_had_journal'] for r in rm)} of {len(rm)} tries removed a file with its journal beside it")
    bad = any(r["damage"] or r["leftovers"] or r["rerun_status"] != 0 or r["extra"] for r in results)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
