"""What the host describes is what the files hold: a tick layout of any
little-endian numeric kinds, and the host's own date and time numbers when
they differ from the module's. Each case imports the package afresh in a
child process, with the host's data module changed before the import."""
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(__file__)
DOUBLES = os.path.join(HERE, "..", "doubles")

PRELUDE = """
import os, sys
sys.path[:0] = [{doubles!r}, os.path.join({doubles!r}, {flavour!r})]
import numpy as np
from tessal_mod_palomar_data.data_sources import data_store as ds
"""

NARROW = """
ds.H5TicksLoader.FIELDS = [("date", "<i4", 1), ("time", "<i4", 1), ("last", "<f4", 1), ("a1_v", "<i2", 1),
                           ("high", "u1", 1)]
ds.H5TicksLoader.COLUMNS = [f[0] for f in ds.H5TicksLoader.FIELDS]
ds.H5TicksLoader.DTYPES = np.dtype([f[:2] for f in ds.H5TicksLoader.FIELDS])
ds.time_to_number = lambda dt: dt.hour * 10000 + dt.minute * 100 + dt.second  # seconds, not milliseconds
import h5py, quillonc, tessal_plus.bundle as tb
folder = sys.argv[1]
tb._append_h5_tick("600000.XSHG", folder, None, 20240603)
with h5py.File(os.path.join(folder, "600000.XSHG.h5"), "r") as f:
    day = f["20240604"][:]
ticks = quillonc.get_price("600000.XSHG", 20240604, 20240604, frequency="tick", expect_df=True)
assert day.dtype == ds.H5TicksLoader.DTYPES, day.dtype
assert list(day["time"]) == [ds.time_to_number(t) for t in ticks.index.get_level_values(-1)], day["time"][:3]
assert np.array_equal(day["last"], ticks["last"].to_numpy(np.float32))
assert np.array_equal(day["a1_v"], ticks["a1_v"].to_numpy().astype("<i2"))
assert np.array_equal(day["high"], np.floor(ticks["high"].to_numpy() + 0.5).astype("u1"))  # rounded half away
print("stored as described")
"""

# Only the host's bar time differs (a bar stamped at its opening minute):
# the files carry the host's numbers all the same.
OPENING_MINUTE = """
import datetime, h5py, quillonc
from tessal.utils import datetime_func
datetime_func.convert_dt_to_int = lambda dt: int((dt - datetime.timedelta(minutes=1)).strftime("%Y%m%d%H%M%S"))
import tessal_plus.bundle as tb
tb._append_h5("600000.XSHG", sys.argv[1], None, 20240603)
with h5py.File(os.path.join(sys.argv[1], "equities", "600000.XSHG.h5"), "r") as f:
    stored = f["data"]["datetime"]
bars = quillonc.get_price("600000.XSHG", 20240603, 20240607, frequency="1m", expect_df=True)
assert list(stored) == [datetime_func.convert_dt_to_int(t) for t in bars.index.get_level_values(-1)], stored[:3]
print("stored as described")
"""

BIG_ENDIAN = """
ds.H5TicksLoader.DTYPES = np.dtype([(f[0], ">" + np.dtype(f[1]).str[1:]) for f in ds.H5TicksLoader.FIELDS])
try:
    import tessal_plus.bundle
except ValueError as e:
    print("refused:", e)
"""


def run_child(body, tmp_path):
    code = PRELUDE.format(doubles=DOUBLES, flavour=os.environ.get("TB_TESSAL_PLUS", "namespace")) + body
    env = dict(os.environ, TESSAL_NOW="2024-06-07 18:00:00", TESSAL_DOUBLE_LOG=str(tmp_path / "host.jsonl"),
               QUILLONC_DOUBLE_CONFIG='{"bars_per_day": 8, "tick_interval": 1200}')
    p = subprocess.run([sys.executable, "-c", code, str(tmp_path / "ticks")], capture_output=True, text=True,
                       timeout=120, env=env)
    return p.stdout + p.stderr


@pytest.mark.parametrize("host", [NARROW, OPENING_MINUTE], ids=["narrow_ticks", "opening_minute_bars"])
def test_narrow_kinds_and_the_hosts_time_numbers_are_stored_as_the_host_describes_them(host, tmp_path):
    out = run_child(host, tmp_path)
    assert "stored as described" in out, out


def test_a_layout_that_cannot_be_stored_is_refused_once_at_import(tmp_path):
    out = run_child(BIG_ENDIAN, tmp_path)
    assert "refused:" in out and "little-endian" in out, out
