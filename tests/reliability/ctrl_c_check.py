#!/usr/bin/python3
"""Ctrl-C during a store check through the Python package.

Once, at the start: a minute-bar store large enough that the package's
check_min_bar_data(quality=True) takes several seconds, written by the
command line on the simulated market, and the digests of every file.
For every try and concurrency (1 and 2 by default):
  1. start the check in a child Python process of its own session (the
     package with the test doubles of the host and the client);
  2. send SIGINT to its whole process group at a random moment inside an
     uninterrupted check's duration (a terminal's Ctrl-C);
  3. measure when KeyboardInterrupt reaches the caller (the child prints a
     marker) and when the interpreter has exited;
  4. no process of the group may be left, and every file must hold its
     bytes (a check never writes, and an interrupted one deletes nothing).

Usage:
  ctrl_c_check.py [--tries N] [--seed S] [--python PATH] [--concurrency 1,2] [--limit SECONDS]

Exit status: 0 when every try passed and KeyboardInterrupt came within
--limit seconds (0.5) of the signal; 1 otherwise; 2 for a set-up failure.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kill_update as ku  # noqa: E402  (sets HDF5_PLUGIN_PATH before h5py)

import argparse  # noqa: E402
import hashlib  # noqa: E402
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
DEFAULT_BINARY = os.path.join(ROOT, "build", "tessal-bundle")
DEFAULT_WORKDIR = "/tmp/tb-rel/ctrl-c-check"
NOW = "2024-06-07 18:00:00"
SERVICE = "sim:seed=5,start=20220103,stocks=150,futures=2,contracts=1,options=0"

# The client double answers for other instruments than the simulated market
# that wrote the store, so a few files have gaps it has bars for: the
# prompt is answered "no".
CHILD = """
import io, sys, time
sys.path[:0] = [sys.argv[1], sys.argv[1] + "/namespace"]
sys.stdin = io.StringIO("no\\n")
import tessal_plus.bundle as tb
print("READY", flush=True)
t0 = time.monotonic()
try:
    tb.check_min_bar_data(sys.argv[2], concurrency=int(sys.argv[3]), quality=True)
    print("DONE", time.monotonic() - t0, flush=True)
except KeyboardInterrupt:
    print("KEYBOARD-INTERRUPT", flush=True)
    raise
"""


def digests(folder):
    out = {}
    for root, _dirs, names in os.walk(folder):
        for n in names:
            with open(os.path.join(root, n), "rb") as f:
                out[os.path.join(root, n)] = hashlib.sha256(f.read()).hexdigest()
    return out


def start(python, data, concurrency):
    env = dict(os.environ, TESSAL_NOW=NOW)
    p = subprocess.Popen([python, "-c", CHILD, DOUBLES, data, str(concurrency)], env=env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, start_new_session=True,
                         preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    seen, ready = {}, threading.Event()

    def read():
        for line in p.stdout:
            seen.setdefault(line.split(" ")[0].strip(), (time.monotonic(), line))
            if line.startswith("READY"):
                ready.set()
        ready.set()
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    ready.wait(120)
    return p, seen, reader


def uninterrupted(python, data, concurrency):
    p, seen, reader = start(python, data, concurrency)
    p.wait()
    reader.join(5)
    return float(seen["DONE"][1].split()[1]) if "DONE" in seen else None


def interrupted(python, data, concurrency, delay):
    out = {"landed": False, "interrupt_s": None, "exit_s": None, "hung": False, "stragglers": False}
    p, seen, reader = start(python, data, concurrency)
    time.sleep(delay)
    if p.poll() is None and "DONE" not in seen:
        t = time.monotonic()
        os.killpg(p.pid, signal.SIGINT)
        out["landed"] = True
        while p.poll() is None and time.monotonic() < t + 60:
            time.sleep(0.005)
        out["exit_s"] = time.monotonic() - t
        out["hung"] = p.poll() is None
        reader.join(5)
        if "KEYBOARD-INTERRUPT" in seen:
            out["interrupt_s"] = seen["KEYBOARD-INTERRUPT"][0] - t
    out["stragglers"] = ku.reap_group(p.pid, grace=1.0)
    p.wait()
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tries", type=int, default=10)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--python", default=DEFAULT_PYTHON, help="a Python with the package installed")
    ap.add_argument("--binary", default=DEFAULT_BINARY, help="the command line, to write the store")
    ap.add_argument("--concurrency", default="1,2")
    ap.add_argument("--limit", type=float, default=0.5, help="seconds from the signal to KeyboardInterrupt")
    ap.add_argument("--workdir", default=DEFAULT_WORKDIR)
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 31)
    shutil.rmtree(args.workdir, ignore_errors=True)
    data = os.path.join(args.workdir, "data")
    env = dict(os.environ, TESSAL_NOW=NOW, TESSAL_SERVICE=SERVICE)
    if subprocess.run([args.binary, "update", data, "--base", "--minbar", "all", "-j", "2"], env=env,
                      capture_output=True).returncode != 0:
        print("set-up failed: the update of the store")
        return 2
    before = digests(data)
    rng = random.Random(seed)
    ok = True
    print(f"seed {seed}; {len(before)} files")
    for c in (int(x) for x in args.concurrency.split(",")):
        duration = uninterrupted(args.python, data, c)
        if duration is None:
            print(f"set-up failed: an uninterrupted check at concurrency {c}")
            return 2
        times = []
        for i in range(args.tries):
            r = interrupted(args.python, data, c, rng.uniform(0.1 * duration, 0.9 * duration))
            same = digests(data) == before
            good = r["landed"] and r["interrupt_s"] is not None and r["interrupt_s"] <= args.limit and not r["hung"] \
                and not r["stragglers"] and same
            ok = ok and good
            if r["interrupt_s"] is not None:
                times.append(r["interrupt_s"])
            secs = {k: "-" if r[k] is None else f"{r[k]:.3f}s" for k in ("interrupt_s", "exit_s")}
            print(f"concurrency {c} try {i}: KeyboardInterrupt {secs['interrupt_s']}, exit {secs['exit_s']}"
                  f"{' HUNG' if r['hung'] else ''}{' STRAGGLERS' if r['stragglers'] else ''}"
                  f"{'' if same else ' FILES CHANGED'}{'' if good else '  <-- FAIL'}", flush=True)
        if times:
            print(f"concurrency {c}: uninterrupted {duration:.2f}s; KeyboardInterrupt after the signal: "
                  f"median {statistics.median(times):.3f}s, max {max(times):.3f}s ({len(times)} tries)")
    shutil.rmtree(args.workdir, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
