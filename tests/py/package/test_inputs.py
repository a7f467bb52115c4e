"""What a Python host hands the package is taken as the host's own Python
code takes it: pandas and numpy columns of tags, service tables of any
numeric dtype and time unit, the instrument list as Python's pickle reads
it, h5py keywords beside the Blosc settings, days as the service's texts,
paths that are not UTF-8."""
import datetime
import io
import os
import pickle
import sys

import h5py
import numpy as np
import pandas as pd
import pytest
import quillonc

import tessal_plus.bundle as tb
from tessal_plus.bundle import _adapters

ID = "600000.XSHG"


@pytest.fixture
def minute_answer(world):
    return quillonc.get_price(ID, 20240603, 20240603, frequency="1m", adjust_type="none", expect_df=True)


def columns_of(answer):
    return dict(_adapters.price_table(answer)[2])


def test_the_smart_update_reads_the_instrument_list_with_pythons_pickle(bundle, world, capfd):
    base = os.path.join(bundle, "bundle")
    os.makedirs(base)
    records = [
        {"order_book_id": np.str_(ID), "exchange": "XSHG", "listed_date": pd.Timestamp("1999-11-10"),
         "round_lot": np.float64(100)},
        {"order_book_id": "430047.BJSE", "exchange": "BJSE", "listed_date": datetime.date(2020, 7, 27),
         "de_listed_date": None},
    ]
    with open(os.path.join(base, "instruments.pk"), "wb") as f:
        pickle.dump(records, f, protocol=0)
    assert tb.update_bundle_from_exist_file(1, bundle) is True
    [daybar] = world.host_calls(fn="update_bundle")
    assert daybar["kwargs"]["enable_bjse"] is True
    capfd.readouterr()


@pytest.mark.parametrize("column", [pd.Series, pd.Index, np.array])
def test_tags_may_be_any_iterable_of_texts(column, bundle, capfd):
    ids = [ID, "000001.XSHE"]
    assert tb._merge_tags(column(ids), False) == set(ids)
    none = column([], dtype=str)
    assert tb.update_bundle_from_quillonc(1, bundle, False, none, none, False) is True
    capfd.readouterr()


def test_service_columns_of_object_or_nullable_dtype_arrive_as_numbers(minute_answer):
    expected = columns_of(minute_answer)
    answer = minute_answer.astype({"close": object, "volume": "Int64"})
    answer.iloc[0, answer.columns.get_loc("volume")] = pd.NA
    answer["symbol"] = "浦发银行"  # texts: no column of numbers, left out as before
    got = columns_of(answer)
    assert np.isnan(got["volume"][0])
    got["volume"][0] = expected["volume"][0]
    assert got.keys() == expected.keys()
    for name, values in expected.items():
        np.testing.assert_array_equal(got[name], values, err_msg=name)


def test_a_column_of_numbers_and_texts_is_named_with_its_dtype(minute_answer):
    answer = minute_answer.astype({"close": object})
    answer.iloc[0, answer.columns.get_loc("close")] = "n/a"
    with pytest.raises(ValueError, match="'close' .*object"):
        _adapters.price_table(answer)


def test_the_tick_check_asks_the_service_for_a_stored_day_as_its_text(bundle, world, monkeypatch, capfd):
    assert tb.update_bundle_from_quillonc(1, bundle, True, [], [ID], False)
    with h5py.File(os.path.join(bundle, "bundle", "ticks", ID + ".h5"), "r+") as f:
        day, last = sorted(f)[-2:]
        del f[day]
    world.clear(os.environ["QUILLONC_DOUBLE_LOG"])
    monkeypatch.setattr(sys, "stdin", io.StringIO("no\n"))
    tb.check_tick_data(bundle)
    asked = [c["args"] for c in world.service_calls(fn="get_price") if c["kwargs"].get("frequency") == "tick"]
    assert asked == [[ID, day, day]]
    # The tick writer continues a file from its last stored day, as text too.
    world.clear(os.environ["QUILLONC_DOUBLE_LOG"])
    tb._append_h5_tick(ID, os.path.join(bundle, "bundle", "ticks"))
    day_bars = [c["args"] for c in world.service_calls(fn="get_price") if "frequency" not in c["kwargs"]]
    assert [a[1] for a in day_bars] == [last]
    capfd.readouterr()


def test_the_hosts_blosc_keywords_may_carry_other_h5py_keywords():
    with_others = dict(tb.COMPRESSION_KWARGS, chunks=True, shuffle=True)
    assert _adapters.blosc_filter(with_others) == _adapters.blosc_filter(tb.COMPRESSION_KWARGS)


def test_time_stamps_of_any_unit_arrive_as_microseconds():
    texts = ["1999-11-10 09:31:00", "2024-06-03 15:00:00"]
    expected = [pd.Timestamp(t).value // 1000 for t in texts]
    for unit in ("s", "ms", "us", "ns"):
        # An index of that unit where pandas keeps one (pandas 2), else of nanoseconds.
        index = pd.Index(np.array(texts, dtype=f"datetime64[{unit}]"))
        assert list(_adapters._microseconds(index)) == expected, unit


@pytest.mark.parametrize("concurrency", ["2", 1.7])
def test_the_full_updates_concurrency_is_enforced(concurrency, bundle, capfd):
    with pytest.raises(TypeError, match='"concurrency"'):
        tb.update_bundle_from_quillonc(concurrency, bundle, False, [ID], [], False)
    assert capfd.readouterr().out == ""


def test_paths_that_are_not_utf8_are_taken_as_os_fsencode_takes_them(tmp_path, world, monkeypatch, capfd):
    for log in ("TESSAL_DOUBLE_LOG", "QUILLONC_DOUBLE_LOG"):
        monkeypatch.delenv(log)  # JSON lines of UTF-8 cannot hold such a path
    root = os.path.join(str(tmp_path), os.fsdecode(b"data-\xff"))
    assert tb.update_bundle_from_quillonc(1, root, True, [ID], [], False) is True
    tb.check_min_bar_data(os.fsencode(root))
    assert "数据质量良好" in capfd.readouterr().out
    path = os.path.join(root, "bundle", "h5", "equities", ID + ".h5")
    tb.remove_h5(path)
    assert not os.path.exists(path)
    with pytest.raises(IsADirectoryError) as e:
        tb.remove_h5(root)
    assert root in str(e.value)
    capfd.readouterr()
