"""Repeated calls, successes and failures alike, must not grow the process."""

import sys

import pytest

import _tarvo_rs as t

CALLS = 10_000
# Generous: a leaked dictionary or Structure per call would be several times this.
MAX_GROWTH_BYTES = 8 * 1024 * 1024


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def cases(model, native, missing):
    structure = t.load_PDB(native)
    chain_map = {"A": "A", "B": "B"}

    def expect(error, call):
        def run():
            try:
                call()
            except error:
                pass
            else:
                raise AssertionError("no exception")
        return run

    return {
        "load_PDB": (lambda: t.load_PDB(native, chains=["A", "B"]),
                     expect(RuntimeError, lambda: t.load_PDB(native, n_model=3))),
        "run_on_all_native_interfaces": (
            lambda: t.run_on_all_native_interfaces(structure, structure, chain_map),
            expect(TypeError, lambda: t.run_on_all_native_interfaces(structure, structure, {"A": 1}))),
        "score": (lambda: t.score(model, native),
                  expect(RuntimeError, lambda: t.score(missing, native))),
        "score_pairs": (lambda: t.score_pairs([(model, native), (missing, native)]),
                        expect(ValueError, lambda: t.score_pairs([(model,)]))),
        "score_one_vs_many": (lambda: t.score_one_vs_many(native, [model, missing]),
                              expect(TypeError, lambda: t.score_one_vs_many(native, [model], no_align=1))),
        "iter_score_one_vs_many": (
            lambda: (list(t.iter_score_one_vs_many(native, [model, missing])),
                     next(t.iter_score_one_vs_many(native, [model] * 8))),  # dropped with work left
            expect(TypeError, lambda: t.iter_score_one_vs_many(native, [model], no_align=1))),
        "version": (t.version, expect(TypeError, lambda: t.version(1))),
        "Structure": (lambda: (repr(structure), structure.chain_ids(), "A" in structure, structure.id),
                      expect(TypeError, lambda: 1 in structure)),
    }


@pytest.mark.slow
@pytest.mark.parametrize("name", ["load_PDB", "run_on_all_native_interfaces", "score", "score_pairs",
                                  "score_one_vs_many", "iter_score_one_vs_many", "version", "Structure"])
def test_repeated_calls_do_not_grow_memory(pair, tmp_path, name):
    model, native = pair
    missing = str(tmp_path / "missing.pdb")
    success, failure = cases(model, native, missing)[name]
    for _ in range(100):  # let allocator pools and caches settle first
        success()
        failure()
    references = [sys.getrefcount(obj) for obj in (model, native, missing, t.Structure)]
    before = rss_bytes()
    for _ in range(CALLS // 2):
        success()
        failure()
    growth = rss_bytes() - before
    assert growth < MAX_GROWTH_BYTES, f"{name}: RSS grew by {growth} bytes"
    assert [sys.getrefcount(obj) for obj in (model, native, missing, t.Structure)] == references
