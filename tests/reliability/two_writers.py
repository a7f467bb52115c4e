#!/usr/bin/python3
"""Two updates of one bundle at once, the second killed when the first ends,
then a rerun; the bundle must equal one written by a single update.

Once, at the start:
  - a base-only bundle (update --base) on the simulated market;
  - the reference: a copy of it updated by one uninterrupted update
    (minute bars of every type, ticks of the stocks), run twice to make sure
    the update gives the same result every time.
For every try:
  1. copy the base-only bundle into a fresh folder;
  2. start the update there, and the same update again after a random gap
     of up to --max-gap seconds, each in its own session;
  3. when the first ends, SIGKILL the second's whole process group (if it
     still runs);
  4. rerun the update to completion;
  5. compare the bundle with the reference: every file under its final name
     must open with h5py and hold the reference's datasets (dtype, shape,
     every field of every record) and attributes; no file or day may be
     missing, and no journal, unfinished refill or other hidden file may be
     left.

Usage:
  two_writers.py [--tries N] [--seed S] [--keep] [--max-seconds T]
                 [--max-gap SECONDS] [--delay SECONDS] [--binary PATH]

Exit status: 0 when no try shows damage, lost files or days, extra files or
leftovers and every rerun succeeded; 1 otherwise; 2 for a set-up failure.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kill_update as ku  # noqa: E402  (sets HDF5_PLUGIN_PATH before h5py)

import argparse  # noqa: E402
import json  # noqa: E402
import random  # noqa: E402
import shutil  # noqa: E402
import signal  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402

DEFAULT_WORKDIR = "/tmp/tb-rel/two-work"

# Small enough that one update takes a second or two on two cores, large
# enough that the two writers meet on many files.
SERVICE = "sim:seed=5,start=20240301,tick_start=20240527,stocks=12,futures=1,contracts=2,options=2"
NOW = "2024-06-07 18:00:00"
BASE_ARGS = ["--base"]
UPDATE_ARGS = ["--minbar", "all", "--tick", "stock"]

# The writers' log line for a file another writer holds ("... occupied by
# another process"); counted to show that the two updates did meet.
HELD_MARK = "占用".encode()


def start_update(binary, folder, jobs, log):
    return subprocess.Popen(ku.update_command(binary, folder, UPDATE_ARGS, jobs), env=ku.tool_env(NOW, SERVICE),
                            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                            start_new_session=True)


def two_writers(binary, folder, jobs, logs, gap):
    """Starts the update, and again `gap` seconds later; SIGKILLs the second's
    process group once the first has ended. Returns a dict: first and second
    (exit statuses), killed (the second still ran), hung, stragglers."""
    out = {"first": None, "second": None, "killed": False, "hung": False, "stragglers": False}
    with open(logs[0], "ab") as log1, open(logs[1], "ab") as log2:
        first = start_update(binary, folder, jobs, log1)
        time.sleep(gap)
        second = start_update(binary, folder, jobs, log2)
        try:
            first.wait(timeout=600)
        except subprocess.TimeoutExpired:
            out["hung"] = True
            os.killpg(first.pid, signal.SIGKILL)
            first.wait()
        if second.poll() is None:
            try:
                os.killpg(second.pid, signal.SIGKILL)
                out["killed"] = True
            except ProcessLookupError:
                pass
        second.wait()
        out["first"], out["second"] = first.returncode, second.returncode
        # Workers may outlive their leader; the rerun must not overlap them.
        out["stragglers"] = ku.reap_group(first.pid) | ku.reap_group(second.pid)
    return out


def held_lines(path):
    with open(path, "rb") as f:
        return sum(HELD_MARK in line for line in f)


def prepare(args, log):
    """The base-only bundle and the reference; returns (base folder,
    Reference, typical duration of one update)."""
    os.makedirs(args.workdir, exist_ok=True)
    base = os.path.join(args.workdir, "base")
    if os.path.exists(base):
        shutil.rmtree(base)
    rc, secs = ku.run_update(args.binary, base, NOW, SERVICE, BASE_ARGS, args.jobs, os.path.join(args.workdir, "base.log"))
    if rc != 0:
        raise RuntimeError(f"the base-only update failed with status {rc}")
    log(f"base-only bundle made in {secs:.2f} s")
    durations = []

    def updated_copy(name, what):
        folder = os.path.join(args.workdir, name)
        ku.copy_tree(base, folder)
        rc, secs = ku.run_update(args.binary, folder, NOW, SERVICE, UPDATE_ARGS, args.jobs,
                                 os.path.join(args.workdir, name + ".log"))
        if rc != 0:
            raise RuntimeError(f"{what} failed with status {rc}")
        durations.append(secs)
        return folder

    reference = ku.Reference(os.path.join(updated_copy("reference", "the reference update"), "bundle"))
    other = updated_copy("again", "a second uninterrupted update")
    c = ku.compare_bundle(reference, os.path.join(other, "bundle"))
    if c["damaged"] or c["missing"] or c["extra"] or c["leftovers"]:
        raise RuntimeError(f"two uninterrupted updates differ: {c}")
    shutil.rmtree(other)
    stores = [r for r in reference.files if ku.file_kind(r) in ("minbar", "tick")]
    log(f"uninterrupted update: {', '.join(f'{d:.2f}' for d in durations)} s; reference: {len(stores)} store files, "
        f"{sum(len(v) for v in reference.days.values())} file-days; repeated runs identical")
    return base, reference, statistics.median(durations)


def kind_of_leftover(rel):
    name = os.path.basename(rel)
    if ".h5.rebuild" in name:
        return "rebuild"
    if name.startswith(".") and name.endswith(".journal"):
        return "journal"
    return "other"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tries", type=int, default=20, help="tries (20)")
    ap.add_argument("--seed", type=int, default=None, help="seed of the gaps (random)")
    ap.add_argument("--keep", action="store_true", help="keep every try's bundle")
    ap.add_argument("--max-seconds", type=float, default=900, help="time budget, preparation included (900)")
    ap.add_argument("--max-gap", type=float, default=0.3, help="largest gap between the two starts (0.3)")
    ap.add_argument("--delay", type=float, default=None, help="fixed gap in seconds (reproduce a try)")
    ap.add_argument("--binary", default=ku.DEFAULT_BINARY)
    ap.add_argument("--workdir", default=DEFAULT_WORKDIR)
    ap.add_argument("--evidence", default=ku.DEFAULT_EVIDENCE, help="where a failed try's bundle is kept")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    args = ap.parse_args()

    t_begin = time.monotonic()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 31)

    def log(msg):
        print(msg, flush=True)

    log(f"seed {seed}; binary {args.binary}; service {SERVICE}")
    log(f"base: update {' '.join(BASE_ARGS)}; both writers and the rerun: update {' '.join(UPDATE_ARGS)} "
        f"-j {args.jobs} at {NOW}")
    try:
        base, reference, typical = prepare(args, log)
    except Exception as e:
        log(f"set-up failed: {e}")
        return 2

    master = random.Random(seed)
    plan = []
    for i in range(args.tries):
        try_seed = master.randrange(1 << 31)
        gap = random.Random(try_seed).uniform(0, args.max_gap)
        plan.append((i, try_seed, args.delay if args.delay is not None else gap))

    results = []
    try_dir = os.path.join(args.workdir, "try")
    slowest = 0.0
    stopped_early = False
    for i, try_seed, gap in plan:
        elapsed = time.monotonic() - t_begin
        if elapsed + max(slowest, 4 * typical) > args.max_seconds:
            stopped_early = True
            log(f"time budget of {args.max_seconds:.0f} s reached after {elapsed:.0f} s; stopping")
            break
        t_try = time.monotonic()
        ku.copy_tree(base, try_dir)
        logs = [os.path.join(args.workdir, f"{n}.log") for n in ("first", "second", "rerun")]
        for p in logs:
            if os.path.exists(p):
                os.unlink(p)
        w = two_writers(args.binary, try_dir, args.jobs, logs, gap)
        root = os.path.join(try_dir, "bundle")
        hidden_before_rerun = ku.list_bundle(root)[1]
        rerun_rc, _ = ku.run_update(args.binary, try_dir, NOW, SERVICE, UPDATE_ARGS, args.jobs, logs[2])
        c = ku.compare_bundle(reference, root)
        leftovers = {k: [r for r in c["leftovers"] if kind_of_leftover(r) == k] for k in ("journal", "rebuild", "other")}
        held = held_lines(logs[0]) + held_lines(logs[1])
        bad = bool(c["damaged"] or c["missing"] or c["days_lost"] or c["extra"] or c["leftovers"] or rerun_rc != 0)
        r = {"try": i, "seed": try_seed, "gap": round(gap, 4), "first_status": w["first"],
             "second_status": w["second"], "second_killed": w["killed"], "hung": w["hung"],
             "stragglers": w["stragglers"], "held_lines": held, "hidden_before_rerun": len(hidden_before_rerun),
             "rerun_status": rerun_rc, "damaged": len(c["damaged"]), "missing": len(c["missing"]),
             "days_lost": c["days_lost"], "extra": len(c["extra"]), "leftovers": len(c["leftovers"]),
             "same_bytes": c["same_bytes"], "same_contents": c["same_contents"], "bad": bad,
             "details": {"damaged": c["damaged"], "missing": c["missing"], "lost_days": c["lost_days"],
                         "extra": c["extra"], "leftovers": c["leftovers"],
                         "hidden_before_rerun": hidden_before_rerun}}
        results.append(r)
        log(f"try {i:2d} seed {try_seed:10d} gap {gap:5.3f}s: first status {w['first']}, second "
            f"{'killed' if w['killed'] else 'had ended already'} (status {w['second']})"
            f"{' stragglers' if w['stragglers'] else ''}{' HUNG' if w['hung'] else ''}, {held} held-file lines; "
            f"{len(hidden_before_rerun)} hidden before the rerun; rerun status {rerun_rc}; "
            f"damaged {len(c['damaged'])} missing {len(c['missing'])} days lost {c['days_lost']} "
            f"extra {len(c['extra'])} leftovers {len(leftovers['journal'])} journal(s), "
            f"{len(leftovers['rebuild'])} rebuild(s), {len(leftovers['other'])} other "
            f"(same bytes {c['same_bytes']}, same contents {c['same_contents']})")
        ku.log_comparison(c, log)
        if bad:
            dest = os.path.join(args.evidence, f"two-writers-try{i}-seed{try_seed}")
            if os.path.exists(dest):
                shutil.rmtree(dest)
            os.makedirs(args.evidence, exist_ok=True)
            shutil.move(try_dir, dest)
            for p in logs:
                shutil.copy(p, dest)
            with open(os.path.join(dest, "try.json"), "w") as f:
                json.dump(r, f, indent=1)
            log(f"    kept in {dest}")
        elif args.keep:
            shutil.move(try_dir, os.path.join(args.workdir, f"kept-try{i}"))
        slowest = max(slowest, time.monotonic() - t_try)

    with open(os.path.join(args.workdir, "results.json"), "w") as f:
        json.dump({"seed": seed, "typical": typical, "results": results}, f, indent=1)
    if os.path.exists(try_dir) and not args.keep:
        shutil.rmtree(try_dir)

    tries = len(results)
    damaged = sum(r["damaged"] for r in results)
    lost_files = sum(r["missing"] for r in results)
    lost_days = sum(r["days_lost"] for r in results)
    leftovers = sum(r["leftovers"] for r in results)
    extra = sum(r["extra"] for r in results)
    rerun_failed = sum(r["rerun_status"] != 0 for r in results)
    log("")
    log(f"summary (seed {seed}, typical duration {typical:.2f} s, {time.monotonic() - t_begin:.0f} s in all"
        f"{', stopped by the time budget' if stopped_early else ''}): tries {tries}, "
        f"second killed {sum(r['second_killed'] for r in results)}, damaged {damaged}, "
        f"lost {lost_files} files {lost_days} days, leftovers {leftovers}, extra {extra}, "
        f"reruns failed {rerun_failed}, tries with a failure {sum(r['bad'] for r in results)}")
    return 1 if any(r["bad"] for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
