"""Our daily minute-bar update against a plain h5py/pandas peer of it.

    build/venv/bin/python bench/bench_peer.py [--runs 5] [--bin build/tessal-bundle] [--no-cli]

Run scripts/test-python once first, so that build/venv holds the installed
package; the service is the Python test double `quillonc` and the host the
double `tessal` (tests/py/doubles), with the clock pinned by TESSAL_NOW.

What it does:

1. Builds once, through `update_minbar`, a template store of 200 stocks
   holding 60 trading days up to NOW_BEFORE; NOW_AFTER is one trading day
   later, so an update at NOW_AFTER appends exactly one day (240 bars).
2. The peer (`peer_append`), written from the file format as a quant would:
   per instrument, open the file with h5py, read the last `index` record,
   ask the service (`instruments`, `get_next_trading_date`, `get_price`, with
   our writer's keywords) for the missing bars, turn the frame into records
   with numpy, resize and write `data`, append to `index`; a missing file is
   created (gzip 9, automatic chunks, unlimited). Sequential, or over a fork
   `multiprocessing.Pool(2)`.
3. Before timing, both sides append one day to copies of the template and
   fill the new-file case; every file's `data` and `index` must be equal
   (values and dtypes) on the two sides, or the script stops with an error.
4. Cases: (a) one day appended to each of 200 files, concurrency 1 and 2;
   (b) the same when already up to date; (c) 20 new files of 250 days.
   Each measurement runs in a fresh interpreter (modules imported before
   the clock starts) on a fresh copy of its starting store; the sides take
   turns, the first one alternating from run to run.

The figures. A measurement's time is that of the update call (ours:
`update_minbar(..., concurrency)`, which opens the host's pool even at
concurrency 1; the peer: its loop, or its pool from creation to join), less
the time spent inside the service double: a pure-Python market, the same
for both sides, and no part of either writer. Every public function of
`quillonc` is wrapped by a timer in the measuring process and in each pool
worker, which writes its total to a file named by its pid when it ends.
Writer time = wall - (double time of the calling process) - (double time
summed over the workers that ran tasks) / (their number): workers run side
by side, so with a balanced load the double takes its per-worker average
off the wall clock, not its sum. The same rule applies to both sides. The
counts of `get_price` and `instruments` calls summed over all processes
must be what the case needs, so a worker whose total went missing stops
the script.

A second table gives the time inside the writer's tasks only (each task's
duration less the double's time within it, summed over the tasks of all
processes): the writer itself, without the pool's hand-over of tasks, which
the host's pool does for us even at concurrency 1 and the peer's plain loop
does not.

The table prints per case the min and median over the runs of our writer
time, the peer's, and ours/peer of each (below 1: ours is faster), and the
median share of the wall that the double took. A last table gives each
side's pool by itself: the up-to-date update with every task returning at
once (ours: the host's pool, one task per instrument; the peer: its plain
loop, or its Pool), the floor under that side's writer time. The command-line part then
times `tessal-bundle update --minbar stock` on its embedded simulated market
(200 stocks and a few special ones, bars from the template's first day;
the update at NOW_AFTER must add one day): the one-day append and the
up-to-date rerun, wall of the whole process per instrument; the simulated
service runs inside the process there and is not subtracted.
"""
import argparse
import datetime as dt
import glob
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DOUBLES = os.path.join(HERE, "..", "tests", "py", "doubles")
NOW_BEFORE, NOW_AFTER = "2024-06-06 18:00:00", "2024-06-07 18:00:00"
STORED_DAYS, FILES, NEW_FILES, NEW_DAYS = 60, 200, 20, 250
MIN_START_DATE = 20050104
SERVICE_CALLS = ("init", "all_instruments", "instruments", "get_next_trading_date", "get_price", "is_suspended")

# The file's record layouts, written down as the format describes them.
EQUITIES = np.dtype([("datetime", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"), ("close", "<f8"),
                     ("volume", "<f8"), ("total_turnover", "<f8")])
DERIVATIVES = np.dtype([("datetime", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"), ("close", "<f8"),
                        ("open_interest", "<i8"), ("volume", "<f8"), ("total_turnover", "<f8")])
INDEX = np.dtype([("date", "<i4"), ("line_no", "<u4")])
LAYOUTS = {t: ("equities", EQUITIES) for t in ("CS", "ETF", "LOF", "INDX", "Convertible", "REITs")}
LAYOUTS.update({"Future": ("future", DERIVATIVES), "Option": ("option", DERIVATIVES)})


# ---------------------------------------------------------------- the peer

def _horizon():
    # Today and the last day to fetch on the host's clock (TESSAL_NOW when
    # pinned): today itself only after 17:30, when the day's bars are final.
    from tessal.utils.datetime_func import datetime
    now = datetime.now()
    end = now if now > now.replace(hour=17, minute=30, second=0, microsecond=0) else now - dt.timedelta(days=1)
    return int(now.strftime("%Y%m%d")), int(end.strftime("%Y%m%d"))


def _bars(oid, start, end, layout, market):
    import quillonc
    if end < start:
        return None
    df = quillonc.get_price(oid, start_date=start, end_date=end, frequency="1m", adjust_type="none",
                            expect_df=True, market=market)
    if df is None or df.empty:
        return None
    df = df[~df.index.duplicated()]
    stamps = df.index.get_level_values(1)
    days = stamps if "trading_date" not in df else df["trading_date"].dt
    day = (days.year * 10000 + days.month * 100 + days.day).to_numpy(np.int64)
    data = np.empty(len(df), layout)
    data["datetime"] = ((stamps.year * 10000 + stamps.month * 100 + stamps.day).to_numpy(np.int64) * 1000000
                        + (stamps.hour * 10000 + stamps.minute * 100 + stamps.second).to_numpy(np.int64))
    for name in layout.names[1:]:
        data[name] = df[name].to_numpy()
    first = np.flatnonzero(np.r_[True, day[1:] != day[:-1]])
    index = np.empty(len(first), INDEX)
    index["date"], index["line_no"] = day[first], first
    return index, data


def _append(dataset, rows):
    n = dataset.shape[0]
    dataset.resize((n + len(rows),))
    dataset[n:] = rows


def peer_append(oid, root):
    if _NOOP:
        return
    import h5py
    import quillonc
    market = "hk" if oid.endswith(".XHKG") else "cn"
    found = quillonc.instruments(oid, market=market)
    if found is None:
        raise ValueError("unknown instrument " + oid)
    records = found if isinstance(found, list) else [found]
    listed_until = [r.de_listed_date for r in records]
    de_listed = 0 if "0000-00-00" in listed_until else int(max(listed_until).replace("-", ""))
    if records[0].type not in LAYOUTS or (de_listed and de_listed < MIN_START_DATE):
        return
    folder, layout = LAYOUTS[records[0].type]
    os.makedirs(os.path.join(root, folder), exist_ok=True)
    path = os.path.join(root, folder, oid + ".h5")
    today, end = _horizon()
    if de_listed and de_listed < today:
        end = de_listed
    if not os.path.exists(path):
        got = _bars(oid, MIN_START_DATE, end, layout, market)
        if got is not None:
            with h5py.File(path, "a") as f:
                for name, rows in (("data", got[1]), ("index", got[0])):
                    f.create_dataset(name, data=rows, chunks=True, maxshape=(None,), compression="gzip",
                                     compression_opts=9)
        return
    with h5py.File(path, "a") as f:
        last = int(f["index"][-1]["date"])
        if de_listed and last >= de_listed:
            return
        start = int(quillonc.get_next_trading_date(last, market=market).strftime("%Y%m%d"))
        got = _bars(oid, start, end, layout, market)
        if got is None:
            return
        index, data = got
        index["line_no"] += f["data"].shape[0]
        _append(f["index"], index)
        _append(f["data"], data)


def peer_update(root, concurrency):
    import multiprocessing
    import quillonc
    table = quillonc.all_instruments(type="CS")
    ids = sorted(table["order_book_id"])
    if concurrency == 1:
        for oid in ids:
            peer_task(oid, root)
        return
    pool = multiprocessing.get_context("fork").Pool(concurrency)
    pool.starmap(peer_task, [(oid, root) for oid in ids])
    pool.close()  # not terminate(): the workers must end normally to report their double time
    pool.join()


# ------------------------------------------------- one measured run (child)

_totals = {"s": 0.0, "calls": {}, "task": 0.0}
_NOOP = False  # set in a child that measures its side's pool alone: every task returns at once


def _timed_task(fn, *args, **kwargs):
    # The writer's own time inside one task: its duration less the double's.
    t, d = time.perf_counter(), _totals["s"]
    try:
        return fn(*args, **kwargs)
    finally:
        _totals["task"] += time.perf_counter() - t - (_totals["s"] - d)


def peer_task(oid, root):
    return _timed_task(peer_append, oid, root)


def _our_task(*args, **kwargs):
    return _timed_task(_our_task.inner, *args, **kwargs)


def _dump():
    with open(os.path.join(os.environ["BENCH_DOUBLE_DIR"], str(os.getpid())), "w") as f:
        json.dump(_totals, f)


def _in_worker(_self):
    # Runs in each forked pool worker once it is set up: its own totals from
    # zero, written out when it exits normally.
    from multiprocessing import util
    _totals["s"], _totals["calls"], _totals["task"] = 0.0, {}, 0.0
    util.Finalize(None, _dump, exitpriority=100)
    # Our pool's task is an object whose class a worker finds by name when
    # it unpickles one: its call timed here, in the worker only.
    adapters = sys.modules.get("tessal_plus.bundle._adapters")
    if adapters is not None and not hasattr(_our_task, "inner"):
        _our_task.inner = adapters.PoolTask.__call__
        adapters.PoolTask.__call__ = _our_task


def _time_double():
    import quillonc
    from multiprocessing import util

    def timed(name, fn):
        def call(*args, **kwargs):
            t = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                _totals["s"] += time.perf_counter() - t
                _totals["calls"][name] = _totals["calls"].get(name, 0) + 1
        return call
    for name in SERVICE_CALLS:
        setattr(quillonc, name, timed(name, getattr(quillonc, name)))
    quillonc.client.bjse_enabled = timed("bjse_enabled", quillonc.client.bjse_enabled)
    quillonc.convertible.instruments = timed("convertible", quillonc.convertible.instruments)
    util.register_after_fork(_in_worker, _in_worker)  # the key: any object that lives as long as the process


def child(side, root, concurrency):
    global _NOOP
    side, _NOOP = side.split("-")[0], side.endswith("-noop")
    _time_double()
    if side == "ours":
        import tessal_plus.bundle as tb
        if _NOOP:
            from tessal_plus.bundle import _adapters
            core = sys.modules["tessal_plus.bundle._core"]
            _adapters.PoolTask.__call__ = lambda _task: (core.TASK_UP_TO_DATE, "", "")
        t = time.perf_counter()
        ok = tb.update_minbar(root, ["stock"], False, concurrency)
        wall = time.perf_counter() - t
        if not ok:
            sys.exit("our update reported a failed instrument")
    else:
        import h5py  # noqa: F401  (imported before the clock starts, as ours is)
        import pandas  # noqa: F401
        import tessal.utils.datetime_func  # noqa: F401
        t = time.perf_counter()
        peer_update(root, concurrency)
        wall = time.perf_counter() - t
    workers = []
    for name in os.listdir(os.environ["BENCH_DOUBLE_DIR"]):
        with open(os.path.join(os.environ["BENCH_DOUBLE_DIR"], name)) as f:
            workers.append(json.load(f))
    calls = dict(_totals["calls"])
    for w in workers:
        for k, v in w["calls"].items():
            calls[k] = calls.get(k, 0) + v
    busy = [w for w in workers if w["calls"]]  # a worker that got no task takes no share
    worker_double = sum(w["s"] for w in busy) / len(busy) if busy else 0.0
    print(json.dumps({"wall": wall, "double": _totals["s"] + worker_double, "calls": calls, "workers": len(busy),
                      "writer": wall - _totals["s"] - worker_double,
                      "in_tasks": _totals["task"] + sum(w["task"] for w in busy)}))


# ------------------------------------------------------- the driver (parent)

def market_config(ids, history_start):
    from quillonc import _market
    extra = [dict(order_book_id=o, symbol=o, type="CS", exchange=o[-4:], listed_date="2000-01-04",
                  de_listed_date="0000-00-00") for o in ids]
    return json.dumps(dict(history_start=history_start, suspended={}, extra_instruments=extra,
                           drop_instruments=[d["order_book_id"] for d in _market.DEFAULT_INSTRUMENTS]))


def history_start(now, days):
    # The first day of `days` trading days ending on `now`'s day, on the double's calendar.
    from quillonc import _market
    calendar = [int(d) for d in _market.Market(_market.load_config("")).trading_days]
    last = int(now[:10].replace("-", ""))
    return calendar[calendar.index(last) - days + 1]


class Bench:
    def __init__(self, tmp):
        self.tmp, self.n = tmp, 0

    def run(self, side, start, case, concurrency):
        """One measurement on a fresh copy of `start` (None: an empty store);
        returns the child's figures and the store it left."""
        self.n += 1
        root = os.path.join(self.tmp, "run%d" % self.n)
        if start:
            shutil.copytree(start, root)
        counts = os.path.join(self.tmp, "double%d" % self.n)
        os.makedirs(counts)
        env = dict(os.environ, TESSAL_NOW=case["now"], QUILLONC_DOUBLE_CONFIG=case["market"], BENCH_DOUBLE_DIR=counts,
                   PYTHONPATH=os.pathsep.join([DOUBLES, os.path.join(DOUBLES, "namespace")]))
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", side, root, str(concurrency)],
                             env=env, capture_output=True, text=True)
        if out.returncode:
            sys.exit("%s run failed:\n%s%s" % (side, out.stdout, out.stderr))
        got = json.loads(out.stdout.strip().splitlines()[-1])
        for fn, want in (("get_price", case["prices"]), ("instruments", case["files"])):
            if got["calls"].get(fn, 0) != want:
                sys.exit("%s made %s %s calls in case %s, not %d: a process's double time went missing"
                         % (side, got["calls"].get(fn, 0), fn, case["name"], want))
        shutil.rmtree(counts)
        return got, root


def days_stored(store):
    """The number of trading days each minute-bar file of `store` holds, in file-name order."""
    import h5py
    out = []
    for name in sorted(glob.glob(os.path.join(store, "*", "*.h5"))):
        with h5py.File(name, "r") as f:
            out.append(f["index"].shape[0])
    return np.array(out)


def same_files(ours, peer):
    import h5py
    names = sorted(os.path.relpath(os.path.join(d, f), ours) for d, _s, fs in os.walk(ours) for f in fs)
    other = sorted(os.path.relpath(os.path.join(d, f), peer) for d, _s, fs in os.walk(peer) for f in fs)
    if names != other or not names:
        sys.exit("the two sides left different files: %s vs %s" % (names[:3], other[:3]))
    for name in names:
        with h5py.File(os.path.join(ours, name), "r") as a, h5py.File(os.path.join(peer, name), "r") as b:
            for key in ("data", "index"):
                x, y = a[key][()], b[key][()]
                if x.dtype != y.dtype or not np.array_equal(x, y):
                    sys.exit("%s: dataset %s differs between ours and the peer" % (name, key))
    return len(names)


def cli_part(binary, runs, tmp):
    spec = ("sim:stocks=%d,bjse=0,etfs=0,lofs=0,indexes=0,reits=0,convertibles=0,hk=0,futures=0,options=0,"
            "start=%d" % (FILES, history_start(NOW_BEFORE, STORED_DAYS)))

    def update(folder, now, j):
        t = time.perf_counter()
        out = subprocess.run([binary, "--service", spec, "update", folder, "--minbar", "stock", "-j", str(j), "--json"],
                             env=dict(os.environ, TESSAL_NOW=now), capture_output=True, text=True)
        wall = time.perf_counter() - t
        if out.returncode:
            sys.exit("tessal-bundle failed:\n" + out.stderr)
        report = json.loads(out.stdout[out.stdout.index("{"):])
        return wall, report["submitted"]

    template = os.path.join(tmp, "cli-template")
    update(template, NOW_BEFORE, 2)
    before = days_stored(os.path.join(template, "bundle", "h5"))
    print("\ncommand line, simulated market, %d stocks (+ the market's special ones), wall of the process per "
          "instrument:" % FILES)
    for j in (1, 2):
        append, rerun = [], []
        for r in range(runs):
            folder = os.path.join(tmp, "cli-%d-%d" % (j, r))
            shutil.copytree(template, folder)
            wall, n = update(folder, NOW_AFTER, j)
            append.append(1000 * wall / n)
            grown = days_stored(os.path.join(folder, "bundle", "h5")) - before
            if grown.max() != 1 or grown.min() < 0:
                sys.exit("the command line's update did not add one trading day")
            wall, n = update(folder, NOW_AFTER, j)
            rerun.append(1000 * wall / n)
            shutil.rmtree(folder)
        print("  -j %d  one-day append  min %6.3f  median %6.3f ms    up-to-date rerun  min %6.3f  median %6.3f ms"
              % (j, min(append), statistics.median(append), min(rerun), statistics.median(rerun)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--bin", default=os.path.join(HERE, "..", "build", "tessal-bundle"))
    ap.add_argument("--no-cli", action="store_true")
    ap.add_argument("--child", nargs=3, metavar=("SIDE", "ROOT", "J"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(args.child[0], args.child[1], int(args.child[2]))
    sys.path[:0] = [DOUBLES]
    ids = ["%06d.%s" % (n + i, x) for n, x in ((600100, "XSHG"), (1000, "XSHE")) for i in range(FILES // 2)]
    old = market_config(ids, history_start(NOW_BEFORE, STORED_DAYS))
    new = market_config(ids[:NEW_FILES], history_start(NOW_AFTER, NEW_DAYS))
    tmp = tempfile.mkdtemp(prefix="tb-bench-peer-")
    try:
        b = Bench(tmp)
        build = dict(name="template", market=old, now=NOW_BEFORE, prices=FILES, files=FILES)
        _, template = b.run("ours", None, build, 2)
        append = dict(name="a", market=old, now=NOW_AFTER, prices=FILES, files=FILES)
        current = dict(name="b", market=old, now=NOW_AFTER, prices=0, files=FILES)
        fresh = dict(name="c", market=new, now=NOW_AFTER, prices=NEW_FILES, files=NEW_FILES)
        _, ours_after = b.run("ours", template, append, 1)
        _, peer_after = b.run("peer", template, append, 1)
        checked = same_files(ours_after, peer_after)
        if set(days_stored(ours_after)) != {STORED_DAYS + 1}:
            sys.exit("the update did not add exactly one day to every file")
        checked += same_files(b.run("ours", None, fresh, 1)[1], b.run("peer", None, fresh, 1)[1])
        print("checked: %d files equal on both sides (data and index, values and dtypes)" % checked)
        cases = [("(a) append 1 day x %d files" % FILES, template, append, 1),
                 ("(a) append 1 day x %d files" % FILES, template, append, 2),
                 ("(b) up to date x %d files" % FILES, ours_after, current, 1),
                 ("(b) up to date x %d files" % FILES, ours_after, current, 2),
                 ("(c) new: %d files x %d days" % (NEW_FILES, NEW_DAYS), None, fresh, 1)]
        times = {(i, s): [] for i in range(len(cases)) for s in ("ours", "peer")}
        in_tasks = {(i, s): [] for i in range(len(cases)) for s in ("ours", "peer")}
        shares = {i: [] for i in range(len(cases))}
        for r in range(args.runs):
            for i, (_label, start, case, j) in enumerate(cases):
                for side in (("ours", "peer") if r % 2 == 0 else ("peer", "ours")):
                    got, root = b.run(side, start, case, j)
                    shutil.rmtree(root)
                    times[i, side].append(got["writer"])
                    in_tasks[i, side].append(got["in_tasks"])
                    shares[i].append(got["double"] / got["wall"])
        for title, figures in (("writer time (s) = wall - the service double's time", times),
                               ("time inside the writer's tasks (s), summed over them, less the double's", in_tasks)):
            print("\n%s; %d runs each, min / median" % (title, args.runs))
            print("%-32s %2s  %17s  %17s  %13s  %7s" % ("case", "j", "ours", "peer", "ours/peer", "double"))
            for i, (label, _start, _case, j) in enumerate(cases):
                o, p = figures[i, "ours"], figures[i, "peer"]
                print("%-32s %2d  %7.3f / %7.3f  %7.3f / %7.3f  %5.2f / %5.2f  %6.0f%%"
                      % (label, j, min(o), statistics.median(o), min(p), statistics.median(p), min(o) / min(p),
                         statistics.median(o) / statistics.median(p), 100 * statistics.median(shares[i])))
        # What each side's pool costs by itself, the floor under its writer
        # time: the same update, every task returning at once.
        floor = dict(name="pool", market=old, now=NOW_AFTER, prices=0, files=0)
        print("\nthe pools alone (s): %d tasks that return at once, writer time as above; %d runs, min / median"
              % (FILES, args.runs))
        def alone(side, j):
            got, root = b.run(side + "-noop", ours_after, floor, j)
            shutil.rmtree(root)
            return got["writer"]
        for j in (1, 2):
            got = {s: [alone(s, j) for _r in range(args.runs)] for s in ("ours", "peer")}
            print("  j %d  ours %7.3f / %7.3f  peer %7.3f / %7.3f" % (j, min(got["ours"]), statistics.median(got["ours"]),
                                                                   min(got["peer"]), statistics.median(got["peer"])))
        if not args.no_cli:
            cli_part(os.path.abspath(args.bin), args.runs, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
