"""`status --html`: the health page as a browser sees it (headless Chromium)."""
import glob
import json
import os
import pickle
import shutil
import subprocess
from html.parser import HTMLParser

import h5py
import numpy as np
import pytest

from conftest import Cli

CHROMIUM = shutil.which("chromium")

# A tick file name made of the characters a page must escape.
HOSTILE_ID = '<i>x&"y\''
# A stale tick file's name that would close its attribute and open another.
STALE_ID = 'x" onmouseover="alert(1)'


class Dom(HTMLParser):
    """Every element of the page: tag, attributes, classes."""

    def __init__(self, text):
        super().__init__()
        self.elements = []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = {k: v or "" for k, v in attrs}
        self.elements.append((tag, a, set(a.get("class", "").split())))

    def find(self, tag=None, cls=None, **attrs):
        return [a for t, a, c in self.elements if self._is(t, a, c, tag, cls, attrs)]

    def inside(self, tag, cls=None, **attrs):
        """The elements after the first matching `tag`, up to the next `tag`."""
        at = next(i for i, (t, a, c) in enumerate(self.elements) if self._is(t, a, c, tag, cls, attrs))
        out = []
        for t, a, _c in self.elements[at + 1:]:
            if t == tag:
                break
            out.append((t, a))
        return out

    @staticmethod
    def _is(t, a, c, tag, cls, attrs):
        return ((tag is None or t == tag) and (cls is None or cls in c)
                and all(a.get(k.replace("_", "-")) == v for k, v in attrs.items()))


def browse(page, tmp, screenshot=None):
    """The DOM Chromium builds from `page` and Chromium's log, offline and with a fresh profile."""
    if CHROMIUM is None:
        pytest.skip("chromium is not installed (apt-get install -y chromium, as scripts/install-deps does)")
    profile = tmp / f"profile-{len(os.listdir(tmp))}"
    args = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            f"--user-data-dir={profile}", "--enable-logging=stderr", "--v=0"]
    args += [f"--screenshot={screenshot}", "--window-size=1400,2000"] if screenshot else ["--dump-dom"]
    p = subprocess.run(args + [f"file://{page}"], capture_output=True, timeout=180)
    assert p.returncode == 0, p.stderr.decode(errors="replace")
    return p.stdout.decode(), p.stderr.decode(errors="replace")


def page_errors(log, page):
    """Console errors of the page itself (Chromium's own start-up noise, such as D-Bus, does not count)."""
    return [line for line in log.splitlines()
            if ("Uncaught" in line or "CONSOLE" in line) and os.path.basename(page) in line]


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("health")
    cli = Cli(tmp)
    data = str(tmp / "data")
    cli.run("update", data, "--base", "--minbar", "all", "--tick", "stock", "-j", "2")
    ticks = os.path.join(data, "bundle", "ticks")
    # A tick file misses a day of the horizon's month: the one before its last.
    horizon = json.loads(cli.run("status", data, "--json").out)["horizon"]
    for name in sorted(os.listdir(ticks)):
        with h5py.File(os.path.join(ticks, name), "a") as f:
            days = sorted(d for d in f if int(d) // 100 == horizon // 100)
            if len(days) >= 2:
                del f[days[-2]]
                gap = (name[:-3], days[-2])
                break
    stale = os.path.join(ticks, STALE_ID + ".h5")
    shutil.copy(os.path.join(ticks, gap[0] + ".h5"), stale)
    with h5py.File(stale, "a") as f:
        del f[max(f)]
    with open(os.path.join(ticks, HOSTILE_ID + ".h5"), "wb") as f:
        f.write(b"not an HDF5 file")
    return cli, data, gap


def suspended_somewhere(data, ids):
    with h5py.File(os.path.join(data, "bundle", "suspended_days.h5"), "r") as f:
        return any(len(f[i]) for i in ids if i in f)


def status_page(cli, data, *extra):
    page = str(cli.tmp / f"page{len(extra)}.html")
    p = cli.run("status", data, "--json", "--html", page, *extra, check=False)
    assert p.returncode == 1  # the hostile file cannot be read
    return json.loads(p.out), page


def test_page_shows_the_status_figures_and_the_missing_day(bundle, tmp_path):
    cli, data, (gap_id, gap_day) = bundle
    status, page = status_page(cli, data)
    text, log = browse(page, tmp_path)
    dom = Dom(text)

    assert page_errors(log, page) == []
    links = [v for _t, a, _c in dom.elements for k, v in a.items() if k in ("src", "href", "xlink:href")]
    assert not [v for v in links if v.startswith(("http:", "https:", "//"))]

    assert dom.find("span", data_field="horizon")[0]["data-value"] == str(status["horizon"])
    for store in status["stores"]:
        row = {a["data-field"]: a["data-value"] for t, a in dom.inside("tr", data_store=store["name"]) if t == "td"}
        want = {k: store[k] for k in ("files", "instruments", "rows", "bytes", "first_day", "last_day", "stale", "ended")}
        want["unreadable"] = len(store["unreadable"])
        assert row == {k: "" if v is None else str(v) for k, v in want.items()}, store["name"]

    # The hostile name is shown as text, never as markup.
    assert [a["data-id"] for t, a in dom.inside("ul", cls="unreadable") if t == "li"] == [HOSTILE_ID]
    assert not dom.find("i")
    assert STALE_ID in [a["data-id"] for t, a in dom.inside("ul", cls="stale", data_store="ticks") if t == "li"]
    assert not [a for _t, a, _c in dom.elements if "onmouseover" in a]

    # The day deleted: its month's cell counts one day fewer than expected.
    ticks = next(s for s in status["stores"] if s["store"] == "tick")
    calendar = np.load(os.path.join(data, "bundle", "trading_dates.npy"))
    with open(os.path.join(data, "bundle", "instruments.pk"), "rb") as f:
        life = next(r for r in pickle.load(f) if r["order_book_id"] == gap_id)
    listed = int(life["listed_date"].replace("-", ""))
    de_listed = int(life["de_listed_date"].replace("-", "")) or 99999999
    month = int(gap_day) // 100
    with h5py.File(os.path.join(data, "bundle", "suspended_days.h5"), "r") as f:
        suspended = set(int(d) for d in f[gap_id][...]) if gap_id in f else set()  # nothing to hold those days
    expected = [d for d in calendar if d // 100 == month and max(ticks["first_day"], listed) <= d <= min(status["horizon"], de_listed)
                and d not in suspended]
    with h5py.File(os.path.join(data, "bundle", "ticks", gap_id + ".h5"), "r") as f:
        held = [d for d in f if int(d) // 100 == month and int(d) not in suspended]
    cell = dom.find("rect", cls="gap", data_id=gap_id, data_month=f"{month // 100:04}-{month % 100:02}")
    assert [(c["data-held"], c["data-expected"]) for c in cell] == [(str(len(held)), str(len(expected)))]
    assert len(held) == len(expected) - 1
    # Suspension days are not expected of a stock: the fresh minute-bar files show no gap.
    minute_ids = {os.path.basename(f)[:-3] for f in glob.glob(os.path.join(data, "bundle", "h5", "*", "*.h5"))}
    assert suspended_somewhere(data, minute_ids)
    for store in (s["name"] for s in status["stores"] if s["store"] == "minute"):
        assert not [a for t, a in dom.inside("section", data_store=store) if t == "rect" and "gap" in a.get("class", "")]

    shot = tmp_path / "health.png"
    _dom, shot_log = browse(page, tmp_path, screenshot=shot)
    assert shot.stat().st_size > 0 and page_errors(shot_log, page) == []
    print(f"screenshot: {shot}")


def test_page_marks_the_files_a_check_found_broken(bundle):
    cli, data, _gap = bundle
    check_json = cli.tmp / "check.json"
    check = cli.run("check-tick", data, "--no", "--json", check=False)
    check_json.write_text(check.out)
    broken = [o["id"] for o in json.loads(check.out)["outcomes"] if o["outcome"] == "broken"]
    assert HOSTILE_ID in broken

    # A file whose checking process was killed twice is listed apart, banded as held (not known good).
    doc = json.loads(check.out)
    unjudged = next(o for o in doc["outcomes"] if o["outcome"] == "good"
                    and os.path.exists(os.path.join(data, "bundle", "h5", "equities", o["id"] + ".h5")))
    unjudged["outcome"] = "not_checked"
    check_json.write_text(json.dumps(doc))
    _status, page = status_page(cli, data, "--check-json", str(check_json))
    text = open(page, encoding="utf-8").read()
    dom = Dom(text)
    # Marked once each, on the checked store's rows only (the held one has a minute-bar file too).
    assert sorted(a["data-id"] for a in dom.find("g", cls="broken")) == sorted(broken)
    assert [a["data-id"] for t, a in dom.inside("ul", cls="check-broken") if t == "li"] == broken
    assert [a["data-id"] for t, a in dom.inside("ul", cls="check-not_checked") if t == "li"] == [unjudged["id"]]
    assert [a["data-id"] for a in dom.find("g", cls="held")] == [unjudged["id"]]
    assert f"{len(broken)} broken, 0 held by another process, 1 not checked." in text


def test_page_marks_content_findings_and_heal_outcomes(bundle):
    cli, data, _gap = bundle
    path = os.path.join(data, "bundle", "h5", "equities", "600000.XSHG.h5")
    with h5py.File(path, "r+") as f:
        bars = f["data"][...]
        bars["volume"][5] = -1.0
        f["data"][...] = bars
    first_month = f"{bars['datetime'][5] // 100000000 // 100:04}-{bars['datetime'][5] // 100000000 % 100:02}"

    def page_after(*check_args):
        doc = cli.tmp / "check.json"
        doc.write_text(cli.run("check-minbar", data, "--quality", "--json", *check_args).out)
        _status, page = status_page(cli, data, "--check-json", str(doc))
        return Dom(open(page, encoding="utf-8").read())

    dom = page_after("--no")
    assert {a["data-id"] for a in dom.find("g", cls="finding")} == {"600000.XSHG"}
    assert [a["data-month"] for a in dom.find("rect", cls="flagged", data_id="600000.XSHG")] == [first_month]
    assert [a["data-id"] for t, a in dom.inside("ul", cls="check-findings") if t == "li"] == ["600000.XSHG"]

    dom = page_after("--heal")
    assert {a["data-id"] for a in dom.find("g", cls="heal-healed")} == {"600000.XSHG"}
    assert not dom.find("g", cls="finding") and not dom.find("rect", cls="flagged")
    assert [(a["data-id"], a["data-heal"]) for t, a in dom.inside("ul", cls="check-heal") if t == "li"] == [("600000.XSHG", "healed")]
    # An outcome no check writes is refused, never put into the page.
    doc = cli.tmp / "check.json"
    doc.write_text(doc.read_text().replace('"outcome":"healed"', '"outcome":"x\\"><script>alert(1)</script>"'))
    p = cli.run("status", data, "--html", str(cli.tmp / "hostile.html"), "--check-json", str(doc), check=False)
    assert p.returncode != 0 and "check-minbar --json" in p.err and not os.path.exists(cli.tmp / "hostile.html")


# A store file name that is not UTF-8.
NOT_UTF8 = b"bad\xc0\xaf\xff\xfe"  # an overlong lead byte with its continuation, then two bytes no text holds


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    """A small bundle whose tick store holds a file named by bytes that are not UTF-8."""
    tmp = tmp_path_factory.mktemp("small-page")
    cli = Cli(tmp)
    data = str(tmp / "data")
    cli.run("update", data, "--base", "--minbar", "600000.XSHG", "--tick", "600000.XSHG")
    ticks = os.path.join(data, "bundle", "ticks")
    shutil.copy(os.path.join(ticks, "600000.XSHG.h5"), os.path.join(ticks.encode(), NOT_UTF8 + b".h5"))
    return cli, data


def test_check_documents_that_are_no_regular_files_are_refused_at_once(small, tmp_path):
    cli, data = small
    fifo = tmp_path / "check.fifo"
    os.mkfifo(fifo)
    link = tmp_path / "check.json"
    link.symlink_to("/dev/zero")
    page = tmp_path / "page.html"
    for doc in ("/dev/zero", str(fifo), str(link)):
        # Read, /dev/zero would never end and the FIFO would wait for a writer for ever.
        p = cli.run("status", data, "--html", str(page), "--check-json", doc, check=False, timeout=30)
        assert p.returncode == 2 and "not a regular file" in p.err, p.err
        assert not page.exists()


def test_a_document_of_200000_findings_makes_a_small_page(small, tmp_path):
    cli, data = small
    check = cli.run("check-tick", data, "--no", "--json", check=False)
    doc = json.loads(check.out)
    doc["outcomes"][0]["findings"] = [{"rule": "crossed_book", "first": 20240603093000000 + i, "count": 1} for i in range(200000)]
    (tmp_path / "check.json").write_text(json.dumps(doc))
    page = tmp_path / "page.html"
    cli.run("status", data, "--html", str(page), "--check-json", str(tmp_path / "check.json"))
    text = page.read_text(encoding="utf-8")
    assert page.stat().st_size < 1 << 20 and f"and {200000 - 20} more" in text


def test_a_name_that_is_not_utf8_is_shown_as_the_json_shows_it(small, tmp_path):
    cli, data = small
    check = cli.run("check-tick", data, "--no", "--json", check=False)
    (tmp_path / "check.json").write_text(check.out)
    page = tmp_path / "page.html"
    status = json.loads(cli.run("status", data, "--json", "--by-instrument", "--html", str(page),
                                "--check-json", str(tmp_path / "check.json")).out)
    text = page.read_bytes().decode("utf-8")  # strictly
    shown = next(f["id"] for s in status["stores"] for f in s["by_instrument"] if f["id"].startswith("bad"))
    assert shown == NOT_UTF8.decode("utf-8", "replace")
    assert [a["data-id"] for _t, a, _c in Dom(text).elements if a.get("data-id", "").startswith("bad")]
    assert all(a["data-id"] == shown for _t, a, _c in Dom(text).elements if a.get("data-id", "").startswith("bad"))
