"""Keeps the minute-bar and tick stores of a market-data bundle.

The operations run in the C++ core (`_core`); this file gives them their
public names, parameters and defaults, checks the argument types the
operations have always enforced, and imports the host's and the service
client's modules, which the core uses through `_adapters`.
"""
import os
import sys

import numpy as np

# The outside components. A missing one fails the import with its own
# ImportError.
import quillonc  # noqa: F401
from quillonc import client as _quillonc_client  # noqa: F401
from quillonc.share.errors import PermissionDenied  # noqa: F401
from tessal.data.bundle import update_bundle as update_daybar  # noqa: F401
from tessal.data.bundle import ProgressedProcessPoolExecutor, process_init  # noqa: F401
from tessal.cmds.bundle import download  # noqa: F401
from tessal.const import INSTRUMENT_TYPE  # noqa: F401
from tessal.utils.datetime_func import convert_dt_to_int, datetime  # noqa: F401
from tessal.utils.logger import system_log  # noqa: F401
from tessal_mod_palomar_data.data_sources.data_store import H5TicksLoader, date_to_number, time_to_number  # noqa: F401
from tessal_plus.utils.scripts import get_h5_mode  # noqa: F401
from tessal_plus.utils import blosc_opts  # noqa: F401

from . import _adapters, _core

# The record layouts, the tag table and the limits, as the core writes and
# reads them. The host's INSTRUMENT_TYPE values are the same texts.
EQUITIES_DTYPE = np.dtype(_core._EQUITIES_FIELDS)
DERIVATIVES_DTYPE = np.dtype(_core._DERIVATIVES_FIELDS)
INDEX_DTYPE = np.dtype(_core._INDEX_FIELDS)
TAG_MAP = dict(_core._TAG_MAP)
EQUITIES_INS_TYPE = list(_core._EQUITIES_INS_TYPE)
MIN_START_DATE = _core._MIN_START_DATE
MAX_END_DATE = _core._MAX_END_DATE
REBUILD_COMFIRM_RETRY_TIMES = _core._REBUILD_COMFIRM_RETRY_TIMES
TICK_DATE_CHUNK_SIZE = _core._TICK_DATE_CHUNK_SIZE
# blosc_opts(9, "blosc:lz4") of the host, called once, here: a failure fails
# the import. The core applies the same settings to every tick dataset.
COMPRESSION_KWARGS = _core._load()


def _check(name, value, expected, label):
    if not isinstance(value, expected):
        raise TypeError(f'type of argument "{name}" must be {label}; got {type(value).__module__}.'
                        f'{type(value).__qualname__} instead'.replace("builtins.", ""))


def _check_texts(name, value):
    _check(name, value, list, "a list")
    for i, item in enumerate(value):
        if not isinstance(item, str):
            raise TypeError(f'type of {name}[{i}] must be str; got {type(item).__qualname__} instead')


def _flushed():
    # The core's progress bars go to C's stderr, and its pools fork this
    # process (a forked child would write Python's buffers again): Python's
    # buffered text goes first.
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (AttributeError, ValueError):
            pass


def _texts(tags):
    # Any iterable of texts: a list, a tuple, a pandas column or index, a
    # numpy array. Never asked for its truth value, which pandas and numpy
    # refuse to give for more than one element.
    return [] if tags is None else [str(t) for t in tags]


def _fs(path):
    # A path as the core takes it: the bytes of os.fsencode, so that a name
    # that is not UTF-8 (bytes, or a str with surrogates from os.fsdecode)
    # reaches the file system unchanged.
    return os.fsencode(path)


def _switch_of_bjse(tag):
    _flushed()
    _core._switch_of_bjse(bool(tag))


def _init_quillon(enable_bjse=False):
    _flushed()
    _core._init_quillon(bool(enable_bjse))


def _merge_tags(tags, with_derivatives, enable_bjse=False):
    _flushed()
    return _core._merge_tags(_texts(tags), bool(with_derivatives), bool(enable_bjse))


def deal_with_check_result(error_file_path_list, blocking_or_permision_error, frequency):
    _check_texts("error_file_path_list", error_file_path_list)
    _check_texts("blocking_or_permision_error", blocking_or_permision_error)
    _check("frequency", frequency, str, "str")
    _flushed()
    _core.deal_with_check_result(error_file_path_list, blocking_or_permision_error, frequency)


def _thresholds(thresholds):
    # The content rules' thresholds: None (the defaults), a mapping or the
    # command line's "key=value,..." text.
    if thresholds is None:
        return ""
    if isinstance(thresholds, str):
        return thresholds
    return ",".join(f"{k}={v}" for k, v in dict(thresholds).items())


def _check_options(concurrency, quality, heal, thresholds, verify, verify_seed, **more):
    # The checks' options as the core reads them: one mapping by name.
    if int(verify) < 0:
        raise ValueError(f"verify must be 0 or more, got {verify}")
    return dict(concurrency=int(concurrency), quality=bool(quality), heal=bool(heal), thresholds=_thresholds(thresholds),
                verify=int(verify), verify_seed=None if verify_seed is None else int(verify_seed), **more)


def check_min_bar_data(data_bundle_path, *, concurrency=1, quality=False, heal=False, thresholds=None, verify=0,
                       verify_seed=None):
    """quality: also read every value and report what the content rules find
    (reported, never deleted). heal: refill broken files (and, with quality,
    files with findings) from the service instead of asking to delete them.
    concurrency > 1 forks checking processes: the host decides whether its
    process may fork (threads of its own would not survive it).

    Returns what the check found and did: a dict with "files" (a count),
    "broken", "held" and "unchecked" (paths; unchecked: files whose checking
    process was killed twice, never judged), "deleted", "findings" ({path:
    [(rule, first, count)]})
    and "heals" ({path: (outcome, message)}, outcome "healed", "source" or
    "failed").

    verify=N: N stored days of every file (the newest and N-1 drawn by
    verify_seed, a fresh one when None) are fetched again from the service
    and compared value for value; the summary adds "verify_seed",
    "verified_days" ({path: [YYYYMMDD, ...]}) and "not_verified" ({path:
    why}: files the service would not answer for),
    and the findings differs_from_service (the first differing field as a
    fourth element), missing_at_service and extra_at_service."""
    _flushed()
    return _core.check_min_bar_data(_fs(data_bundle_path), _check_options(concurrency, quality, heal, thresholds, verify, verify_seed))


def check_tick_data(data_bundle_path, *, deep=False, concurrency=1, quality=False, heal=False, thresholds=None, verify=0,
                    verify_seed=None):
    """As check_min_bar_data, for the tick store; deep reads every tick."""
    _flushed()
    return _core.check_tick_data(_fs(data_bundle_path), _check_options(concurrency, quality, heal, thresholds, verify, verify_seed,
                                                                     deep=bool(deep)))


def write_health_page(data_bundle_path, html_path, check_json=None):
    """Writes the bundle's health page (one self-contained HTML file, as
    `tessal-bundle status --html` writes it) to `html_path`; `check_json`:
    the document of a check run with --json, whose broken files, content
    findings and heal outcomes are marked on the page."""
    _core.write_health_page(_fs(data_bundle_path), _fs(html_path), b"" if check_json is None else _fs(check_json))


def _get_end_date():
    return _core._get_end_date()


def remove_h5(h5_file):
    _check("h5_file", h5_file, str, "str")
    _core.remove_h5(_fs(h5_file))


def _append_h5(order_book_id, path, file_name=None, min_start_date=MIN_START_DATE, rebuild=False):
    _check("order_book_id", order_book_id, str, "str")
    _check("path", path, str, "str")
    if file_name is not None:
        _check("file_name", file_name, str, "one of (str, NoneType)")
    _check("min_start_date", min_start_date, int, "int")
    _flushed()
    _core._append_h5(order_book_id, _fs(path), None if file_name is None else _fs(file_name), min_start_date,
                     bool(rebuild))


def _append_h5_tick(order_book_id, path, file_name=None, min_start_date=MIN_START_DATE, rebuild=False):
    """更新tick级h5文件"""
    _flushed()
    _core._append_h5_tick(str(order_book_id), _fs(path), None if file_name is None else _fs(str(file_name)),
                          int(min_start_date), bool(rebuild))


def _task_on_executor(task):
    """A pool task run by an executor the caller handed in: the worker gets a
    run flag of its own (it shares no memory with the driver); the task's
    outcome goes back to the driver as the result."""
    import multiprocessing
    import tessal.data.bundle as host
    host.process_init(multiprocessing.Value("b", True))
    return task()


def update_minbar(path, tags, with_derivatives, concurrency, rebuild=False, enable_bjse=False, *, executor=None):
    """executor: any concurrent.futures executor (a Dask cluster's, say) to
    run the writers instead of the host's pool."""
    _check("path", path, str, "str")
    _check("concurrency", concurrency, int, "int")
    _flushed()
    return _core.update_minbar(_fs(path), _texts(tags), bool(with_derivatives), concurrency, bool(rebuild), bool(enable_bjse),
                               executor)


def update_tick(path, tags, with_derivatives, concurrency, rebuild=False, enable_bjse=False, *, executor=None):
    _check("path", path, str, "str")
    _check("concurrency", concurrency, int, "int")
    _flushed()
    return _core.update_tick(_fs(path), _texts(tags), bool(with_derivatives), concurrency, bool(rebuild), bool(enable_bjse),
                             executor)


def update_bundle_from_quillonc(concurrency, data_bundle_path, base, minbar, tick, with_derivatives, rebuild=False,
                                enable_bjse=False, *, executor=None):
    """通过quillonc更新指定标的的数据"""
    _check("concurrency", concurrency, int, "int")
    _flushed()
    return _core.update_bundle_from_quillonc(concurrency, _fs(data_bundle_path), bool(base), _texts(minbar), _texts(tick),
                                             bool(with_derivatives), bool(rebuild), bool(enable_bjse), executor)


def update_bundle_from_exist_file(concurrency, data_bundle_path, *, executor=None):
    """从bundle数据中查看已存在的标的文件 进行增量更新"""
    _flushed()
    return _core.update_bundle_from_exist_file(int(concurrency), _fs(data_bundle_path), executor)


def download_simple_bundle(data_bundle_path, sample, file_path=None):
    _flushed()
    _core.download_simple_bundle(_fs(data_bundle_path), bool(sample), None if file_path is None else _fs(file_path))
