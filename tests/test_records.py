"""Flat per-interface records and DataFrames of results and outcomes."""

import math
import subprocess
import sys

import pytest

import tarvo
from conftest import EXAMPLES, TRIANGLE
from tarvo._report import INTERFACE_KEYS

KEYS = ["model", "native", "ok", "error", "GlobalTarvo", "best_mapping_str", "interface", *INTERFACE_KEYS]


GTP = str(EXAMPLES / "2GTP_model.pdb"), str(EXAMPLES / "2GTP_native.pdb")


@pytest.fixture
def ranking(write_pdb):
    """Outcomes of a two-chain model, a missing file and a three-chain complex."""
    model, native = GTP
    triangle = write_pdb("triangle.pdb", TRIANGLE)
    return tarvo.score_pairs([(model, native), (model + ".missing", native), (triangle, triangle)])


def expected_interface_record(outcome, name):
    result = outcome["result"]
    return {
        "model": outcome["model"], "native": outcome["native"], "ok": True, "error": None,
        "GlobalTarvo": result["GlobalTarvo"], "best_mapping_str": result["best_mapping_str"],
        "interface": name, **result["best_result"][name],
    }


def test_records_of_a_ranking_are_flat_in_order_with_one_row_per_interface(ranking):
    gtp_ok, missing, triangle = ranking
    records = tarvo.to_records(ranking)
    assert all(list(record) == KEYS for record in records)
    assert [(record["model"], record["interface"]) for record in records] == [
        (gtp_ok["model"], "AB"),
        (missing["model"], None),
        (triangle["model"], "AB"), (triangle["model"], "AC"), (triangle["model"], "BC"),
    ]
    assert records[0] == expected_interface_record(gtp_ok, "AB")
    assert records[3] == expected_interface_record(triangle, "AC")
    assert records[1] == dict.fromkeys(KEYS) | {
        "model": missing["model"], "native": missing["native"], "ok": False, "error": missing["error"],
    }


def test_a_result_without_interfaces_gives_one_record_without_interface_fields(ranking):
    # The scorer refuses natives without interfaces today; the record must still be flat if one comes.
    result = dict(ranking[0]["result"], GlobalTarvo=math.nan, best_result={})
    (record,) = tarvo.to_records({**ranking[0], "result": result})
    assert list(record) == KEYS
    assert record["ok"] is True and record["error"] is None and math.isnan(record["GlobalTarvo"])
    assert record["model"] == result["model"] and record["best_mapping_str"] == result["best_mapping_str"]
    assert all(record[key] is None for key in ["interface", *INTERFACE_KEYS])


def test_single_result_single_outcome_and_generators_are_accepted(ranking):
    result = tarvo.score(*GTP)
    from_result = tarvo.to_records(result)
    assert from_result == [expected_interface_record({"result": result, **result}, "AB")]
    assert tarvo.to_records(ranking[0]) == from_result
    assert tarvo.to_records(ranking[1])[0]["error"] == ranking[1]["error"]
    assert tarvo.to_records(outcome for outcome in ranking) == tarvo.to_records(ranking)
    assert tarvo.to_records([result, ranking[1]]) == from_result + tarvo.to_records(ranking[1])
    assert tarvo.to_records([]) == []


@pytest.mark.parametrize("value", ["outcomes.json", 3, [("model.pdb", "native.pdb")]])
def test_anything_but_results_and_outcomes_is_a_type_error(value):
    with pytest.raises(TypeError, match="to_records"):
        tarvo.to_records(value)


def test_frame_has_the_record_columns_and_rows(ranking):
    pandas = pytest.importorskip("pandas")
    frame = tarvo.to_frame(ranking)
    assert isinstance(frame, pandas.DataFrame)
    assert list(frame.columns) == KEYS and len(frame) == 5
    assert frame["interface"].isna().tolist() == [False, True, False, False, False]
    assert frame["model"].tolist() == [record["model"] for record in tarvo.to_records(ranking)]
    assert frame.loc[0, "fnat"] == ranking[0]["result"]["best_result"]["AB"]["fnat"]
    assert list(tarvo.to_frame([]).columns) == KEYS


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=False)


def test_pandas_and_matplotlib_are_imported_only_when_asked_for():
    run = run_python(
        "import sys, tarvo, tarvo._plot; "
        "assert not {'pandas', 'matplotlib'} & {m.split('.')[0] for m in sys.modules}, 'imported'"
    )
    assert run.returncode == 0, run.stderr
    run = run_python("import sys; sys.modules['pandas'] = None; import tarvo; tarvo.to_frame([])")
    assert "ImportError: to_frame needs pandas: pip install 'tarvo[pandas]'" in run.stderr
