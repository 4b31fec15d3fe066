"""Long `tarvo rank` runs as users have them: streamed, stopped, resumed, and never a traceback."""

import csv
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
MODEL = EXAMPLES / "2GTP_model.pdb"
NATIVE = EXAMPLES / "2GTP_native.pdb"
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def tarvo(*args, **kwargs):
    return subprocess.Popen([sys.executable, "-m", "tarvo", *map(str, args)], env=ENV,
                            stdin=subprocess.DEVNULL, **kwargs)


def run(*args):
    child = tarvo(*args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                  errors="surrogateescape")
    out, err = child.communicate(timeout=300)
    return child.returncode, out, err


@pytest.fixture
def models(tmp_path):
    """A directory of many distinct model files (links to one model)."""
    folder = tmp_path / "models"
    folder.mkdir()
    for i in range(2000):  # enough that a stop always lands before the last one
        (folder / f"model_{i:04d}.pdb").symlink_to(MODEL)
    return folder


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_a_stopped_rank_keeps_every_finished_row_and_resume_completes_it(models, tmp_path, stop):
    out = tmp_path / "ranking.jsonl"
    child = tarvo("rank", NATIVE, models, "-o", out, "--jsonl", "--threads", "1",
                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    while not out.exists() or out.stat().st_size == 0:
        time.sleep(0.05)
    child.send_signal(stop)
    assert child.wait(timeout=60) == 130
    assert child.stderr.read().decode() == "tarvo: interrupted\n"
    first = [json.loads(line) for line in out.read_text().splitlines()]
    assert 0 < len(first) < 2000 and all(row["ok"] for row in first)

    status, table, _ = run("rank", NATIVE, models, "-o", out, "--jsonl", "--resume")
    assert status == 0 and f"{len(first)} models were already scored" in table
    names = [json.loads(line)["model"] for line in out.read_text().splitlines()]
    assert sorted(names) == sorted(str(p) for p in models.iterdir())


def test_bad_output_path_fails_before_any_scoring(models, tmp_path):
    status, _, err = run("rank", NATIVE, models, "-o", tmp_path / "no" / "such" / "dir.csv")
    assert status == 1 and err.startswith("tarvo: error: cannot write") and err.count("\n") == 1


def test_unreadable_native_is_one_error_not_one_per_model(models, tmp_path):
    broken = tmp_path / "broken.pdb"
    broken.write_text("nothing here\n")
    status, out, err = run("rank", broken, models)
    assert (status, out) == (1, "") and err.count("\n") == 1 and "broken.pdb" in err


def test_per_interface_rows(tmp_path):
    status, out, _ = run(MODEL, NATIVE, "--per-interface")
    [row] = list(csv.DictReader(out.splitlines()))
    assert list(row) == ["model", "native", "mapping", "interface", "fnat", "fnonnat", "F1",
                         "iRMSD", "LRMSD", "clashes", "Tarvo", "quality", "CAPRI", "GlobalTarvo_all",
                         "GlobalTarvo", "model_quality", "model_CAPRI", "missing_interfaces", "error"]
    assert (row["interface"], row["mapping"], row["clashes"]) == ("AB", "AB:AB", "8")
    status, out, _ = run("rank", NATIVE, MODEL, NATIVE, "--per-interface", "--jsonl")
    assert status == 0 and [json.loads(line)["model"] for line in out.splitlines()] == [str(NATIVE), str(MODEL)]


def test_names_that_are_not_utf8_are_scored(tmp_path):
    odd = os.fsencode(tmp_path) + b"/model-\xff.pdb"
    os.symlink(MODEL, odd)
    listing = tmp_path / "list.txt"
    listing.write_bytes(odd + b"\n")
    status, out, err = run("rank", NATIVE, f"@{listing}", "--csv")
    assert status == 0, err
    assert list(csv.DictReader(out.splitlines()))[0]["model"] == os.fsdecode(odd)


@pytest.mark.parametrize(
    "args, message",
    [
        (["rank", NATIVE, MODEL, "--scheduler", "not an address::"], "cannot start a Dask client"),
        ([MODEL, NATIVE, "--allowed-mismatches", str(2**70)], "is not a whole number from 0 to"),
        ([MODEL, NATIVE, "--threads", "100000"], "is not a whole number from 1 to 4096"),
        ([MODEL, NATIVE, "--mapping", os.fsdecode(b"A\xff:AB")], "--mapping: the text is not valid UTF-8"),
        (["rank", NATIVE, MODEL, "--resume"], "--resume needs -o FILE"),
    ],
)
def test_mistakes_are_one_error_line_never_a_traceback(args, message):
    status, _, err = run(*args)
    assert status in (1, 2) and err.startswith("tarvo: error: ") and message in err
    assert "Traceback" not in err and err.count("\n") == 1


def test_closed_standard_output_is_one_error_line():
    closed = subprocess.run(f"{sys.executable} -m tarvo {MODEL} {NATIVE} >&-", shell=True, env=ENV,
                            capture_output=True, text=True)
    assert closed.returncode == 1 and closed.stderr == "tarvo: error: standard output is closed\n"


def test_plot_of_a_ranking_is_written(tmp_path):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "ranking.svg"
    status, out, err = run("rank", NATIVE, MODEL, NATIVE, "--plot", picture)
    assert status == 0, err
    assert picture.read_text().lstrip().startswith("<?xml") and "Rank" in out
