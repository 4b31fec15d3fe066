"""Evaluating a docking run: classes, complete models first, rank and report alike, program scores."""

import csv
import inspect
import io
import math
import os
import subprocess
import sys

import pytest

import _tarvo_rs
from conftest import EXAMPLES, TRIANGLE
from tarvo import score_one_vs_many
from tarvo._output import capri_class, model_entry
from tarvo._progress import ProgressBar
from tarvo._report import ranked
from tarvo._scores import program_ranking, read_scores, spearman

NATIVE = EXAMPLES / "2GTP_native.pdb"
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def run(*args):
    done = subprocess.run([sys.executable, "-m", "tarvo", *map(str, args)], capture_output=True, text=True,
                          env=ENV, stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout, done.stderr


def moved(path, shift):
    """2GTP's native with chain B moved by `shift` Å along x and y: a docking pose of known quality."""
    lines = []
    for line in NATIVE.read_text().splitlines():
        if line.startswith("ATOM") and line[21] == "B":
            line = f"{line[:30]}{float(line[30:38]) + shift:8.3f}{float(line[38:46]) + shift / 2:8.3f}{line[46:]}"
        lines.append(line)
    path.write_text("\n".join(lines) + "\n")
    return path


@pytest.fixture(scope="module")
def run_folder(tmp_path_factory):
    """Poses from near-native to far off, one unreadable file, and the program's scores (lower is better)."""
    folder = tmp_path_factory.mktemp("run")
    poses = folder / "poses"
    poses.mkdir()
    shifts = [0.8 * i for i in range(24)]
    for i, shift in enumerate(shifts):
        moved(poses / f"pose_{i:02d}.pdb", shift)
    (poses / "pose_broken.pdb").write_text("no structure\n")
    # The program gets the order mostly right: pose 3 is its best, pose 0 its fourth.
    energies = {i: shift for i, shift in enumerate(shifts)}
    energies[3] = -1.0
    with open(folder / "scores.csv", "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["pose", "energy", "note"])
        writer.writerows([str(poses / f"pose_{i:02d}.pdb"), energy, "x"] for i, energy in energies.items())
    return folder


def table_and_summary(text):
    """The ranking's rows and summary lines, without what names the run's own files."""
    return [line for line in text.splitlines()
            if line[:1] == " " or line.split(" ")[0] in ("Tarvo", "CAPRI", "Best", "Success", "Spearman")]


@pytest.mark.parametrize("shape", [[], ["--jsonl"], ["--per-interface"], ["--per-interface", "--jsonl"]],
                         ids=["csv", "jsonl", "per-interface", "per-interface-jsonl"])
def test_rank_then_report_give_the_same_ranking_and_resume_ranks_every_row(run_folder, tmp_path, shape):
    out = tmp_path / "out"
    poses = sorted((run_folder / "poses").iterdir())
    program = ["--scores", run_folder / "scores.csv", "--lower-is-better"]
    status, first, _ = run("rank", NATIVE, *poses[:10], "-o", out, *shape, *program)
    assert status == 0
    status, ranking, _ = run("rank", NATIVE, *poses, "-o", out, "--resume", *shape, *program, "--top", "5")
    assert status == 1  # the broken pose
    status, report, err = run("report", out, *program, "--top", "5")
    assert (status, err) == (0, "")
    assert table_and_summary(report) == table_and_summary(ranking)
    assert f"Models  {len(poses)}: {len(poses) - 1} scored, 1 failed" in report
    assert "... 19 more" in report and "pose_broken.pdb: " in report.split("Failed")[1]
    # A row cut off in mid-write is left out, the rows before it are kept.
    data = out.read_bytes()
    out.write_bytes(data[:-20])
    status, cut, _ = run("report", out)
    assert status == 0 and f"Models  {len(poses) - 1}: " in cut


def test_success_counts_and_spearman_agree_with_a_hand_count(run_folder):
    outcomes = score_one_vs_many(str(NATIVE), [str(path) for path in sorted((run_folder / "poses").iterdir())])
    scored = [entry for entry in ranked([model_entry(outcome) for outcome in outcomes]) if entry["ok"]]
    _, column, scores = read_scores(run_folder / "scores.csv")  # "energy": the only numeric column
    found = program_ranking(scored, "scores.csv", column, scores, lower_is_better=True)
    assert (column, found.matched, found.scored) == ("energy", 24, 24)
    by_energy = sorted(scored, key=lambda entry: scores[entry["model"]])
    successes = [(size, sum(e["CAPRI"] != "Incorrect" for e in by_energy[:size])) for size in (1, 5, 10, 100)]
    assert found.successes == successes and successes[0][1] == 1 and 10 < successes[3][1] < 24
    # Ties take their average rank: x ranks 1, 2.5, 2.5, 4 against y's 1, 2, 3, 4.
    assert spearman([1, 2, 2, 3], [10, 20, 30, 40]) == pytest.approx(4.5 / math.sqrt(4.5 * 5))
    assert math.isnan(spearman([1], [2])) and math.isnan(spearman([1, 1], [1, 2]))
    # Lower energies for better poses: the program agrees with Tarvo, and rho is positive.
    assert found.spearman > 0.9


def test_classes_and_complete_models_ranked_first(write_pdb):
    assert [capri_class(*values) for values in [
        (0.5, 1.0, 9.0), (0.5, 1.01, 1.01), (0.3, 5.0, 5.0), (0.1, 4.0, 10.01), (0.09, 0.1, 0.1),
        (0.2, math.nan, 10.0), (math.nan, 0.1, 0.1),
    ]] == ["High", "Medium", "Medium", "Acceptable", "Incorrect", "Acceptable", "Incorrect"]
    native = write_pdb("native.pdb", TRIANGLE)
    complete = write_pdb("complete.pdb", {"A": TRIANGLE["A"], "B": (0.0, 4.5, 0.6), "C": (0.0, 2.25, 4.5)})
    lacking_c = write_pdb("lacking_c.pdb", {"A": TRIANGLE["A"], "B": TRIANGLE["B"]})
    outcomes = score_one_vs_many(native, [lacking_c, complete])
    assert outcomes[0]["result"]["GlobalTarvo"] > outcomes[1]["result"]["GlobalTarvo"]
    first, second = ranked([model_entry(outcome) for outcome in outcomes])
    assert (first["model"], second["model"]) == (complete, lacking_c)
    assert second["GlobalTarvo_all"] == pytest.approx(outcomes[0]["result"]["best_tarvo"] / 3)
    # The model takes its best interface's CAPRI class, and its mean fnat.
    interfaces = outcomes[1]["result"]["best_result"].values()
    assert first["CAPRI"] == max((capri_class(v["fnat"], v["iRMSD"], v["LRMSD"]) for v in interfaces),
                                 key=("Incorrect", "Acceptable", "Medium", "High").index)
    assert first["fnat"] == pytest.approx(sum(v["fnat"] for v in interfaces) / 3)
    status, table, _ = run("rank", native, lacking_c, complete, "--csv")
    rows = list(csv.DictReader(io.StringIO(table)))
    assert [(row["model"], row["missing_interfaces"]) for row in rows] == [(complete, "0"), (lacking_c, "2")]


def test_failures_stay_in_per_interface_rows_and_usage_mistakes_are_one_line(run_folder, tmp_path):
    broken = run_folder / "poses" / "pose_broken.pdb"
    status, table, _ = run("rank", NATIVE, run_folder / "poses" / "pose_00.pdb", broken, "--per-interface")
    rows = list(csv.DictReader(io.StringIO(table)))
    assert status == 1 and [(row["rank"], bool(row["error"])) for row in rows] == [("1", False), ("", True)]
    assert rows[0]["GlobalTarvo"] and rows[0]["model_CAPRI"] == "High" and rows[1]["model"] == str(broken)
    for args, message in [
        (["report", tmp_path / "none.csv"], "no such file"),
        (["report", NATIVE], "not an output of tarvo rank -o"),
        (["report", NATIVE, "--lower-is-better"], "need --scores FILE.csv"),
        (["report", NATIVE, "--scores", NATIVE], "cannot tell which column"),
        (["rank", NATIVE, broken, "--scores", run_folder / "scores.csv", "--scores-column", "x"], "no column 'x'"),
    ]:
        status, out, err = run(*args)
        assert status in (1, 2) and out == "" and message in err and err.count("\n") == 1, err


def test_progress_shows_rate_and_time_left():
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    ticks = iter([100.0, 100.0, 110.0])
    terminal = Terminal()
    with ProgressBar(1000, terminal, clock=lambda: next(ticks)) as bar:
        bar.update(50)
    assert "50/1000  5.0 models/s  3:10 left" in terminal.getvalue()


def two_model_file(path):
    """2GTP's model twice, as MODEL 1 and MODEL 2 of one file, the second a moved pose."""
    first = (EXAMPLES / "2GTP_model.pdb").read_text().splitlines()
    second = moved(path.with_suffix(".tmp"), 3.0).read_text().splitlines()
    atoms = [[line for line in lines if line.startswith(("ATOM", "HETATM", "TER"))] for lines in (first, second)]
    path.write_text("\n".join(["MODEL        1", *atoms[0], "ENDMDL", "MODEL        2", *atoms[1], "ENDMDL", "END"]) + "\n")
    return path


def test_multi_model_files_are_named_or_scored_pose_by_pose(tmp_path):
    ensemble = two_model_file(tmp_path / "ensemble.pdb")
    status, _, err = run("rank", NATIVE, ensemble, ensemble)
    assert status == 0 and err == (f"tarvo: warning: {ensemble} holds more than one model: only the first model "
                                   f"of each file is scored (--all-models scores every one)\n")
    if "all_models" not in inspect.signature(_tarvo_rs.score_pairs).parameters:
        pytest.skip("the module does not score every MODEL of a file yet")
    out = tmp_path / "out.csv"
    status, _, err = run("rank", NATIVE, ensemble, "--all-models", "-o", out)
    rows = {row["model"]: row for row in csv.DictReader(out.open())}
    assert status == 0 and list(rows) == [f"{ensemble}#1", f"{ensemble}#2"]
    alone = score_one_vs_many(str(NATIVE), [str(EXAMPLES / "2GTP_model.pdb"), str(tmp_path / "ensemble.tmp")])
    assert [float(row["GlobalTarvo"]) for row in rows.values()] == [o["result"]["GlobalTarvo"] for o in alone]
    status, table, _ = run("rank", NATIVE, ensemble, "--all-models", "-o", out, "--resume")
    assert status == 0 and "1 models were already scored" in table and len(out.read_text().splitlines()) == 3


@pytest.mark.parametrize("view", ["--csv", "--jsonl"])
def test_rows_made_while_scoring_print_as_rows_made_from_the_ranking(write_pdb, tmp_path, view):
    from tarvo import cli
    from tarvo._output import ranked_columns, ranked_model_rows_text, rows_text

    native = write_pdb("native.pdb", TRIANGLE)
    odd = write_pdb('odd,"name"\rx.pdb', {"A": TRIANGLE["A"], "B": (0.0, 4.5, 0.6)})
    outcomes = score_one_vs_many(native, [odd, str(tmp_path / "missing.pdb"), native, odd])
    outcomes[3]["result"]["best_result"]["AB"]["iRMSD"] = math.nan  # an undefined score: empty, or null
    make_entry = cli.entry_maker(cli.rank_parser().parse_args([native, odd, view]))
    ordered = ranked([make_entry(outcome) for outcome in outcomes])
    rows = [{**entry, **({"rank": rank} if entry["ok"] else {})} for rank, entry in enumerate(ordered, start=1)]
    assert ranked_model_rows_text(ordered, view == "--jsonl") == \
        rows_text(rows, ranked_columns(False), view == "--jsonl")


def test_model_rows_hold_their_columns_in_order(write_pdb, tmp_path):
    from tarvo._output import MODEL_COLUMNS, model_row

    native = write_pdb("native.pdb", TRIANGLE)
    scored, failed = score_one_vs_many(native, [native, str(tmp_path / "missing.pdb")])
    assert list(model_row(scored)) == list(MODEL_COLUMNS[:-1])
    assert list(model_row(failed)) == ["model", "native", "ok", "error"]
