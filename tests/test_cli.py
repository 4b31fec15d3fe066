"""The `tarvo` command line, driven in a subprocess against the real extension module."""

import csv
import io
import json
import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _tarvo_rs
from tarvo import cli

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
MODEL = EXAMPLES / "2GTP_model.pdb"
NATIVE = EXAMPLES / "2GTP_native.pdb"

# (model, native, command-line options, the same options as module keywords)
PAIRS = [
    ("2GTP_model.pdb", "2GTP_native.pdb", [], {}),
    ("2GTP_model.pdb", "2GTP_native.pdb", ["--no_align", "--capri_peptide"],
     {"no_align": True, "capri_peptide": True}),
    ("3FN1_model.pdb", "3FN1_native.pdb", ["--allowed_mismatches", "3"], {"allowed_mismatches": 3}),
    ("2XHE.cif", "2XHE.cif", ["--mapping", "BA:BA"], {"mapping": "BA:BA"}),
    ("homo24_native.pdb.gz", "homo24_native.pdb.gz", ["--mapping", ":ABCD"], {"mapping": ":ABCD"}),
    ("2GTP_model.pdb", "2GTP_native.pdb", ["--mapping", "B,A:A,B"], {"mapping": "B,A:A,B"}),
    ("2XHE.cif", "2XHE.cif", ["--groups", "B:A"], {"groups": "B:A"}),
]


def run_cli(*args):
    # The child sees the same modules as this test, however they were put on the path.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    return subprocess.run(
        [sys.executable, "-m", "tarvo", *map(str, args)],
        capture_output=True, text=True, env=env, stdin=subprocess.DEVNULL,
    )


def nan_to_none(value):
    if isinstance(value, dict):
        return {key: nan_to_none(item) for key, item in value.items()}
    if isinstance(value, list):
        return [nan_to_none(item) for item in value]
    return None if isinstance(value, float) and math.isnan(value) else value


@pytest.fixture
def garbage(tmp_path):
    path = tmp_path / "garbage.pdb"
    path.write_text("this is no structure file\n")
    return path


@pytest.mark.parametrize("model, native, options, keywords", PAIRS)
def test_json_equals_module_result(model, native, options, keywords):
    expected = _tarvo_rs.score(str(EXAMPLES / model), str(EXAMPLES / native), **keywords)
    done = run_cli(EXAMPLES / model, EXAMPLES / native, *options, "--json")
    assert done.returncode == 0, done.stderr
    assert "NaN" not in done.stdout
    parsed = json.loads(done.stdout)
    assert parsed == nan_to_none(expected)
    assert list(parsed) == list(expected)


@pytest.mark.parametrize("model, native, options, keywords", PAIRS)
def test_csv_has_one_row_per_interface_with_module_values(model, native, options, keywords):
    expected = _tarvo_rs.score(str(EXAMPLES / model), str(EXAMPLES / native), **keywords)
    done = run_cli(EXAMPLES / model, EXAMPLES / native, *options, "--csv")
    assert done.returncode == 0, done.stderr
    rows = list(csv.DictReader(io.StringIO(done.stdout)))
    assert [row["interface"] for row in rows] == list(expected["best_result"])
    for row in rows:
        interface = expected["best_result"][row["interface"]]
        for key in ("Tarvo", "F1", "iRMSD", "LRMSD", "fnat", "fnonnat"):
            value = interface[key]
            assert row[key] == ("" if math.isnan(value) else repr(value))
        for key in ("nat_correct", "nat_total", "clashes", "len1", "len2"):
            assert int(row[key]) == interface[key]
        assert row["chain1"] + row["chain2"] == interface["chain1"] + interface["chain2"]
        assert row["best_mapping_str"] == expected["best_mapping_str"]


def test_report_shows_mapping_interfaces_and_quality():
    expected = _tarvo_rs.score(str(MODEL), str(NATIVE))
    done = run_cli(MODEL, NATIVE)
    assert done.returncode == 0, done.stderr
    report = done.stdout
    assert expected["best_mapping_str"] in report
    for native_chain, model_chain in expected["best_mapping"].items():
        assert f"native {native_chain} -> model {model_chain}" in report
    for name, interface in expected["best_result"].items():
        row = next(line for line in report.splitlines() if line.startswith(name + " "))
        assert row.split()[1] == interface["chain1"] + interface["chain2"]
        assert row.split()[-2:] == ["Medium", f"{interface['Tarvo']:.3f}"]  # fnat 0.90, iRMSD 1.16 Å
    global_tarvo = expected["GlobalTarvo"]
    assert f"GlobalTarvo  {global_tarvo:.3f}  ({cli.quality_class(global_tarvo)})\nCAPRI        Medium  (its best interface)" in report


def test_reports_show_a_mapping_not_proven_best_with_its_gap():
    from tarvo._output import model_entry
    from tarvo._report import pair_report, rank_report, ranked

    exact = _tarvo_rs.score(str(MODEL), str(NATIVE))
    assert exact["mapping_exact"] is True and exact["mapping_gap"] == 0.0
    found = {**exact, "mapping_exact": False, "mapping_gap": 0.0123}
    assert "best found; a better mapping would add at most 0.012 to the total" in pair_report(found)
    assert "best found" not in pair_report(exact)
    outcomes = [{"model": name, "native": "n", "ok": True, "result": result}
                for name, result in (("m1", exact), ("m2", found))]
    lines = rank_report("n", ranked([model_entry(outcome) for outcome in outcomes])).splitlines()
    header = next(line for line in lines if line.startswith("Rank")).split()
    gaps = [line.split()[header.index("Gap")] for line in lines if line.split()[:1] in (["1"], ["2"])]
    assert gaps == ["exact", "0.012"]


def test_report_shows_groups_as_one_row():
    expected = _tarvo_rs.score(str(MODEL), str(NATIVE), groups="B:A")["best_result"]["B:A"]
    done = run_cli(MODEL, NATIVE, "--groups", "B:A")
    assert done.returncode == 0, done.stderr
    rows = [line.split() for line in done.stdout.splitlines() if line.startswith("B:A ")]
    assert [row[:2] + row[-1:] for row in rows] == [["B:A", "B:A", f"{expected['Tarvo']:.3f}"]]


@pytest.mark.parametrize("fmt", ["text", "--json", "--csv"])
def test_output_option_writes_to_file(tmp_path, fmt):
    target = tmp_path / "out"
    options = [] if fmt == "text" else [fmt]
    done = run_cli(MODEL, NATIVE, *options, "-o", target)
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""
    assert target.read_text() == run_cli(MODEL, NATIVE, *options).stdout


def test_hyphenated_options_read_like_underscore_ones():
    def parsed(*options):
        return vars(cli.pair_parser().parse_args([str(MODEL), str(NATIVE), *options]))

    hyphenated = parsed("--allowed-mismatches", "2", "--no-align", "--capri-peptide", "--small-molecule")
    underscored = parsed("--allowed_mismatches", "2", "--no_align", "--capri_peptide", "--small_molecule")
    assert hyphenated == underscored != parsed()


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["missing.pdb", NATIVE], 2, "missing.pdb: no such file"),
        ([MODEL, EXAMPLES], 2, "is a directory"),
        ([MODEL, NATIVE, "--mapping", "AB"], 2, "--mapping: When using --mapping, native chains must be set"),
        ([MODEL, NATIVE, "--mapping", "AB:ABC"], 2, "--mapping: mapping text \"AB:ABC\": 2 model chains for 3"),
        ([MODEL, NATIVE, "--groups", "AB"], 2, "--groups: groups text \"AB\": not exactly one ':'"),
        (["rank", NATIVE, MODEL, "--groups", "A:"], 2, "--groups: groups text \"A:\": the ligand has no chain"),
        ([MODEL, NATIVE, "--allowed_mismatches", "-1"], 2, "'-1' is not a whole number"),
        ([MODEL, NATIVE, "--json", "--csv"], 2, "not allowed with argument"),
        ([MODEL], 2, "required: NATIVE"),
        (["rank", "missing.pdb", MODEL], 2, "missing.pdb: no such file"),
        (["rank", NATIVE, EXAMPLES / "no_such_*.pdb"], 2, "no files match"),
        (["rank", NATIVE, "@missing_list.txt"], 2, "cannot read model list"),
        (["rank", NATIVE, MODEL, "--workers", "0"], 2, "'0' is not a whole number"),
    ],
)
def test_usage_mistakes_give_one_error_line(args, status, message):
    done = run_cli(*args)
    assert done.returncode == status
    assert done.stdout == ""
    assert done.stderr.startswith("tarvo: error: ")
    assert done.stderr.count("\n") == 1
    assert message in done.stderr


@pytest.mark.parametrize(
    "args, call",
    [
        (["{garbage}", NATIVE], lambda garbage: _tarvo_rs.score(str(garbage), str(NATIVE))),
        ([NATIVE, "{garbage}"], lambda garbage: _tarvo_rs.score(str(NATIVE), str(garbage))),
        (
            [EXAMPLES / "1gid.cif", EXAMPLES / "1gid.cif"],
            lambda garbage: _tarvo_rs.score(*[str(EXAMPLES / "1gid.cif")] * 2),
        ),
        (
            [MODEL, NATIVE, "--small_molecule"],
            lambda garbage: _tarvo_rs.score(str(MODEL), str(NATIVE), small_molecule=True),
        ),
        (
            [MODEL, NATIVE, "--mapping", "AB:AZ"],
            lambda garbage: _tarvo_rs.score(str(MODEL), str(NATIVE), mapping="AB:AZ"),
        ),
    ],
)
def test_scoring_failure_reports_module_message(garbage, args, call):
    with pytest.raises((RuntimeError, ValueError)) as raised:
        call(garbage)
    done = run_cli(*(str(arg).format(garbage=garbage) for arg in args))
    assert done.returncode == 1
    assert done.stderr == f"tarvo: error: {raised.value}\n"


def test_rank_lists_best_first_and_failures_last(garbage):
    done = run_cli("rank", NATIVE, MODEL, NATIVE, garbage, "--json")
    assert done.returncode == 1
    assert done.stderr == ""
    outcomes = json.loads(done.stdout)
    assert [outcome["model"] for outcome in outcomes] == [str(NATIVE), str(MODEL), str(garbage)]
    assert outcomes[0]["result"]["GlobalTarvo"] == pytest.approx(1.0)
    assert outcomes[2]["ok"] is False
    expected = _tarvo_rs.score_one_vs_many(str(NATIVE), [str(MODEL), str(NATIVE), str(garbage)])
    assert sorted(outcomes, key=lambda o: o["model"]) == sorted(
        nan_to_none(expected), key=lambda o: o["model"]
    )


def test_rank_report_and_csv_follow_the_same_order(garbage):
    report = run_cli("rank", NATIVE, MODEL, garbage, NATIVE).stdout.splitlines()
    rows = [line.split() for line in report if line[:1] == " " and line.split()[0].isdigit()]
    assert [(row[0], row[-1]) for row in rows] == [("1", str(NATIVE)), ("2", str(MODEL))]
    assert rows[0][1:5] == ["1.000", "1.000", "High", "High"]
    assert report[-2] == "Failed" and report[-1].startswith(f"  {garbage}: ")

    table = run_cli("rank", NATIVE, MODEL, garbage, NATIVE, "--csv")
    rows = list(csv.DictReader(io.StringIO(table.stdout)))
    assert [(row["rank"], row["model"], row["ok"]) for row in rows] == [
        ("1", str(NATIVE), "True"), ("2", str(MODEL), "True"), ("", str(garbage), "False"),
    ]
    assert rows[2]["error"] and rows[2]["GlobalTarvo"] == ""


def test_rank_gathers_models_from_directory_glob_and_list(tmp_path):
    folder = tmp_path / "models"
    folder.mkdir()
    for name in ("a.pdb", "b.ent", "notes.txt"):
        shutil.copy(MODEL, folder / name)
    extra = tmp_path / "extra_1.pdb"
    shutil.copy(MODEL, extra)
    listing = tmp_path / "list.txt"
    listing.write_text(f"# models to score\n\n{NATIVE}\n{folder / 'a.pdb'}\n")

    done = run_cli("rank", NATIVE, folder, tmp_path / "extra_*.pdb", f"@{listing}", "--csv")
    assert done.returncode == 0, done.stderr
    models = sorted(row["model"] for row in csv.DictReader(io.StringIO(done.stdout)))
    listed = [folder / "a.pdb", folder / "b.ent", extra, NATIVE, folder / "a.pdb"]
    assert models == sorted(map(str, listed))


@pytest.mark.parametrize("all_models", [[], ["--all-models"]], ids=["first-models", "all-models"])
def test_rank_on_local_workers_matches_local_ranking(tmp_path, garbage, all_models):
    atoms = [line for line in MODEL.read_text().splitlines() if line.startswith(("ATOM", "TER"))]
    ensemble = tmp_path / "ensemble.pdb"
    ensemble.write_text("\n".join(["MODEL        1", *atoms, "ENDMDL", "MODEL        2", *atoms, "ENDMDL", "END\n"]))
    # Scored models, two poses in one file, garbage, a missing file and unrelated chains, over several chunks.
    inputs = [MODEL, ensemble, garbage, tmp_path / "missing.pdb", EXAMPLES / "3FN1_model.pdb"] * 10
    local = run_cli("rank", NATIVE, *inputs, "--json", *all_models)
    assert local.returncode == 1
    for workers in ("1", "2"):
        on_workers = run_cli("rank", NATIVE, *inputs, "--json", *all_models, "--workers", workers)
        assert (on_workers.returncode, on_workers.stdout, on_workers.stderr) == \
            (local.returncode, local.stdout, local.stderr)


def test_local_scoring_holds_back_only_the_first_models(monkeypatch):
    # The first list must be long enough to tell a failing native from models that fail alone.
    from tarvo import _scoring

    monkeypatch.setenv("TARVO_NUM_THREADS", "2")
    monkeypatch.setattr(_scoring, "iter_score_one_vs_many",
                        lambda native, files, **options: ([(k, {"ok": True})] for k in range(len(files))))
    chunks = list(_scoring.score_locally(None, "native.pdb", [f"{k}.pdb" for k in range(40)], {}))
    assert [len(chunk) for chunk in chunks] == [32] + [1] * 8
    assert [index for chunk in chunks for index, _ in chunk] == list(range(40))
    assert [len(chunk) for chunk in _scoring.score_locally(None, "native.pdb", ["a.pdb"] * 5, {})] == [5]


@pytest.mark.parametrize("where", [[], ["--workers", "1"]], ids=["in-process", "workers"])
def test_a_ranking_pauses_the_collector_and_turns_it_back_on(monkeypatch, where):
    import gc

    enabled = []
    model_entry = cli.model_entry
    monkeypatch.setattr(cli, "model_entry", lambda outcome: enabled.append(gc.isenabled()) or model_entry(outcome))
    assert cli.main(["rank", str(NATIVE), str(MODEL), "--csv", *where]) == 0
    assert enabled and not any(enabled) and gc.isenabled()


def test_missing_dask_is_one_line_with_install_hint_and_workers_need_none(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "dask.distributed", None)
    assert cli.main(["rank", str(NATIVE), str(MODEL), "--scheduler", "tcp://127.0.0.1:8786"]) == 1
    assert capsys.readouterr().err == "tarvo: error: --scheduler needs Dask: pip install 'tarvo[dask]'\n"
    assert cli.main(["rank", str(NATIVE), str(MODEL), "--workers", "1", "--csv"]) == 0


def test_progress_bar_is_drawn_only_on_a_terminal():
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    terminal, pipe = Terminal(), io.StringIO()
    for stream in (terminal, pipe):
        with cli.ProgressBar(4, stream) as bar:
            bar.update(2)
    assert "2/4" in terminal.getvalue() and terminal.getvalue().endswith("\r\033[K")
    assert pipe.getvalue() == ""


@pytest.mark.parametrize(
    "value, name",
    [
        (0.0, "Incorrect"), (0.2299, "Incorrect"), (0.23, "Acceptable"), (0.4899, "Acceptable"),
        (0.49, "Medium"), (0.7999, "Medium"), (0.80, "High"), (1.0, "High"),
        (math.nan, "no interfaces"),
    ],
)
def test_quality_class_boundaries(value, name):
    assert cli.quality_class(value) == name


def test_version_and_help():
    version = run_cli("--version")
    assert version.returncode == 0
    assert version.stdout == f"tarvo {_tarvo_rs.version()}\n"
    for args, options in [
        (["--help"], ["--mapping", "--allowed_mismatches", "--no_align", "--capri_peptide",
                      "--small_molecule", "--json", "--csv", "--output", "tarvo rank"]),
        (["rank", "--help"], ["--scheduler", "--workers", "@FILE", "--json", "--csv"]),
    ]:
        done = run_cli(*args)
        assert done.returncode == 0
        assert "examples:" in done.stdout
        for option in options:
            assert option in done.stdout


@pytest.mark.parametrize("columns, width", [("60", 58), ("abc", 78), ("0", 78)])
def test_help_is_sized_by_columns_and_parsing_imports_no_shutil(columns, width):
    # Without a terminal, COLUMNS decides, and a value that is no width falls back to 80.
    code = ("import sys, contextlib, io; from tarvo import cli; cli.rank_parser().parse_args(['n', 'm'])\n"
            "assert 'shutil' not in sys.modules, 'shutil imported'\n"
            "with contextlib.redirect_stdout(io.StringIO()) as out, contextlib.suppress(SystemExit):\n"
            "    cli.rank_parser().parse_args(['--help'])\n"
            "print(out.getvalue())")
    env = {**os.environ, "COLUMNS": columns, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    options = done.stdout.split("options:\n")[1].split("examples:")[0].splitlines()
    assert width - 8 < max(map(len, options)) <= width


def test_unscored_native_interfaces_are_warned_about_and_counted(write_pdb):
    native = write_pdb("native.pdb", {"A": (0.0, 0.0, 0.0), "B": (0.0, 4.5, 0.0), "C": (0.0, 2.25, 3.9)})
    model = write_pdb("model.pdb", {"A": (0.0, 0.0, 0.0), "B": (0.0, 4.5, 0.6)})
    done = run_cli(model, native)
    assert done.returncode == 0
    assert done.stderr.splitlines() == [
        f"tarvo: warning: native interface {name} not scored: native chain C has no model chain"
        for name in ("AC", "BC")
    ]
    report = run_cli("rank", native, model).stdout.splitlines()
    header = next(line for line in report if line.startswith("Rank"))
    row = next(line for line in report if line.split()[:1] == ["1"])
    assert "Missing" in header.split()
    assert row.split()[header.split().index("Missing")] == "2"
    table = run_cli("rank", native, model, "--csv")
    assert [row["missing_interfaces"] for row in csv.DictReader(io.StringIO(table.stdout))] == ["2"]


def test_fixed_pairs_of_unlike_chains_are_scored_with_a_warning():
    warned = run_cli(EXAMPLES / "3FN1_model.pdb", NATIVE, "--mapping", "AB:AB")
    assert warned.returncode == 0
    assert warned.stderr.splitlines() == [
        "tarvo: warning: --mapping pairs native chain A with model chain A, whose sequences differ at 106 "
        "positions (allowed: 0); scored as given",
        "tarvo: warning: --mapping pairs native chain B with model chain B, whose sequences differ at 66 "
        "positions (allowed: 0); scored as given",
    ]
    assert run_cli(MODEL, NATIVE, "--mapping", "AB:AB").stderr == ""
