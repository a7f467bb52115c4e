"""The command line as a cron job runs it: answers without a terminal,
status, sharded and retried updates, and the JSON report."""
import fcntl
import subprocess
import json
import os
import re
import shutil

import h5py
import jsonschema
import pytest

import conftest
from conftest import Cli, digests

CHECK_PROMPT = "是否删除异常数据(yes/no):"


@pytest.fixture(scope="module")
def small_bundle(tmp_path_factory):
    """A bundle with base files, two minute-bar files and one tick file."""
    cli = Cli(tmp_path_factory.mktemp("small"))
    data = str(cli.tmp / "data")
    cli.run("update", data, "--base", "--minbar", "600000.XSHG,000001.XSHE", "--tick", "600000.XSHG", "-j", "2")
    return cli, data


def break_index(path):
    with h5py.File(path, "a") as f:
        index = f["index"][:]
        index["date"][1] += 1  # no longer the day of its first bar
        f["index"][:] = index


class TestAnswerFlags:
    def test_no_keeps_the_broken_file_without_reading_standard_input(self, tmp_path):
        cli = Cli(tmp_path)
        data = str(tmp_path / "data")
        cli.run("update", data, "--base", "--minbar", "600000.XSHG,000001.XSHE", "--tick", "600000.XSHG")
        broken = os.path.join(data, "bundle", "h5", "equities", "000001.XSHE.h5")
        break_index(broken)
        # Standard input is empty: reading it would end in EOF and status 1.
        kept = cli.run("check-minbar", data, "--no", input="")
        assert CHECK_PROMPT + "no\n\n异常数据未删除！\n" in kept.out
        assert "数据异常标的如下:\n['000001.XSHE']\n" in kept.out
        assert os.path.exists(broken)
        deleted = cli.run("check-minbar", data, "--yes", input="")
        assert CHECK_PROMPT + "yes\n\n准备删除异常数据！\n" in deleted.out
        assert deleted.out.endswith("\n删除完成！共删除1个标的。\n")
        assert not os.path.exists(broken)
        # The same run answered at a terminal prints the same, but for the echo.
        good = cli.run("check-minbar", data, "--yes", input="")
        assert good.out == "共有1个分钟数据文件!\n\n检测完成：分钟数据质量良好！\n"

    def test_check_tick_takes_the_answer_too(self, tmp_path):
        cli = Cli(tmp_path)
        data = str(tmp_path / "data")
        cli.run("update", data, "--base", "--tick", "600000.XSHG,000001.XSHE")
        broken = os.path.join(data, "bundle", "ticks", "000001.XSHE.h5")
        with open(broken, "r+b") as f:
            f.write(b"not an HDF5 file at all")
        p = cli.run("check-tick", data, "--yes", input="")
        assert CHECK_PROMPT + "yes\n" in p.out and "['000001.XSHE']" in p.out
        assert not os.path.exists(broken)
        assert os.path.exists(os.path.join(data, "bundle", "ticks", "600000.XSHG.h5"))

    def test_yes_and_no_together_is_a_usage_error(self, small_bundle):
        cli, data = small_bundle
        for sub in ("check-minbar", "check-tick"):
            p = cli.run(sub, data, "--yes", "--no", check=False)
            assert p.returncode == 2 and "excludes" in p.err
            assert p.out == ""

    def test_every_option_refused_is_a_usage_error(self, small_bundle, tmp_path):
        cli, data = small_bundle
        a_file = str(tmp_path / "a-file")
        open(a_file, "w").close()
        for args, said in ((("check-minbar", data, "--quality", "--thresholds", "usual_days=3,usual_days=4"), "more than once"),
                           (("check-tick", data, "--quality", "--thresholds", "usual_days=x"), "number of days"),
                           (("status", data, "--html", str(tmp_path / "nowhere" / "p.html")), "does not exist"),
                           (("status", data, "--html", os.path.join(a_file, "p.html")), "does not exist"),
                           (("status", data, "--html", str(tmp_path)), "is a folder"),
                           (("--service", "sim:no_such=1", "status", data), "no_such")):
            p = cli.run(*args, check=False)
            assert p.returncode == 2 and said in p.err, (args, p.err)


def status_json(cli, data, *extra, check=True, **kw):
    p = cli.run("status", data, "--json", *extra, check=check, **kw)
    return p, json.loads(p.out)


def store(doc, name):
    return next(s for s in doc["stores"] if s["name"] == name)


class TestStatus:
    def test_figures_agree_with_what_h5py_reads(self, tmp_path):
        cli = Cli(tmp_path)
        data = str(tmp_path / "data")
        cli.run("update", data, "--base", "--minbar", "600000.XSHG,000001.XSHE,AU", "--tick", "600000.XSHG,AU", "-j", "2")
        p, doc = status_json(cli, data, "--by-instrument")
        assert doc["command"] == "status" and doc["exit_status"] == 0 and doc["calendar"]["last_day"] == 20240607
        bundle = os.path.join(data, "bundle")
        seen = set()
        for s in doc["stores"]:
            for f in s["by_instrument"]:
                path = os.path.join(s["folder"], f["id"] + ".h5")
                seen.add(os.path.relpath(path, bundle))
                assert f["bytes"] == os.path.getsize(path)
                with h5py.File(path, "r") as h:
                    if s["store"] == "minute":
                        rows, days = len(h["data"]), list(h["index"]["date"])
                    else:
                        rows, days = sum(len(h[d]) for d in h), sorted(int(d) for d in h)
                assert (f["rows"], f["first_day"], f["last_day"]) == (rows, days[0], days[-1])
            assert s["rows"] == sum(f["rows"] for f in s["by_instrument"])
            assert s["bytes"] == sum(f["bytes"] for f in s["by_instrument"])
            assert s["files"] == len(s["by_instrument"]) == s["instruments"]
        stored = {os.path.relpath(os.path.join(r, n), bundle) for r, _d, ns in os.walk(bundle) for n in ns
                  if n.endswith(".h5") and os.path.basename(r) != "bundle"}
        assert seen == stored and len(seen) >= 5
        # The text names the same figures.
        text = cli.run("status", data, "--by-instrument").out
        eq = store(doc, "equities")
        assert f"minute bars equities: 2 files, 2 instruments, {eq['rows']} rows" in text
        assert any(line.split()[:4] == ["AU2407", "20240401", "20240607", str(store(doc, "future")["by_instrument"][0]["rows"])]
                   for line in text.splitlines())

    def test_stale_files_and_an_absent_calendar(self, tmp_path):
        cli = Cli(tmp_path)
        data = str(tmp_path / "data")
        cli.run("update", data, "--base", "--minbar", "600000.XSHG,000001.XSHE", "--tick", "600000.XSHG",
                now="2024-06-05 18:00:00")
        cli.run("update", data, "--base", "--minbar", "600000.XSHG")  # one file (and the calendar) to 20240607
        _p, doc = status_json(cli, data)
        eq, ticks = store(doc, "equities"), store(doc, "ticks")
        assert (eq["stale"], eq["stale_ids"], eq["last_day"]) == (1, ["000001.XSHE"], 20240607)
        assert (ticks["stale"], ticks["stale_ids"]) == (1, ["600000.XSHG"])
        text = cli.run("status", data).out
        assert "stale (ends before 20240607): 000001.XSHE" in text
        # Before the close the calendar holds today, but an update fetches up
        # to the last completed trading day: that is the horizon.
        early = "2024-06-11 07:30:00"
        cli.run("update", data, "--base", "--minbar", "600000.XSHG", now=early)
        _p, doc = status_json(cli, data, now=early)
        eq = store(doc, "equities")
        assert doc["calendar"]["last_day"] == 20240611 and doc["horizon"] < 20240611
        assert eq["stale_ids"] == ["000001.XSHE"] and eq["last_day"] == doc["horizon"]
        assert f"update horizon {doc['horizon']}" in cli.run("status", data, now=early).out
        os.remove(os.path.join(data, "bundle", "trading_dates.npy"))
        p, doc = status_json(cli, data)
        assert p.returncode == 0 and doc["calendar"] == {"path": os.path.join(data, "bundle", "trading_dates.npy"),
                                                          "last_day": None, "error": "absent"}
        assert store(doc, "equities")["stale"] is None and store(doc, "equities")["stale_ids"] == []
        assert "trading_dates.npy is absent" in cli.run("status", data).out

    def test_a_finished_instrument_is_ended_not_stale(self, tmp_path):
        """A de-listed stock and an expired contract, updated correctly, end at
        their last trading day: ended, never stale; cut the stock short and it
        is stale. (At this clock the contract matured on a Saturday, and the
        stock was suspended on its de-listing day.)"""
        cli = Cli(tmp_path)
        data = str(tmp_path / "data")
        service, now = f"{conftest.SIM},expired=1", "2024-07-03 18:00:00"
        cli.run("update", data, "--base", "--minbar", "000999.XSHE,AU2406,600000.XSHG,AU2408", service=service, now=now)
        _p, doc = status_json(cli, data, "--by-instrument", service=service, now=now)
        judged = {(s["name"], s["stale"], tuple(s["stale_ids"]), s["ended"], tuple(s["ended_ids"])) for s in doc["stores"]}
        assert judged == {("equities", 0, (), 1, ("000999.XSHE",)), ("future", 0, (), 1, ("AU2406",)), ("ticks", 0, (), 0, ())}
        assert "0 stale, 1 ended" in cli.run("status", data, service=service, now=now).out
        path = os.path.join(data, "bundle", "h5", "equities", "000999.XSHE.h5")
        with h5py.File(path, "a") as f:
            cut = f["index"][-3]["line_no"]
            f["index"].resize((len(f["index"]) - 3,))
            f["data"].resize((cut,))
        _p, doc = status_json(cli, data, service=service, now=now)
        eq = store(doc, "equities")
        assert (eq["stale_ids"], eq["ended_ids"]) == (["000999.XSHE"], [])

    def test_unreadable_files_are_reported_by_kind(self, tmp_path):
        cli = Cli(tmp_path)
        data = str(tmp_path / "data")
        cli.run("update", data, "--base", "--minbar", "600000.XSHG,000001.XSHE,000002.XSHE")
        eq_folder = os.path.join(data, "bundle", "h5", "equities")
        with open(os.path.join(eq_folder, "000002.XSHE.h5"), "r+b") as f:
            f.write(b"\0" * 64)  # the superblock is gone
        odd = os.path.join(eq_folder.encode(), b'we"ird\\\xff\n.h5')
        with open(odd, "wb") as f:
            f.write(b"x")
        held = open(os.path.join(eq_folder, "000001.XSHE.h5"), "rb")
        try:
            fcntl.flock(held, fcntl.LOCK_EX)  # an update writing it
            p, doc = status_json(cli, data, "--by-instrument", check=False)
            # Where the file system has no locks, the user may turn them off.
            unlocked = cli.run("status", data, "--json", check=False, env={"HDF5_USE_FILE_LOCKING": "FALSE"})
        finally:
            held.close()
        assert p.returncode == 1 and doc["exit_status"] == 1 and doc["unreadable_files"] == 3
        eq = store(doc, "equities")
        kinds = {u["id"]: u["kind"] for u in eq["unreadable"]}
        assert kinds == {"000001.XSHE": "locked", "000002.XSHE": "damaged", 'we"ird\\\ufffd\n': "damaged"}
        assert eq["files"] == 4 and eq["instruments"] == 1
        assert [f["error"] for f in eq["by_instrument"] if f["id"] == "600000.XSHG"] == [None]
        assert "cannot open 000002.XSHE (damaged)" in p.err  # the text went to standard error
        assert {u["id"] for u in store(json.loads(unlocked.out), "equities")["unreadable"]} == {"000002.XSHE", 'we"ird\\\ufffd\n'}


def requested_ids(log):
    with open(log) as f:
        return {line.split()[1] for line in f if line.startswith("get_price")}


class TestShards:
    TAGS = ["--minbar", "stock,fund,AU", "--tick", "stock,AU"]

    def test_two_shards_at_once_write_the_bytes_of_one_run(self, tmp_path):
        cli = Cli(tmp_path)
        whole, split = str(tmp_path / "whole"), str(tmp_path / "split")
        first = cli.run("update", whole, "--base", *self.TAGS, "-j", "2")
        cli.run("update", split, "--base")
        env = dict(os.environ, TESSAL_NOW=conftest.NOW)
        procs, logs = [], []
        for k in range(2):
            logs.append(str(tmp_path / f"shard{k}.log"))
            env["TESSAL_SERVICE"] = f"{conftest.SIM},log={logs[-1]}"
            procs.append(subprocess.Popen([conftest.BIN, "update", split, *self.TAGS, "-j", "1", "--shard", f"{k}/2"],
                                          env=dict(env), stdout=subprocess.PIPE, stderr=subprocess.PIPE))
        outs = [p.communicate(timeout=300) for p in procs]
        assert [p.returncode for p in procs] == [0, 0], outs
        for kind in ("h5", "ticks"):
            a, b = digests(os.path.join(whole, "bundle", kind)), digests(os.path.join(split, "bundle", kind))
            assert a and a == b, kind
        ids = [requested_ids(log) for log in logs]
        assert ids[0] and ids[1] and not ids[0] & ids[1]
        every = {n[:-3] for d in ("h5/equities", "h5/future", "ticks") for n in os.listdir(os.path.join(whole, "bundle", d))}
        assert ids[0] | ids[1] == every
        for k in range(2):
            assert all(fnv1a64(i) % 2 == k for i in ids[k])
        # The announcements count each shard's part of the same resolved set.
        for store in ("分钟线", "tick"):
            pattern = r"开始更新 (\d+) 只标的的" + store
            parts = [int(re.search(pattern, o.decode()).group(1)) for o, _e in outs]
            assert parts[0] and parts[1] and sum(parts) == int(re.search(pattern, first.out).group(1))

    def test_sharded_smart_update_and_refusals(self, small_bundle, tmp_path):
        cli, data = small_bundle
        cli.clear_requests()
        out = cli.run("smart-update", data, "--shard", "1/2").out
        assert out.startswith("开始智能更新已下载数据\nshard 1/2: the base files are not updated")
        assert "开始更新日线及基础数据" not in out
        assert {r[1] for r in cli.requests() if r[0] == "get_price"} <= {i for i in ("600000.XSHG", "000001.XSHE") if fnv1a64(i) % 2 == 1}
        for bad in ("2/2", "1", "-1/2", "a/b", "0/0"):
            p = cli.run("update", data, "--minbar", "stock", "--shard", bad, check=False)
            assert p.returncode == 2 and "K/N" in p.err, bad
        p = cli.run("update", data, "--base", "--shard", "0/2", check=False)
        assert p.returncode == 2 and "--base" in p.err


def fnv1a64(text):
    h = 0xcbf29ce484222325
    for b in text.encode():
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h


class TestRetries:
    FAST = {"TESSAL_RETRY_BASE_MS": "5"}

    def flaky(self, cli, times, ids="600000.XSHG"):
        return f"{conftest.SIM},log={cli.log},flaky={ids},flaky_times={times}"

    def minute_requests(self, cli, oid):
        return [r for r in cli.requests() if r[:2] == ["get_price", oid] and r[4] == "1m"]

    def test_a_flaky_instrument_is_completed_after_k_failures(self, tmp_path):
        cli = Cli(tmp_path)
        data, clean = str(tmp_path / "data"), str(tmp_path / "clean")
        p = cli.run("update", data, "--minbar", "600000.XSHG,000001.XSHE", "--retries", "3", "-j", "2",
                    service=self.flaky(cli, 2), env=self.FAST)
        assert len(self.minute_requests(cli, "600000.XSHG")) == 3  # K failures and the answer
        assert len(self.minute_requests(cli, "000001.XSHE")) == 1
        assert p.err.count("retry ") == 2 and "retry 2/3 of get_price 600000.XSHG" in p.err
        Cli(tmp_path).run("update", clean, "--minbar", "600000.XSHG", service=conftest.SIM)
        rel = os.path.join("bundle", "h5", "equities", "600000.XSHG.h5")
        with open(os.path.join(data, rel), "rb") as a, open(os.path.join(clean, rel), "rb") as b:
            assert a.read() == b.read()  # complete: the bytes of an undisturbed run

    def test_the_environment_sets_the_retries_and_too_few_fail_as_today(self, tmp_path):
        cli = Cli(tmp_path)
        data = str(tmp_path / "data")
        env = dict(self.FAST, TESSAL_RETRIES="1")
        failed = cli.run("update", data, "--minbar", "600000.XSHG", service=self.flaky(cli, 3), env=env, check=False)
        assert failed.returncode == 1 and len(self.minute_requests(cli, "600000.XSHG")) == 2
        assert "更新 " in failed.err and "failure 2 of 3" in failed.err
        # No retries (the default): one request, the failure logged as before.
        cli.clear_requests()
        default = cli.run("update", data, "--minbar", "600000.XSHG", service=self.flaky(cli, 4), env=self.FAST, check=False)
        assert default.returncode == 1 and len(self.minute_requests(cli, "600000.XSHG")) == 1
        assert "retry" not in default.err
        # The count is kept across runs (beside the log): one failure is left, then the file completes.
        cli.run("update", data, "--minbar", "600000.XSHG", "--retries", "1", service=self.flaky(cli, 4), env=self.FAST)
        with h5py.File(os.path.join(data, "bundle", "h5", "equities", "600000.XSHG.h5"), "r") as f:
            assert f["index"]["date"][-1] == 20240607
        bad = cli.run("update", data, "--minbar", "600000.XSHG", env={"TESSAL_RETRIES": "many"}, check=False)
        assert bad.returncode == 2 and "TESSAL_RETRIES" in bad.err
        for wait in ("abc", "-5", " 5", "600001"):
            bad = cli.run("update", data, "--minbar", "600000.XSHG", "--retries", "1",
                          env={"TESSAL_RETRY_BASE_MS": wait}, check=False)
            assert bad.returncode != 0 and "TESSAL_RETRY_BASE_MS must be milliseconds" in bad.err, (wait, bad.err)

    def test_a_refusal_is_never_retried(self, tmp_path):
        cli = Cli(tmp_path)
        data = str(tmp_path / "data")
        p = cli.run("update", data, "--minbar", "600000.XSHG", "--retries", "5",
                    service=f"{conftest.SIM},log={cli.log},deny=600000.XSHG", env=self.FAST, check=False)
        assert p.returncode == 1 and "retry" not in p.err
        assert len(self.minute_requests(cli, "600000.XSHG")) == 1


# The --json schema of README.md ("Running it every day") as JSON Schema
# documents: every key listed is required (others may follow), a nullable key
# takes null besides its type. Keys are listed in the order the documents
# write them.
INT, NUM, STR, BOOL = ({"type": t} for t in ("integer", "number", "string", "boolean"))


def nullable(schema):
    return {"type": [schema["type"], "null"]}


def obj(**properties):
    return {"type": "object", "required": list(properties), "properties": properties}


def array(items):
    return {"type": "array", "items": items}


def document(**properties):
    """The schema of a whole document: the keys of every command around its own."""
    head = dict(command=STR, bundle_path=STR, started=STR, finished=STR, duration_s=NUM, exit_status=INT, ok=BOOL,
                error=nullable(STR))
    return {"$schema": "https://json-schema.org/draft/2020-12/schema", **obj(**head, **properties, log=array(STR))}


UPDATE = document(base_succeeded=nullable(BOOL),
                  drivers=array(obj(store=STR, submitted=INT, succeeded=BOOL, ids=array(STR),
                                    outcomes=array(obj(id=STR, outcome=STR, kind=nullable(STR))))),
                  submitted=INT, failed=array(obj(id=STR, outcome=STR, message=STR)), failed_instruments=INT)
FINDINGS = array(obj(rule=STR, first=INT, count=INT))
CHECK = document(files=INT, good=INT, broken=INT, held=INT, answer=nullable(STR), deleted=INT,
                 outcomes=array(obj(id=STR, path=STR, outcome=STR, findings=FINDINGS,
                                    heal={**obj(outcome=STR, message=nullable(STR), findings=FINDINGS),
                                          "type": ["object", "null"]})),
                 with_findings=INT, not_checked=INT, verify=nullable(obj(days_per_file=INT, seed=INT, not_verified=INT)))
STATUS = document(calendar=obj(path=STR, last_day=nullable(INT), error=nullable(STR)), horizon=nullable(INT),
                  unreadable_files=INT,
                  stores=array(obj(store=STR, name=STR, folder=STR, files=INT, instruments=INT, rows=INT, bytes=INT,
                                   first_day=nullable(INT), last_day=nullable(INT), stale=nullable(INT),
                                   stale_ids=array(STR), ended=nullable(INT), ended_ids=array(STR),
                                   unreadable=array(obj(id=STR, path=STR, kind=STR, message=STR)))))

# JSON Schema counts 3.0 as an integer; a count the command writes as 3.0 is a fault.
Validator = jsonschema.validators.extend(
    jsonschema.Draft202012Validator,
    type_checker=jsonschema.Draft202012Validator.TYPE_CHECKER.redefine(
        "integer", lambda _checker, value: isinstance(value, int) and not isinstance(value, bool)))


def conforms(doc, schema):
    """True, or jsonschema.ValidationError; the top-level keys in the order the
    documents have always had."""
    jsonschema.validate(doc, schema, cls=Validator)
    assert list(doc) == list(schema["properties"])
    return True


def test_the_schemas_find_what_is_wrong():
    good = {"command": "check-tick", "bundle_path": "d", "started": "s", "finished": "f", "duration_s": 1,
            "exit_status": 0, "ok": True, "error": None, "files": 1, "good": 0, "broken": 0, "held": 1,
            "answer": None, "deleted": 0, "outcomes": [{"id": "a", "path": "p", "outcome": "locked", "kind": "locked",
                                                        "findings": [], "heal": None}],
            "with_findings": 0, "not_checked": 0, "verify": None, "log": []}
    assert conforms(good, CHECK)
    bad = dict(good, files=True, held=1.0, error=False, log=["x", None],
               outcomes=[{"id": 1, "path": "p", "outcome": "good", "findings": [], "heal": None},
                         {"path": "p", "outcome": "good", "findings": [{"rule": "ohlc_order", "first": 1.5, "count": 1}],
                          "heal": {"outcome": "healed", "message": None}}])
    del bad["deleted"]
    assert sorted((e.json_path, e.validator) for e in Validator(CHECK).iter_errors(bad)) == [
        ("$", "required"), ("$.error", "type"), ("$.files", "type"), ("$.held", "type"), ("$.log[1]", "type"),
        ("$.outcomes[0].id", "type"), ("$.outcomes[1]", "required"), ("$.outcomes[1].findings[0].first", "type"),
        ("$.outcomes[1].heal", "required")]
    with pytest.raises(AssertionError):  # right keys, wrong order
        conforms(dict(reversed(good.items())), CHECK)


class TestJson:
    def run_json(self, cli, *args, **kw):
        p = cli.run(*args, "--json", check=False, **kw)
        doc = json.loads(p.out)  # standard output holds the document alone
        assert doc["exit_status"] == p.returncode and doc["ok"] == (p.returncode == 0)
        assert doc["command"] == args[0]
        return p, doc

    def test_every_command_reports_by_the_schema(self, tmp_path):
        cli = Cli(tmp_path)
        data = str(tmp_path / "data")
        service = f"{conftest.SIM},log={cli.log},deny=000001.XSHE"
        p, doc = self.run_json(cli, "update", data, "--base", "--minbar", "600000.XSHG,000001.XSHE", "--tick",
                               "600000.XSHG", "-j", "2", service=service)
        assert conforms(doc, UPDATE)
        assert p.returncode == 1 and doc["base_succeeded"] is True and doc["submitted"] == 3
        assert "开始更新日线及基础数据" in p.err  # the console text went to standard error
        assert [(d["store"], d["ids"], d["succeeded"]) for d in doc["drivers"]] == [
            ("minute", ["000001.XSHE", "600000.XSHG"], False), ("tick", ["600000.XSHG"], True)]
        assert [f["id"] for f in doc["failed"]] == ["000001.XSHE"] and doc["failed_instruments"] == 1
        assert "000001.XSHE" in doc["failed"][0]["message"] and doc["failed"][0]["message"] in doc["log"]

        p, doc = self.run_json(cli, "smart-update", data, "-j", "2")
        assert conforms(doc, UPDATE) and p.returncode == 0 and doc["failed"] == []
        assert {d["store"] for d in doc["drivers"]} == {"minute", "tick"}

        break_index(os.path.join(data, "bundle", "h5", "equities", "600000.XSHG.h5"))
        p, doc = self.run_json(cli, "check-minbar", data, "--no")
        assert conforms(doc, CHECK) and p.returncode == 0
        assert (doc["files"], doc["good"], doc["broken"], doc["answer"], doc["deleted"]) == (1, 0, 1, "no", 0)
        assert doc["outcomes"][0]["outcome"] == "broken" and CHECK_PROMPT + "no" in p.err

        held = open(os.path.join(data, "bundle", "ticks", "600000.XSHG.h5"), "rb")
        try:
            fcntl.flock(held, fcntl.LOCK_EX)
            p, doc = self.run_json(cli, "check-tick", data, "--yes")
        finally:
            held.close()
        assert conforms(doc, CHECK) and p.returncode == 0
        assert doc["outcomes"] == [{"id": "600000.XSHG", "path": os.path.join(data, "bundle", "ticks", "600000.XSHG.h5"),
                                    "outcome": "locked", "kind": "locked", "findings": [], "heal": None}]
        assert (doc["held"], doc["deleted"]) == (1, 0)

        p, doc = self.run_json(cli, "status", data)
        assert conforms(doc, STATUS) and p.returncode == 0

    # What a check and the status say of a bundle, as text and as JSON: the
    # exit status, and the check's closing line ("good" only when it is).
    CASES = {
        "missing": (2, 2, "当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!"),
        "empty": (0, 0, "当前目录下不存在分钟数据!"),
        "good": (0, 0, "检测完成：分钟数据质量良好！"),
        "broken": (0, 1, "检测完成：共有1个标的分钟数据存在异常，0个文件被其他进程占用或没有权限。"),
        "findings": (0, 0, "检测完成：分钟数据未发现异常文件，1个文件有内容问题（见上），均已保留。"),
    }

    @pytest.mark.parametrize("case", CASES)
    def test_exit_statuses_and_ok_tell_the_truth(self, small_bundle, tmp_path, case):
        cli = Cli(tmp_path)
        data = str(tmp_path / "data")
        if case != "missing":
            shutil.copytree(small_bundle[1], data)
        equities = os.path.join(data, "bundle", "h5", "equities")
        if case == "empty":  # the base files, no store
            shutil.rmtree(os.path.join(data, "bundle", "h5"))
            shutil.rmtree(os.path.join(data, "bundle", "ticks"))
        elif case == "broken":
            with open(os.path.join(equities, "000001.XSHE.h5"), "r+b") as f:
                f.write(b"\0" * 64)
        elif case == "findings":
            with h5py.File(os.path.join(equities, "600000.XSHG.h5"), "r+") as f:
                bars = f["data"][...]
                bars["volume"][5] = -1.0
                f["data"][...] = bars
        check_status, status_status, closing = self.CASES[case]
        for args, status, schema in ((("check-minbar", data, "--quality", "--no"), check_status, CHECK),
                                     (("status", data), status_status, STATUS)):
            text = cli.run(*args, check=False)
            p, doc = self.run_json(cli, *args)
            assert (text.returncode, p.returncode) == (status, status), (args, text.err, p.err)
            assert conforms(doc, schema) and doc["ok"] is (status == 0)
            if case == "missing":
                assert f"the folder '{data}' does not exist" in text.err and doc["error"] == f"the folder '{data}' does not exist"
            if args[0] == "check-minbar":
                assert closing in text.out and closing in p.err
                assert ("质量良好" in text.out) is (case == "good")

    def test_a_store_file_that_fails_is_listed_by_its_id(self, small_bundle, cli):
        data = str(cli.tmp / "data")
        shutil.copytree(small_bundle[1], data)
        path = os.path.join(data, "bundle", "h5", "equities", "600000.XSHG.h5")
        os.truncate(path, os.path.getsize(path) // 2)
        p, doc = self.run_json(cli, "update", data, "--minbar", "600000.XSHG")
        assert conforms(doc, UPDATE) and p.returncode == 1
        # The writer names the file, the report the instrument.
        assert [(f["id"], path in f["message"]) for f in doc["failed"]] == [("600000.XSHG", True)]
        assert doc["failed_instruments"] == 1

    def test_a_worker_killed_mid_task_is_listed_as_died(self, small_bundle, cli):
        data = str(cli.tmp / "data")
        shutil.copytree(small_bundle[1], data)
        os.remove(os.path.join(data, "bundle", "h5", "equities", "000001.XSHE.h5"))  # to be fetched again
        p, doc = self.run_json(cli, "update", data, "--minbar", "600000.XSHG,000001.XSHE", "-j", "2",
                               service=f"{conftest.SIM},die=000001.XSHE")
        assert conforms(doc, UPDATE) and p.returncode == 1
        assert [(o["id"], o["outcome"]) for o in doc["drivers"][0]["outcomes"]] == [
            ("000001.XSHE", "died"), ("600000.XSHG", "up_to_date")]
        assert [(f["id"], f["outcome"]) for f in doc["failed"]] == [("000001.XSHE", "died")]
        assert doc["failed_instruments"] == 1

    def test_a_failed_run_still_reports(self, tmp_path):
        cli = Cli(tmp_path)
        bundle = tmp_path / "data" / "bundle"
        bundle.mkdir(parents=True)
        (bundle / "instruments.pk").write_bytes(b"\x80\x02not a pickle")
        p, doc = self.run_json(cli, "smart-update", str(tmp_path / "data"))
        assert conforms(doc, UPDATE) and p.returncode == 1 and doc["error"]
        p, doc = self.run_json(cli, "check-minbar", str(tmp_path / "data"))
        assert conforms(doc, CHECK) and doc["files"] == 0 and doc["answer"] is None
