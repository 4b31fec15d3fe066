"""Scoring on a real local Dask cluster of two worker processes."""

import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("distributed")

import _tarvo_rs
from distributed import Client, LocalCluster

from tarvo import distributed as tarvo_dask

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
GTP_MODEL, GTP_NATIVE = str(EXAMPLES / "2GTP_model.pdb"), str(EXAMPLES / "2GTP_native.pdb")
FN1_MODEL, FN1_NATIVE = str(EXAMPLES / "3FN1_model.pdb"), str(EXAMPLES / "3FN1_native.pdb")
MISSING = str(EXAMPLES / "missing.pdb")

# Scored pairs, unrelated chains and missing files, repeated: failing items must stay in place.
PAIRS = [
    (GTP_MODEL, GTP_NATIVE),
    (MISSING, GTP_NATIVE),
    (FN1_MODEL, FN1_NATIVE),
    (FN1_MODEL, GTP_NATIVE),
    (GTP_NATIVE, MISSING),
    (FN1_NATIVE, FN1_NATIVE),
] * 40
MODELS = [GTP_MODEL, MISSING, GTP_NATIVE, FN1_MODEL] * 25


@pytest.fixture(scope="module")
def client():
    with LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
    ) as cluster, Client(cluster, set_as_default=False) as client:
        yield client


@pytest.fixture(scope="module")
def in_process():
    return _tarvo_rs.score_pairs(PAIRS)


def same(outcomes, expected):
    # repr compares NaN scores as equal, which == on dictionaries does not.
    return repr(outcomes) == repr(expected)


@pytest.mark.parametrize("chunk_size", [1, 7, 64, len(PAIRS) + 1])
def test_pairs_give_the_in_process_outcomes_in_input_order(client, in_process, chunk_size):
    outcomes = tarvo_dask.score_pairs(PAIRS, client=client, chunk_size=chunk_size)
    assert same(outcomes, in_process)
    assert {outcome["ok"] for outcome in outcomes} == {True, False}


@pytest.mark.parametrize(
    "options",
    [{}, {"mapping": "AB:AB"}, {"no_align": True, "allowed_mismatches": 3}, {"small_molecule": True},
     {"groups": "B:A"}],
    ids=["defaults", "mapping", "no-align", "small-molecule", "groups"],
)
def test_one_vs_many_gives_the_in_process_outcomes(client, options):
    outcomes = tarvo_dask.score_one_vs_many(GTP_NATIVE, MODELS, client=client, chunk_size=9, **options)
    assert same(outcomes, _tarvo_rs.score_one_vs_many(GTP_NATIVE, MODELS, **options))


def by_index(received):
    return [outcome for _, outcome in sorted(received, key=lambda item: item[0])]


ITERATIONS = [
    pytest.param(
        lambda client: tarvo_dask.iter_score_pairs(PAIRS, client=client, chunk_size=10),
        lambda: _tarvo_rs.score_pairs(PAIRS),
        id="pairs",
    ),
    pytest.param(
        lambda client: tarvo_dask.iter_score_one_vs_many(FN1_NATIVE, MODELS, client=client, chunk_size=10),
        lambda: _tarvo_rs.score_one_vs_many(FN1_NATIVE, MODELS),
        id="one-vs-many",
    ),
]


@pytest.mark.parametrize("stream, in_process_run", ITERATIONS)
def test_iterator_yields_every_index_once_with_its_outcome(client, stream, in_process_run):
    received = list(stream(client))
    expected = in_process_run()
    assert sorted(index for index, _ in received) == list(range(len(expected)))
    assert same(by_index(received), expected)


def test_empty_input_gives_empty_results(client):
    assert tarvo_dask.score_pairs([], client=client) == []
    assert tarvo_dask.score_one_vs_many(GTP_NATIVE, (), client=client) == []


def test_default_client_is_used(client):
    with client.as_current():
        assert same(tarvo_dask.score_pairs(PAIRS[:3]), _tarvo_rs.score_pairs(PAIRS[:3]))


def test_missing_default_client_is_a_clear_error():
    with pytest.raises(ValueError, match="no Dask client"):
        tarvo_dask.score_pairs(PAIRS[:3])


class RefusingClient:
    """A client that fails the test if anything is submitted to it."""

    def map(self, *args, **kwargs):
        pytest.fail("work was submitted despite bad arguments")


def raised_by(call):
    with pytest.raises(Exception) as caught:
        call()
    exc = caught.value
    return type(exc), str(exc), getattr(exc, "__notes__", [])


BAD_PAIRS_ARGUMENTS = [
    pytest.param(PAIRS, {"allowed_mismatches": -1}, id="negative-mismatches"),
    pytest.param(PAIRS, {"allowed_mismatches": 1.5}, id="float-mismatches"),
    pytest.param(PAIRS, {"no_align": 1}, id="int-flag"),
    pytest.param(PAIRS, {"mapping": 5}, id="int-mapping"),
    pytest.param(PAIRS, {"chains": ["A"]}, id="unknown-option"),
    pytest.param(PAIRS + [{GTP_MODEL, GTP_NATIVE}], {}, id="set-item"),
    pytest.param(PAIRS + [(GTP_MODEL,)], {}, id="short-tuple"),
    pytest.param(PAIRS + [(GTP_MODEL, None)], {}, id="none-path"),
    pytest.param(GTP_MODEL, {}, id="str-pairs"),
    pytest.param(set(PAIRS), {}, id="set-pairs"),
    pytest.param([(GTP_MODEL, 1)], {"no_align": 1}, id="pairs-checked-before-options"),
]


@pytest.mark.parametrize("pairs, options", BAD_PAIRS_ARGUMENTS)
def test_bad_pairs_arguments_fail_before_submission_as_in_the_module(pairs, options):
    ours = raised_by(lambda: tarvo_dask.score_pairs(pairs, client=RefusingClient(), **options))
    assert ours == raised_by(lambda: _tarvo_rs.score_pairs(pairs, **options))


BAD_ONE_VS_MANY_ARGUMENTS = [
    pytest.param(None, MODELS, {}, id="none-native"),
    pytest.param(GTP_NATIVE, GTP_MODEL, {}, id="str-models"),
    pytest.param(GTP_NATIVE, MODELS + [3], {}, id="int-model"),
    pytest.param(GTP_NATIVE, MODELS, {"capri_peptide": "yes"}, id="str-flag"),
    pytest.param(GTP_NATIVE, MODELS, {"allowed_mismatches": -1}, id="negative-mismatches"),
]


@pytest.mark.parametrize("native, models, options", BAD_ONE_VS_MANY_ARGUMENTS)
def test_bad_one_vs_many_arguments_fail_before_submission_as_in_the_module(native, models, options):
    ours = raised_by(
        lambda: tarvo_dask.score_one_vs_many(native, models, client=RefusingClient(), **options)
    )
    assert ours == raised_by(lambda: _tarvo_rs.score_one_vs_many(native, models, **options))


@pytest.mark.parametrize("mapping", ["AB", "AB:", "AB:ABC", "A,A:A,B"])
@pytest.mark.parametrize("run", ["pairs", "one_vs_many"])
def test_bad_mapping_text_fails_at_once_with_the_module_error(mapping, run):
    with pytest.raises(RuntimeError) as caught:
        if run == "pairs":
            tarvo_dask.score_pairs(PAIRS, client=RefusingClient(), mapping=mapping)
        else:
            tarvo_dask.score_one_vs_many(GTP_NATIVE, MODELS, client=RefusingClient(), mapping=mapping)
    expected = _tarvo_rs.score_pairs([(MISSING, MISSING)], mapping=mapping)[0]["error"]
    assert str(caught.value) == expected


@pytest.mark.parametrize("mapping", ["BA:AB", ":AB", "*:AB", "AB*:AB*", "B,A:A,B", ":A,B", ""])
def test_good_mapping_texts_are_accepted(client, mapping):
    outcomes = tarvo_dask.score_pairs(PAIRS[:6], client=client, mapping=mapping)
    assert same(outcomes, _tarvo_rs.score_pairs(PAIRS[:6], mapping=mapping))


@pytest.mark.parametrize("chunk_size", [0, -3])
def test_chunk_size_below_one_is_refused(chunk_size):
    with pytest.raises(ValueError, match="chunk_size"):
        tarvo_dask.score_pairs(PAIRS, client=RefusingClient(), chunk_size=chunk_size)


def test_killed_worker_loses_and_duplicates_no_item(client, in_process):
    pids = client.run(os.getpid)
    stream = tarvo_dask.iter_score_pairs(PAIRS, client=client, chunk_size=4)
    received = [next(stream)]
    # Both workers hold chunks at this point: most of the run is still to come.
    os.kill(next(iter(pids.values())), signal.SIGKILL)
    received += stream
    assert sorted(index for index, _ in received) == list(range(len(PAIRS)))
    assert same(by_index(received), in_process)
    client.wait_for_workers(2, timeout=30)


@pytest.mark.parametrize(
    "statement, expected_error",
    [("import tarvo", None), ("import tarvo.distributed", "pip install 'tarvo[dask]'")],
)
def test_dask_is_needed_only_by_the_distributed_module(statement, expected_error):
    hide_dask = "import sys; sys.modules['dask'] = sys.modules['distributed'] = None; "
    run = subprocess.run(
        [sys.executable, "-c", hide_dask + statement], capture_output=True, text=True, check=False
    )
    if expected_error is None:
        assert run.returncode == 0, run.stderr
    else:
        assert expected_error in run.stderr


@pytest.fixture(scope="module")
def fragile_client():
    """One worker running one chunk at a time; a chunk that kills it fails at once.

    Only the chunk that is running dies with its worker, so no other chunk can be
    blamed for it, and the nanny starts a new worker for the rest.
    """
    import dask

    config = {"distributed.scheduler.allowed-failures": 0, "distributed.scheduler.worker-saturation": 1.0}
    with dask.config.set(config), LocalCluster(
        n_workers=1,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=":0",  # any free port: the other cluster may hold the default
    ) as cluster, Client(cluster, set_as_default=False) as client:
        yield client


SABOTAGED = str(EXAMPLES / "sabotaged.pdb")


@pytest.mark.parametrize(
    "failure, batch_name, expected_error",
    [
        pytest.param("exit", "score_pairs", "worker failed: KilledWorker: ", id="killed-worker"),
        pytest.param(
            "raise", "score_one_vs_many", "worker failed: MemoryError: out of memory", id="raising-batch"
        ),
    ],
)
def test_only_the_item_that_fails_its_worker_fails_and_the_others_are_scored(
    fragile_client, monkeypatch, failure, batch_name, expected_error
):
    if batch_name == "score_pairs":
        leading, items = (), PAIRS[:12] + [(SABOTAGED, GTP_NATIVE)] + PAIRS[:11]
    else:
        leading, items = (GTP_NATIVE,), MODELS[:12] + [SABOTAGED] + MODELS[:11]
    in_process = getattr(_tarvo_rs, batch_name)(*leading, items)

    def sabotaged_batch(*args, **options):
        # Runs on the worker, whose module is not patched.
        if any(SABOTAGED in (item if isinstance(item, str) else item[0]) for item in args[-1]):
            if failure == "exit":
                os._exit(1)
            raise MemoryError("out of memory")
        return getattr(_tarvo_rs, batch_name)(*args, **options)

    monkeypatch.setattr(_tarvo_rs, batch_name, sabotaged_batch)
    iterate = getattr(tarvo_dask, "iter_" + batch_name)
    received = list(iterate(*leading, items, client=fragile_client, chunk_size=4))
    assert sorted(index for index, _ in received) == list(range(len(items)))
    outcomes = by_index(received)
    # Item 12 fails whichever chunk it is in; its chunk-mates 13 to 15 are scored as in the module.
    assert same(outcomes[:12] + outcomes[13:], in_process[:12] + in_process[13:])
    outcome, expected = outcomes[12], in_process[12]
    assert list(outcome) == ["model", "native", "ok", "error"]
    assert (outcome["model"], outcome["native"]) == (expected["model"], expected["native"])
    assert outcome["ok"] is False and outcome["error"].startswith(expected_error)


def test_any_iterable_of_models_gives_the_results_of_a_list(client):
    expected = _tarvo_rs.score_one_vs_many(GTP_NATIVE, MODELS[:8])
    assert same(_tarvo_rs.score_one_vs_many(GTP_NATIVE, iter(MODELS[:8])), expected)
    assert same(tarvo_dask.score_one_vs_many(GTP_NATIVE, (m for m in MODELS[:8]), client=client), expected)
    received = tarvo_dask.iter_score_one_vs_many(GTP_NATIVE, iter(MODELS[:8]), client=client, chunk_size=3)
    assert same(by_index(list(received)), expected)
    # Pairs must be a sequence, in the module as here: an iterator is refused the same way.
    pairs = PAIRS[:4]
    assert raised_by(lambda: tarvo_dask.score_pairs(iter(pairs), client=RefusingClient())) == \
        raised_by(lambda: _tarvo_rs.score_pairs(iter(pairs)))
