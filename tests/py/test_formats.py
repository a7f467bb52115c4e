"""The files we write, read by the host's Python readers (h5py, numpy,
pickle), and a tick file written by h5py read by our code."""
import glob
import os
import pickle
import subprocess
import sys

import h5py
import hdf5plugin
import numpy as np

PLUGIN_DIR = next(iter(glob.glob("/usr/lib/*/hdf5/serial/plugins")), "")

EQUITIES = [("datetime", "<i8", 0), ("open", "<f8", 8), ("high", "<f8", 16), ("low", "<f8", 24),
            ("close", "<f8", 32), ("volume", "<f8", 40), ("total_turnover", "<f8", 48)]
DERIVATIVES = [("datetime", "<i8", 0), ("open", "<f8", 8), ("high", "<f8", 16), ("low", "<f8", 24),
               ("close", "<f8", 32), ("open_interest", "<i8", 40), ("volume", "<f8", 48),
               ("total_turnover", "<f8", 56)]
INDEX = [("date", "<i4", 0), ("line_no", "<u4", 4)]


def layout(dtype):
    return [(name, dtype.fields[name][0].str, dtype.fields[name][1]) for name in dtype.names]


def test_minute_files_have_the_agreed_layout_and_storage(cli):
    data = str(cli.tmp / "data")
    cli.run("update", data, "--minbar", "600000.XSHG,AU", "-j", "2")
    for folder, expected, size in (("equities", EQUITIES, 56), ("future", DERIVATIVES, 64)):
        folder_path = os.path.join(data, "bundle", "h5", folder)
        names = os.listdir(folder_path)
        assert names
        for name in names:
            with h5py.File(os.path.join(folder_path, name), "r") as f:
                assert sorted(f.keys()) == ["data", "index"]
                assert len(f.attrs) == 0
                for ds, exp, itemsize in ((f["data"], expected, size), (f["index"], INDEX, 8)):
                    assert layout(ds.dtype) == exp
                    assert ds.dtype.itemsize == itemsize
                    assert ds.compression == "gzip" and ds.compression_opts == 9
                    assert not ds.shuffle
                    assert ds.chunks is not None
                    assert ds.maxshape == (None,)
                    assert len(ds.attrs) == 0
                index, dt = f["index"][:], f["data"]["datetime"]
                assert index["line_no"][0] == 0
                assert np.all(np.diff(index["line_no"].astype(np.int64)) > 0)
                if folder == "equities":
                    assert np.all(dt[index["line_no"]] == index["date"].astype(np.int64) * 1000000 + 93100)


def tick_filter(ds):
    plist = ds.id.get_create_plist()
    return [plist.get_filter(i) for i in range(plist.get_nfilters())]


def test_tick_files_decode_through_hdf5plugin_and_the_debian_plugin(cli):
    data = str(cli.tmp / "data")
    cli.run("update", data, "--tick", "600000.XSHG,AU", "-j", "2")
    ticks = os.path.join(data, "bundle", "ticks")
    files = sorted(os.listdir(ticks))
    assert len(files) >= 2
    seen_days = 0
    for name in files:
        with h5py.File(os.path.join(ticks, name), "r") as f:
            for day in f:
                assert len(day) == 8 and day.isdigit()
                ds = f[day]
                assert ds.dtype.itemsize == 256
                assert ds.dtype.names[:4] == ("date", "time", "open", "last")
                if ds.shape[0] == 0:
                    assert tick_filter(ds) == []  # suspension marker
                    continue
                seen_days += 1
                (code, _flags, values, _name), = tick_filter(ds)
                assert code == 32001
                assert tuple(values[4:7]) == (9, 1, 1)  # level 9, byte shuffle, LZ4
                rows = ds[:]
                assert np.all(rows["time"] >= 0) and np.all(rows["last"] > 0)
    assert seen_days > 0
    # The same values through Debian's plugin, without hdf5plugin.
    script = (
        "import h5py, sys\n"
        "f = h5py.File(sys.argv[1], 'r')\n"
        "print(sum(int(f[d]['last'].sum()) for d in f))\n"
    )
    path = os.path.join(ticks, files[0])
    env = dict(os.environ, HDF5_PLUGIN_PATH=PLUGIN_DIR)
    debian = subprocess.run([sys.executable, "-c", script, path], capture_output=True, env=env, check=True)
    with h5py.File(path, "r") as f:
        assert int(debian.stdout) == sum(int(f[d]["last"].sum()) for d in f)


def test_tick_file_written_by_h5py_is_read_by_our_check_and_writer(cli):
    data = cli.tmp / "data"
    cli.run("update", str(data), "--base")
    ticks = data / "bundle" / "ticks"
    ticks.mkdir()
    # Take our own layout from a file we wrote, then write with h5py.
    cli.run("update", str(cli.tmp / "ref"), "--tick", "600000.XSHG")
    with h5py.File(cli.tmp / "ref" / "bundle" / "ticks" / "600000.XSHG.h5", "r") as f:
        day = sorted(d for d in f if f[d].shape[0])[0]
        rows = f[day][:]
    path = ticks / "600000.XSHG.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset(day, data=rows, **hdf5plugin.Blosc(cname="lz4", clevel=9, shuffle=hdf5plugin.Blosc.SHUFFLE))
    check = cli.run("check-tick", str(data), input="no\n")
    assert "检测完成：tick数据质量良好！" in check.out
    # The writer continues the file from its latest day and h5py reads all.
    cli.run("update", str(data), "--tick", "600000.XSHG")
    with h5py.File(path, "r") as f:
        days = sorted(f)
        assert days[0] == day and len(days) > 1
        assert np.array_equal(f[day][:], rows)


def test_base_files_load_in_numpy_h5py_and_pickle(cli):
    data = cli.tmp / "data"
    cli.run("update", str(data), "--base", "--enable-bjse")
    bundle = data / "bundle"
    dates = np.load(bundle / "trading_dates.npy")
    assert dates.dtype == np.dtype("<i8") and dates.ndim == 1
    assert dates[0] == 20050104 and dates[-1] == 20240607 and np.all(np.diff(dates) > 0)
    with open(bundle / "instruments.pk", "rb") as f:
        instruments = pickle.load(f)
    assert all({"order_book_id", "type", "exchange", "de_listed_date"} <= set(i) for i in instruments)
    assert any(i["exchange"] == "BJSE" for i in instruments)
    with h5py.File(bundle / "suspended_days.h5", "r") as f:
        assert len(f) > 0
        for name in f:
            days = f[name][:]
            assert days.dtype.kind == "i" and np.all(days >= 20050104)
