#!/usr/bin/python3
"""Run an update on a nearly full file system, then check that nothing that
was there before is damaged, and that a rerun with room to spare gives the
same bundle as an uninterrupted update.

Needs root (it mounts a tmpfs). For every try:
  1. copy the cached start state into the tmpfs and fill the remaining room
     with a padding file, leaving between --min-free and --max-free MB (the
     tries spread over that range);
  2. run an update that needs more room than is left (exit status 1
     expected);
  3. check every file that existed before: byte-identical to before,
     contents-identical to before (every dataset, field and attribute), or
     fully updated (contents-identical to the reference); anything else is
     damage. Every file under a final name must open and read in full;
  4. delete the padding, rerun the update, and compare the bundle with the
     reference (an uninterrupted update of the same start state on the
     ordinary disk).
The tmpfs is unmounted at the end, whatever happens.

Exit status: 0 when no try shows damage and every rerun succeeded and
matched; 1 otherwise; 2 for a set-up failure.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kill_update as ku  # noqa: E402  (sets HDF5_PLUGIN_PATH before h5py)

import argparse  # noqa: E402
import json  # noqa: E402
import random  # noqa: E402
import shutil  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402

DEFAULT_MOUNT = "/tmp/tb-full"
DEFAULT_WORKDIR = "/tmp/tb-rel/disk-work"

# Small enough that the finished bundle fits a 20 MB tmpfs, while the update
# needs more room than the largest free space a try leaves.
SERVICE = "sim:seed=3,start=20240301,tick_start=20240603,stocks=6,futures=1,contracts=2,options=2"
DAY1 = "2024-06-03 18:00:00"
DAY2 = "2024-06-05 18:00:00"
PREPARE_ARGS = ["--base", "--minbar", "stock", "--tick", "stock"]
UPDATE_ARGS = ["--base", "--minbar", "all", "--tick", "stock,futures"]

MB = 1 << 20


def tree_bytes(root):
    total = 0
    for d, _, files in os.walk(root):
        for name in files:
            total += os.lstat(os.path.join(d, name)).st_blocks * 512
    return total


def free_bytes(path):
    s = os.statvfs(path)
    return s.f_bavail * s.f_frsize


def clear_folder(path):
    for name in os.listdir(path):
        p = os.path.join(path, name)
        if os.path.isdir(p) and not os.path.islink(p):
            shutil.rmtree(p)
        else:
            os.unlink(p)


def pad(path, size):
    """A file of `size` bytes of allocated room (the tmpfs pages are taken)."""
    fd = os.open(path, os.O_CREAT | os.O_WRONLY | os.O_TRUNC, 0o644)
    try:
        if size > 0:
            os.posix_fallocate(fd, 0, size)
    finally:
        os.close(fd)


def classify_before(start_root, ref_root, root, rel):
    """How a file that existed before the failed update looks after it:
    'bytes' (byte-identical to before), 'contents' (contents-identical to
    before), 'updated' (contents-identical to the reference) or a text that
    says what is wrong."""
    path = os.path.join(root, rel)
    if not os.path.exists(path):
        return "missing"
    if ku.digest(path) == ku.digest(os.path.join(start_root, rel)):
        return "bytes"
    _, problem = ku.compare_file(start_root, root, rel, check_bytes=False)
    if problem is None:
        return "contents"
    if problem.startswith("unreadable"):
        return problem
    if os.path.exists(os.path.join(ref_root, rel)):
        _, p2 = ku.compare_file(ref_root, root, rel)
        if p2 is None:
            return "updated"
    return "changed: " + problem


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tries", type=int, default=20, help="tries (20)")
    ap.add_argument("--seed", type=int, default=None, help="seed of the free-room targets (random)")
    ap.add_argument("--size-mb", type=int, default=20, help="tmpfs size in MB (20)")
    ap.add_argument("--min-free", type=float, default=0.3, help="least free room left, MB (0.3)")
    ap.add_argument("--max-free", type=float, default=8.0, help="most free room left, MB (8)")
    ap.add_argument("--max-seconds", type=float, default=900, help="time budget (900)")
    ap.add_argument("--mount", default=DEFAULT_MOUNT)
    ap.add_argument("--binary", default=ku.DEFAULT_BINARY)
    ap.add_argument("--workdir", default=DEFAULT_WORKDIR)
    ap.add_argument("--evidence", default=ku.DEFAULT_EVIDENCE)
    ap.add_argument("-j", "--jobs", type=int, default=2)
    args = ap.parse_args()

    def log(msg):
        print(msg, flush=True)

    if os.geteuid() != 0:
        log("needs root (mounts a tmpfs)")
        return 2
    t_begin = time.monotonic()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 31)
    log(f"seed {seed}; binary {args.binary}; service {SERVICE}")
    log(f"start state: update {' '.join(PREPARE_ARGS)} at {DAY1}; "
        f"tried update: {' '.join(UPDATE_ARGS)} -j {args.jobs} at {DAY2}; tmpfs {args.size_mb} MB at {args.mount}")

    # Start state and reference, on the ordinary disk.
    os.makedirs(args.workdir, exist_ok=True)
    start = os.path.join(args.workdir, "start")
    ref = os.path.join(args.workdir, "reference")
    for d in (start, ref):
        if os.path.exists(d):
            shutil.rmtree(d)
    rc, _ = ku.run_update(args.binary, start, DAY1, SERVICE, PREPARE_ARGS, args.jobs,
                          os.path.join(args.workdir, "start.log"))
    if rc != 0:
        log(f"preparing the start state failed with status {rc}")
        return 2
    ku.copy_tree(start, ref)
    rc, secs = ku.run_update(args.binary, ref, DAY2, SERVICE, UPDATE_ARGS, args.jobs,
                             os.path.join(args.workdir, "reference.log"))
    if rc != 0:
        log(f"the reference update failed with status {rc}")
        return 2
    start_root = os.path.join(start, "bundle")
    reference = ku.Reference(os.path.join(ref, "bundle"))
    start_files, _ = ku.list_bundle(start_root)
    start_size, ref_size = tree_bytes(start), tree_bytes(ref)
    log(f"start state {start_size / MB:.2f} MB in {len(start_files)} files; reference {ref_size / MB:.2f} MB "
        f"in {len(reference.files)} files (update {secs:.2f} s)")
    if ref_size - start_size <= args.max_free * MB:
        log(f"warning: the update needs only {(ref_size - start_size) / MB:.2f} MB; tries with more room "
            "may complete")

    mounted = False
    results = []
    stopped_early = False
    try:
        os.makedirs(args.mount, exist_ok=True)
        if os.path.ismount(args.mount):
            log(f"{args.mount} is already a mount point; refusing to use it")
            return 2
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={args.size_mb}m", "tmpfs", args.mount], check=True)
        mounted = True

        rng = random.Random(seed)
        span = (args.max_free - args.min_free) / max(args.tries, 1)
        for i in range(args.tries):
            elapsed = time.monotonic() - t_begin
            if elapsed + 30 > args.max_seconds:
                stopped_early = True
                log(f"time budget of {args.max_seconds:.0f} s reached after {elapsed:.0f} s; stopping")
                break
            target = (args.min_free + span * i + rng.uniform(0, span)) * MB
            clear_folder(args.mount)
            folder = os.path.join(args.mount, "b")
            subprocess.run(["cp", "-a", start, folder], check=True)
            root = os.path.join(folder, "bundle")
            padding = os.path.join(args.mount, "padding")
            pad(padding, max(0, free_bytes(args.mount) - int(target)))
            free_before = free_bytes(args.mount)
            logp = os.path.join(args.workdir, f"try{i}.log")
            if os.path.exists(logp):
                os.unlink(logp)

            rc1, _ = ku.run_update(args.binary, folder, DAY2, SERVICE, UPDATE_ARGS, args.jobs, logp)
            free_after = free_bytes(args.mount)
            # Files that existed before.
            kinds = {}
            for rel in start_files:
                kinds[rel] = classify_before(start_root, reference.root, root, rel)
            count = {k: sum(1 for v in kinds.values() if v == k) for k in ("bytes", "contents", "updated")}
            bad_before = {rel: v for rel, v in kinds.items() if v not in ("bytes", "contents", "updated")}
            # Every file under a final name must open and read.
            not_open, not_read = ku.unopenable(root)
            files_now, hidden_now = ku.list_bundle(root)
            new_files = [rel for rel in files_now if rel not in set(start_files)]
            new_incomplete = []
            for rel in new_files:
                if rel in reference.digest:
                    _, p = ku.compare_file(reference.root, root, rel)
                    if p is not None:
                        new_incomplete.append((rel, p))
                else:
                    new_incomplete.append((rel, "not in the reference"))

            os.unlink(padding)
            rc2, _ = ku.run_update(args.binary, folder, DAY2, SERVICE, UPDATE_ARGS, args.jobs, logp)
            c = ku.compare_bundle(reference, root)
            damaged_before = len(bad_before) + len(not_open) + len(not_read)
            damaged_after = len(c["damaged"]) + len(c["missing"])
            r = {"try": i, "free_target_mb": round(target / MB, 3), "free_before_mb": round(free_before / MB, 3),
                 "free_after_failed_run_mb": round(free_after / MB, 3), "status": rc1, "rerun_status": rc2,
                 "before_bytes": count["bytes"], "before_contents": count["contents"],
                 "before_updated": count["updated"], "before_damaged": len(bad_before),
                 "unopenable": len(not_open), "unreadable": len(not_read), "new_files": len(new_files),
                 "new_incomplete": len(new_incomplete), "hidden_after_failure": len(hidden_now),
                 "damaged_after_rerun": len(c["damaged"]), "missing_after_rerun": len(c["missing"]),
                 "extra_after_rerun": len(c["extra"]), "days_lost": c["days_lost"],
                 "leftovers": len(c["leftovers"]), "same_bytes": c["same_bytes"],
                 "same_contents": c["same_contents"],
                 "details": {"before": bad_before, "unopenable": not_open, "unreadable": not_read,
                             "new_incomplete": new_incomplete, "hidden_after_failure": hidden_now,
                             "after_rerun": {k: c[k] for k in ("damaged", "missing", "extra", "lost_days",
                                                               "leftovers")}}}
            results.append(r)
            log(f"try {i:2d}: free {free_before / MB:5.2f} MB -> {free_after / MB:5.2f} MB; status {rc1}; "
                f"before-files {count['bytes']} same bytes, {count['contents']} same contents, "
                f"{count['updated']} fully updated, {len(bad_before)} damaged; "
                f"{len(not_open)} unopenable, {len(not_read)} unreadable; {len(new_files)} new files "
                f"({len(new_incomplete)} incomplete); {len(hidden_now)} hidden left | rerun status {rc2}: "
                f"damaged {len(c['damaged'])} missing {len(c['missing'])} extra {len(c['extra'])} "
                f"days lost {c['days_lost']} leftovers {len(c['leftovers'])} "
                f"(same bytes {c['same_bytes']}, same contents {c['same_contents']})")
            for rel, v in bad_before.items():
                log(f"    BEFORE-FILE {rel}: {v}")
            for rel, why in not_open + not_read:
                log(f"    UNREADABLE {rel}: {why}")
            for rel, why in new_incomplete:
                log(f"    NEW FILE NOT COMPLETE {rel}: {why}")
            ku.log_comparison(dict(c, extra=(), lost_days=()), log, "AFTER RERUN ")
            bad = (damaged_before or damaged_after or new_incomplete or c["days_lost"] or c["leftovers"]
                   or c["extra"] or rc2 != 0)
            if bad:
                dest = os.path.join(args.evidence, f"diskfull-try{i}-seed{seed}")
                if os.path.exists(dest):
                    shutil.rmtree(dest)
                os.makedirs(args.evidence, exist_ok=True)
                subprocess.run(["cp", "-a", folder, dest], check=True)
                shutil.copy(logp, os.path.join(dest, "update.log"))
                with open(os.path.join(dest, "try.json"), "w") as f:
                    json.dump(r, f, indent=1)
                log(f"    kept in {dest}")
    finally:
        if mounted:
            if subprocess.run(["umount", args.mount]).returncode != 0:
                time.sleep(1)
                subprocess.run(["umount", "-l", args.mount])
            log(f"unmounted {args.mount}" if not os.path.ismount(args.mount) else f"{args.mount} STILL MOUNTED")

    with open(os.path.join(args.workdir, "results.json"), "w") as f:
        json.dump({"seed": seed, "results": results}, f, indent=1)

    log("")
    log(f"summary (seed {seed}, tmpfs {args.size_mb} MB, {time.monotonic() - t_begin:.0f} s in all"
        f"{', stopped by the time budget' if stopped_early else ''})")
    rs = results

    def statuses(key):
        out = {}
        for r in rs:
            out[r[key]] = out.get(r[key], 0) + 1
        return ", ".join(f"{k}: {v}" for k, v in sorted(out.items())) or "-"

    frees = [r["free_before_mb"] for r in rs]
    rows = [
        ("tries", len(rs)),
        ("free room left, MB", f"{min(frees):.2f} .. {max(frees):.2f}" if frees else "-"),
        ("exit statuses of the full-disk update", statuses("status")),
        ("pre-existing files byte-identical (sum)", sum(r["before_bytes"] for r in rs)),
        ("pre-existing files contents-identical only (sum)", sum(r["before_contents"] for r in rs)),
        ("pre-existing files fully updated (sum)", sum(r["before_updated"] for r in rs)),
        ("files damaged before the rerun", sum(r["before_damaged"] + r["unopenable"] + r["unreadable"]
                                              for r in rs)),
        ("new files not complete before the rerun", sum(r["new_incomplete"] for r in rs)),
        ("tries with hidden files left by the full-disk update", sum(r["hidden_after_failure"] > 0 for r in rs)),
        ("exit statuses of the rerun", statuses("rerun_status")),
        ("files damaged after the rerun", sum(r["damaged_after_rerun"] for r in rs)),
        ("files missing after the rerun", sum(r["missing_after_rerun"] for r in rs)),
        ("days lost after the rerun", sum(r["days_lost"] for r in rs)),
        ("leftovers after the rerun", sum(r["leftovers"] for r in rs)),
        ("tries equal to the reference after the rerun",
         sum(r["damaged_after_rerun"] == 0 and r["missing_after_rerun"] == 0 and r["extra_after_rerun"] == 0
             for r in rs)),
    ]
    w = max(len(k) for k, _ in rows)
    for k, v in rows:
        log(f"{k.ljust(w)} | {v}")
    bad = any(r["before_damaged"] or r["unopenable"] or r["unreadable"] or r["new_incomplete"]
              or r["damaged_after_rerun"] or r["missing_after_rerun"] or r["extra_after_rerun"]
              or r["days_lost"] or r["leftovers"] or r["rerun_status"] != 0 for r in rs)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
