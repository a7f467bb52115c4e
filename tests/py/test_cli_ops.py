"""The command line as a cron job runs it: answers without a terminal,
status, sharded and retried updates, and the JSON report."""
import os

import h5py
import pytest

from conftest import Cli

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
