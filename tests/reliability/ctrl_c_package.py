#!/usr/bin/python3
"""Ctrl-C during an update through the Python package and the host's pool.

Once, at the start:
  - a start state: minute bars and ticks of the stocks up to day D1,
    written by the installed package on the test doubles of the host and
    the service client (tests/py/doubles), through the host's
    ProgressedProcessPoolExecutor;
  - per operation, the reference: a copy of it updated to day D2 (stocks,
    futures and funds) without interruption, twice, to make sure the update
    gives the same files every time.
For every try and operation (update_minbar, update_tick):
  1. copy the start state into a fresh folder;
  2. start the update to D2 in a child Python process of its own session,
     and send SIGINT to its whole process group at a random moment of an
     uninterrupted run's duration (a terminal's Ctrl-C);
  3. the child prints a marker when KeyboardInterrupt reaches it (within
     5 s of the signal), then lets it end the interpreter (within 10 s);
  4. no process of the group may be left, and no worker may have logged
     the interrupt as a failed update ("更新 ... 失败");
  5. rerun the update to completion and compare every file with the
     reference (tests/reliability/kill_update.py's comparison): nothing
     damaged, missing, extra or left behind.

Usage:
  ctrl_c_package.py [--tries N] [--seed S] [--python PATH] [--ops update_minbar,update_tick]

Exit status: 0 when every try passes every check; 1 otherwise; 2 for a
set-up failure.
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
import threading  # noqa: E402
import time  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
DOUBLES = os.path.join(ROOT, "tests", "py", "doubles")
DEFAULT_PYTHON = os.path.join(ROOT, "build", "venv", "bin", "python")
DEFAULT_WORKDIR = "/tmp/tb-rel/ctrl-c-work"

DAY1 = "2024-06-03 18:00:00"
DAY2 = "2024-06-07 18:00:00"
# The start state holds the stocks; the update appends days to their files
# and creates those of the futures and funds.
START_TAGS = ["stock"]
TAGS = ["stock", "futures", "fund"]
# Where each operation writes, under the bundle folder (kill_update's
# comparison tells the kinds of files apart by these names).
TARGETS = {"update_minbar": "h5", "update_tick": "ticks"}
INTERRUPT_DEADLINE = 5.0
EXIT_DEADLINE = 10.0
FAILED_MARK = "失败"

# The child: the package as a host imports it, one update through the host's
# pool. An interrupt that lands after the update is the caller's too, so the
# child waits a while after it.
CHILD = """
import sys
sys.path[:0] = [sys.argv[1], sys.argv[1] + "/namespace"]
import time
import tessal_plus.bundle as tb
print("READY", flush=True)
t0 = time.monotonic()
try:
    ok = getattr(tb, sys.argv[2])(sys.argv[3], sys.argv[4].split(","), False, 2)
    print("DONE", ok, time.monotonic() - t0, flush=True)
    if sys.argv[5] == "wait":
        time.sleep(30)
except KeyboardInterrupt:
    print("KEYBOARD-INTERRUPT", flush=True)
    raise
"""


def child_env(now, log):
    env = dict(os.environ, TESSAL_NOW=now, TESSAL_DOUBLE_LOG=log)
    env.pop("QUILLONC_DOUBLE_LOG", None)
    env.pop("QUILLONC_DOUBLE_CONFIG", None)
    return env


def child_command(python, op, bundle, after, tags=TAGS):
    return [python, "-c", CHILD, DOUBLES, op, os.path.join(bundle, TARGETS[op]), ",".join(tags), after]


def run_update(python, op, bundle, now, log, tags=TAGS):
    """One update to completion; the seconds it took, None when it failed."""
    p = subprocess.run(child_command(python, op, bundle, "end", tags), env=child_env(now, log), stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=600, start_new_session=True)
    done = [line.split() for line in p.stdout.splitlines() if line.startswith("DONE")]
    return float(done[0][2]) if p.returncode == 0 and done and done[0][1] == "True" else None


def failed_updates(log):
    """Log lines of the host double's logger that report a failed update."""
    if not os.path.exists(log):
        return []
    with open(log, encoding="utf-8") as f:
        lines = [json.loads(line) for line in f if line.strip()]
    return [r["text"] for r in lines if r.get("kind") == "log" and FAILED_MARK in r.get("text", "")]


def interrupted_update(python, op, bundle, log, delay):
    """Starts the update, sends SIGINT to its process group `delay` seconds
    after the child is ready. Returns a dict of what was seen."""
    out = {"landed": False, "after_update": False, "interrupt_s": None, "exit_s": None, "hung": False,
           "stragglers": False, "status": None}
    p = subprocess.Popen(child_command(python, op, bundle, "wait"), env=child_env(DAY2, log), stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, start_new_session=True)
    seen = {}
    ready = threading.Event()

    def read():
        for line in p.stdout:
            seen.setdefault(line.split(" ")[0].strip(), time.monotonic())
            if line.startswith("READY"):
                ready.set()
        ready.set()
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    ready.wait(120)
    time.sleep(delay)
    if p.poll() is None:
        t_signal = time.monotonic()
        os.killpg(p.pid, signal.SIGINT)
        out["landed"] = True
        out["after_update"] = "DONE" in seen
        while p.poll() is None and time.monotonic() < t_signal + 60:
            time.sleep(0.01)
        out["exit_s"] = time.monotonic() - t_signal
        out["hung"] = p.poll() is None
        if out["hung"]:
            os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        reader.join(5)
        if "KEYBOARD-INTERRUPT" in seen:
            out["interrupt_s"] = seen["KEYBOARD-INTERRUPT"] - t_signal
    else:
        p.wait()
    out["status"] = p.returncode
    out["stragglers"] = ku.reap_group(p.pid, grace=1.0)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tries", type=int, default=20, help="tries per operation (20)")
    ap.add_argument("--seed", type=int, default=None, help="seed of the signal delays (random)")
    ap.add_argument("--python", default=DEFAULT_PYTHON, help="a Python with the package installed")
    ap.add_argument("--ops", default="update_minbar,update_tick")
    ap.add_argument("--workdir", default=DEFAULT_WORKDIR)
    args = ap.parse_args()
    ops = [o.strip() for o in args.ops.split(",") if o.strip()]
    for o in ops:
        if o not in TARGETS:
            ap.error(f"unknown operation {o}")
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 31)

    def log(msg):
        print(msg, flush=True)

    log(f"seed {seed}; python {args.python}; start state: {','.join(START_TAGS)} at {DAY1}; "
        f"update: {','.join(TAGS)} to {DAY2}")
    shutil.rmtree(args.workdir, ignore_errors=True)
    os.makedirs(args.workdir)
    start = os.path.join(args.workdir, "start")
    logp = os.path.join(args.workdir, "host.jsonl")
    for op in ops:
        if run_update(args.python, op, start, DAY1, logp, START_TAGS) is None:
            log(f"set-up failed: {op} of the start state")
            return 2
    # Per operation, the reference and a second uninterrupted update that
    # must give the same files.
    references, durations = {}, {}
    for op in ops:
        ref, other = os.path.join(args.workdir, "reference-" + op), os.path.join(args.workdir, "timing")
        runs = []
        for folder in (ref, other):
            ku.copy_tree(start, folder)
            runs.append(run_update(args.python, op, folder, DAY2, logp))
        if None in runs:
            log(f"set-up failed: an uninterrupted {op}")
            return 2
        references[op] = ku.Reference(ref)
        durations[op] = statistics.mean(runs)
        c = ku.compare_bundle(references[op], other)
        if c["damaged"] or c["missing"] or c["extra"] or c["leftovers"]:
            log(f"set-up failed: two uninterrupted {op} differ: {c}")
            return 2
        log(f"uninterrupted {op}: {', '.join(f'{d:.2f}' for d in runs)} s; reference: {len(references[op].files)} files, "
            "the same from both runs")

    rng = random.Random(seed)
    results = []
    try_dir = os.path.join(args.workdir, "try")
    for i in range(args.tries):
        for op in ops:
            delay = rng.uniform(0, durations[op])
            ku.copy_tree(start, try_dir)
            if os.path.exists(logp):
                os.unlink(logp)
            k = interrupted_update(args.python, op, try_dir, logp, delay)
            failures = failed_updates(logp)
            rerun_ok = run_update(args.python, op, try_dir, DAY2, logp) is not None
            c = ku.compare_bundle(references[op], try_dir)
            r = dict(k, op=op, try_=i, delay=round(delay, 3), failure_logs=failures, rerun_ok=rerun_ok,
                     damaged=len(c["damaged"]), missing=len(c["missing"]), extra=len(c["extra"]),
                     leftovers=len(c["leftovers"]))
            r["interrupted_in_time"] = k["interrupt_s"] is not None and k["interrupt_s"] <= INTERRUPT_DEADLINE
            r["exited_in_time"] = not k["hung"] and k["exit_s"] is not None and k["exit_s"] <= EXIT_DEADLINE
            r["ok"] = (not k["landed"] or (r["interrupted_in_time"] and r["exited_in_time"])) and not k["stragglers"] \
                and not failures and rerun_ok and not (c["damaged"] or c["missing"] or c["extra"] or c["leftovers"])
            results.append(r)
            fmt_s = lambda v: "-" if v is None else f"{v:.2f}s"  # noqa: E731
            log(f"{op:<13} try {i:2d} delay {delay:5.2f}s "
                f"{('signalled after the update' if k['after_update'] else 'signalled') if k['landed'] else 'finished first'}"
                f"; KeyboardInterrupt {fmt_s(k['interrupt_s'])}, exit {fmt_s(k['exit_s'])}"
                f"{' HUNG' if k['hung'] else ''}{' STRAGGLERS' if k['stragglers'] else ''}"
                f"; failure logs {len(failures)}; rerun {'ok' if rerun_ok else 'FAILED'}; damaged {r['damaged']} "
                f"missing {r['missing']} extra {r['extra']} leftovers {r['leftovers']}{'' if r['ok'] else '  <-- FAIL'}")
            for text in failures:
                log(f"    LOGGED {text!r}")
    shutil.rmtree(try_dir, ignore_errors=True)
    with open(os.path.join(args.workdir, "results.json"), "w") as f:
        json.dump({"seed": seed, "durations": durations, "results": results}, f, indent=1)

    log("")
    log(f"summary (seed {seed})")
    head = ("operation", "tries", "signalled", "KeyboardInterrupt <= 5 s", "exit <= 10 s", "hung", "stragglers",
            "failure logs", "rerun differs", "failed tries")
    rows = []
    for op in ops:
        rs = [r for r in results if r["op"] == op]
        sig = [r for r in rs if r["landed"]]
        rows.append((op, len(rs), len(sig), sum(r["interrupted_in_time"] for r in sig),
                     sum(r["exited_in_time"] for r in sig), sum(r["hung"] for r in rs), sum(r["stragglers"] for r in rs),
                     sum(bool(r["failure_logs"]) for r in rs),
                     sum(bool(r["damaged"] or r["missing"] or r["extra"] or r["leftovers"]) or not r["rerun_ok"]
                         for r in rs),
                     sum(not r["ok"] for r in rs)))
    widths = [max(len(str(h)), *(len(str(row[k])) for row in rows)) for k, h in enumerate(head)]
    log(" | ".join(str(h).ljust(w) for h, w in zip(head, widths)))
    log("-+-".join("-" * w for w in widths))
    for row in rows:
        log(" | ".join(str(v).ljust(w) for v, w in zip(row, widths)))
    return 0 if all(r["ok"] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
