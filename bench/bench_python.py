"""The Python package against the command line on the same Python service client.

Runs one update of the same instruments through `tessal_plus.bundle` (the
host's pool) and through `tessal-bundle --service python:quillonc` (our pool),
at the same concurrency, then an up-to-date rerun of each, and prints the
times, their ratio and the cost per instrument of the rerun.

    build/venv/bin/python bench/bench_python.py [--bin build/tessal-bundle] [-j 2] [--bars 240]

It uses the test doubles of the host and the client (tests/py/doubles); run
scripts/test-python once first so build/venv holds the installed package.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DOUBLES = os.path.join(HERE, "..", "tests", "py", "doubles")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", default=os.path.join(HERE, "..", "build", "tessal-bundle"))
    ap.add_argument("-j", type=int, default=2)
    ap.add_argument("--bars", type=int, default=240)
    args = ap.parse_args()
    env = dict(os.environ, TESSAL_NOW="2024-06-07 18:00:00", TESSAL_DOUBLE_TICK_LAYOUT="full",
               QUILLONC_DOUBLE_CONFIG=f'{{"bars_per_day": {args.bars}, "tick_interval": 60}}',
               PYTHONPATH=os.pathsep.join([DOUBLES, os.path.join(DOUBLES, "namespace")]))
    tmp = tempfile.mkdtemp(prefix="tb-bench-py-")
    code = ("import sys, tessal_plus.bundle as tb\n"
            "ok = tb.update_bundle_from_quillonc(int(sys.argv[2]), sys.argv[1], False, ['all'], ['futures'], False)\n"
            "sys.exit(0 if ok else 1)")

    def python(folder):
        t = time.perf_counter()
        subprocess.run([sys.executable, "-c", code, folder, str(args.j)], env=env, check=True, capture_output=True)
        return time.perf_counter() - t

    def cli(folder):
        t = time.perf_counter()
        subprocess.run([args.bin, "--service", "python:quillonc", "update", folder, "--minbar", "all", "--tick",
                        "futures", "-j", str(args.j)], env=env, check=True, capture_output=True)
        return time.perf_counter() - t

    try:
        py_first, cli_first = python(os.path.join(tmp, "py")), cli(os.path.join(tmp, "cli"))
        py_again, cli_again = python(os.path.join(tmp, "py")), cli(os.path.join(tmp, "cli"))
        files = sum(len(fs) for _d, _s, fs in os.walk(os.path.join(tmp, "py", "bundle")))
        print(f"instruments' files: {files}, concurrency {args.j}, {args.bars} bars a day")
        print(f"full update:        package {py_first:7.2f} s   command line {cli_first:7.2f} s   "
              f"ratio {py_first / cli_first:5.2f}")
        print(f"up-to-date rerun:   package {py_again:7.2f} s   command line {cli_again:7.2f} s   "
              f"ratio {py_again / cli_again:5.2f}")
        print(f"rerun per file:     package {1000 * py_again / files:7.1f} ms  command line {1000 * cli_again / files:7.1f} ms")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
