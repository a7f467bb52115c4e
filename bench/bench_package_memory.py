"""The package in a long-lived Python host: update_minbar called N times
(1000) on an up-to-date store, with the test doubles of the host and the
service client. Prints the resident memory after the first 100 calls and
after all of them; the second must not grow with the number of calls.

Run with the package installed (scripts/test-python builds build/venv):
    build/venv/bin/python bench/bench_package_memory.py [N]
"""
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DOUBLES = os.path.join(HERE, "..", "tests", "py", "doubles")
sys.path[:0] = [DOUBLES, os.path.join(DOUBLES, "namespace")]
os.environ.setdefault("TESSAL_NOW", "2024-06-07 18:00:00")
os.environ.setdefault("QUILLONC_DOUBLE_CONFIG", '{"bars_per_day": 8, "tick_interval": 1200}')


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    import io
    import contextlib
    import tessal_plus.bundle as tb
    # The doubles keep every call they saw, for the tests to inspect: that
    # memory is theirs, not the package's, and is dropped after each call.
    from quillonc import _record
    from tessal import _double
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "h5")
        quiet = io.StringIO()
        with contextlib.redirect_stdout(quiet):
            assert tb.update_minbar(path, ["000001.XSHE"], False, 1)
            marks = {}
            start = time.perf_counter()
            for n in range(1, calls + 1):
                assert tb.update_minbar(path, ["000001.XSHE"], False, 1)
                quiet.seek(0)
                quiet.truncate()
                _record.CALLS.clear()
                _double.ENTRIES.clear()
                if n in (100, calls):
                    marks[n] = rss_mb()
            took = time.perf_counter() - start
    print(f"update_minbar x{calls} on an up-to-date store: {took / calls * 1000:.1f} ms per call; "
          f"RSS after 100 calls {marks[100]:.1f} MB, after {calls} {marks[calls]:.1f} MB "
          f"(growth {marks[calls] - marks[100]:+.2f} MB)")


if __name__ == "__main__":
    main()
