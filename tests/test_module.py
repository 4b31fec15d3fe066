"""The module's contents, argument rules, result dictionaries and exceptions."""

import builtins
import contextlib
import math
import os
import sys
import threading
import time
from pathlib import Path

import pytest

import _tarvo_rs as t
from conftest import EXAMPLES

SMALL_MOLECULE_TEXT = (
    "small-molecule scoring (--small_molecule) is not implemented in this build. The "
    "protein/nucleic-acid core deliberately does not silently fall back; use the reference "
    "Tarvo for ligand poses."
)
INTERFACE_KEYS = [
    "Tarvo", "F1", "iRMSD", "LRMSD", "fnat", "nat_correct", "nat_total", "fnonnat",
    "nonnat_count", "model_total", "clashes", "len1", "len2", "class1", "class2",
    "chain1", "chain2", "is_het",
]
RUN_KEYS = ["model", "native", "best_mapping_str", "best_tarvo", "GlobalTarvo", "best_result", "best_mapping",
            "missing_interfaces", "mapping_exact", "mapping_gap"]
OPTIONS = ("no_align=False, capri_peptide=False, small_molecule=False, mapping=None, allowed_mismatches=0, "
           "groups=None, exact=False")


# --- module contents ---------------------------------------------------------


def test_all_lists_the_contents_in_order():
    assert t.__all__ == [
        "Structure", "load_PDB", "run_on_all_native_interfaces", "score",
        "score_one_vs_many", "score_pairs", "version",
    ]
    assert all(hasattr(t, name) for name in t.__all__)


def test_module_has_a_docstring():
    assert t.__doc__.startswith("Interface quality scores")


def test_internal_error_class_is_not_part_of_the_contents():
    assert "InternalError" not in dir(t)


def test_version():
    assert t.version() == "0.1.0"
    with pytest.raises(TypeError):
        t.version(1)


@pytest.mark.parametrize(
    "name, signature, doc_start",
    [
        ("load_PDB", "(path, chains=Ellipsis, small_molecule=False, n_model=0)",
         "Reads a PDB or mmCIF file (plain or gzip) into a Structure"),
        ("run_on_all_native_interfaces",
         "(model, native, chain_map, no_align=False, capri_peptide=False, low_memory=False)",
         "Scores every native interface under the chain mapping `chain_map`"),
        ("score", f"(model, native, {OPTIONS})", "Scores the model file against the native file"),
        ("score_one_vs_many", f"(native, models, {OPTIONS}, all_models=False)",
         "Scores many model files against one native file"),
        ("score_pairs", f"(pairs, {OPTIONS}, all_models=False)", "Scores (model, native) file pairs in parallel"),
        ("version", "()", ""),
    ],
)
def test_functions_are_bound_builtins_with_signatures(name, signature, doc_start):
    import inspect

    function = getattr(t, name)
    assert str(inspect.signature(function)) == signature
    assert (function.__doc__ or "").startswith(doc_start)
    assert function.__module__ == "_tarvo_rs"
    assert function.__self__ is t
    assert function.__name__ == name


def test_run_on_all_docstring_has_no_language_name():
    doc = t.run_on_all_native_interfaces.__doc__
    assert "(result_mapping, total_tarvo)" in doc and "low_memory" in doc
    assert "Rust" not in doc and "C++" not in doc


# --- argument binding --------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: t.score("m", "n", False, False, False, None, 0, None, False, 1),
         "score() takes from 2 to 9 positional arguments but 10 were given"),
        (lambda: t.load_PDB("p", [], False, 0, 1),
         "load_PDB() takes from 1 to 4 positional arguments but 5 were given"),
        (lambda: t.score("m", "n", colour=1), "score() got an unexpected keyword argument 'colour'"),
        (lambda: t.score("m", "n", model="x"), "score() got multiple values for argument 'model'"),
        (lambda: t.score("m"), "score() missing 1 required positional argument: 'native'"),
        (lambda: t.score(), "score() missing 2 required positional arguments: 'model' and 'native'"),
        (lambda: t.run_on_all_native_interfaces(),
         "run_on_all_native_interfaces() missing 3 required positional arguments: "
         "'model', 'native', and 'chain_map'"),
        (lambda: t.score_pairs(no_align=True), "score_pairs() missing 1 required positional argument: 'pairs'"),
        (lambda: t.score_one_vs_many(models=[], native="n", bad=1),
         "score_one_vs_many() got an unexpected keyword argument 'bad'"),
    ],
)
def test_binding_errors_use_the_interpreters_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_binding_is_checked_before_any_conversion():
    with pytest.raises(TypeError, match="unexpected keyword"):
        t.score(1, 2, x=3)


def test_keywords_bind_like_positionals(pair):
    model, native = pair
    assert repr(t.score(native=native, model=model)) == repr(t.score(model, native))


# --- argument conversion -----------------------------------------------------


class FailingIteration:
    """A sequence whose iteration raises after one item."""

    def __len__(self):
        return 2

    def __getitem__(self, index):
        if index == 0:
            return "A"
        raise KeyError("boom")


class LyingLength:
    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, index):
        if index < 2:
            return "AB"[index]
        raise IndexError


@pytest.mark.parametrize(
    "call, error, message, parameter",
    [
        (lambda p: t.load_PDB(1), TypeError, "'int' object is not an instance of 'str'", "path"),
        (lambda p: t.load_PDB(None), TypeError, "'None' is not an instance of 'str'", "path"),
        (lambda p: t.load_PDB("\ud800"), UnicodeEncodeError, None, "path"),
        (lambda p: t.load_PDB(p, chains=None), TypeError, "'None' is not an instance of 'Sequence'", "chains"),
        (lambda p: t.load_PDB(p, chains="AB"), TypeError, "Can't extract `str` to `Vec`", "chains"),
        (lambda p: t.load_PDB(p, chains={"A"}), TypeError, "'set' object is not an instance of 'Sequence'", "chains"),
        (lambda p: t.load_PDB(p, chains={"A": 1}), TypeError, "'dict' object is not an instance of 'Sequence'", "chains"),
        (lambda p: t.load_PDB(p, chains=iter(["A"])), TypeError,
         "'list_iterator' object is not an instance of 'Sequence'", "chains"),
        (lambda p: t.load_PDB(p, chains=["A", 1]), TypeError, "'int' object is not an instance of 'str'", "chains"),
        (lambda p: t.load_PDB(p, chains=FailingIteration()), KeyError, None, "chains"),
        (lambda p: t.load_PDB(p, small_molecule=1), TypeError, "'int' object is not an instance of 'bool'", "small_molecule"),
        (lambda p: t.load_PDB(p, small_molecule=None), TypeError, "'None' is not an instance of 'bool'", "small_molecule"),
        (lambda p: t.load_PDB(p, n_model=-1), OverflowError, None, "n_model"),
        (lambda p: t.load_PDB(p, n_model=2**64), OverflowError, None, "n_model"),
        (lambda p: t.load_PDB(p, n_model=1.0), TypeError, None, "n_model"),
        (lambda p: t.load_PDB(p, n_model="0"), TypeError, None, "n_model"),
        (lambda p: t.score(p, 2), TypeError, "'int' object is not an instance of 'str'", "native"),
        (lambda p: t.score(p, p, no_align=1), TypeError, "'int' object is not an instance of 'bool'", "no_align"),
        (lambda p: t.score(p, p, capri_peptide="yes"), TypeError, "'str' object is not an instance of 'bool'", "capri_peptide"),
        (lambda p: t.score(p, p, mapping=5), TypeError, "'int' object is not an instance of 'str'", "mapping"),
        (lambda p: t.score(p, p, allowed_mismatches=-3), OverflowError, None, "allowed_mismatches"),
        (lambda p: t.score_pairs("ab"), TypeError, "Can't extract `str` to `Vec`", "pairs"),
        (lambda p: t.score_pairs([{p}]), TypeError, "'set' object is not an instance of 'tuple'", "pairs"),
        (lambda p: t.score_pairs([[p, p, p]]), ValueError, "expected tuple of length 2, but got list of length 3",
         "pairs"),
        (lambda p: t.score_pairs([(p,)]), ValueError, "expected tuple of length 2, but got tuple of length 1", "pairs"),
        (lambda p: t.score_pairs([(p, p, p)]), ValueError, "expected tuple of length 2, but got tuple of length 3", "pairs"),
        (lambda p: t.score_pairs([(p, 3)]), TypeError, "'int' object is not an instance of 'str'", "pairs"),
        (lambda p: t.score_pairs([], small_molecule=0), TypeError, "'int' object is not an instance of 'bool'", "small_molecule"),
        (lambda p: t.score_one_vs_many(p, p), TypeError, "Can't extract `str` to `Vec`", "models"),
        (lambda p: t.score_one_vs_many(p, 7), TypeError, "'int' object is not an instance of 'Iterable'", "models"),
        (lambda p: t.score_one_vs_many(None, []), TypeError, "'None' is not an instance of 'str'", "native"),
    ],
)
def test_conversion_errors_carry_the_parameter_note(pair, call, error, message, parameter):
    with pytest.raises(error) as info:
        call(pair[1])
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_first_failing_parameter_in_signature_order_is_reported():
    with pytest.raises(TypeError) as info:
        t.score(1, 2, no_align=3, mapping=4)
    assert info.value.__notes__ == ["while processing 'model'"]


def test_conversion_stops_before_the_core_runs(tmp_path):
    missing = str(tmp_path / "missing.pdb")
    with pytest.raises(TypeError):
        t.score(missing, missing, allowed_mismatches="x")


@pytest.mark.parametrize(
    "kwargs",
    [
        {"chains": ["A", "B"]},
        {"chains": ("A", "B")},
        {"chains": LyingLength()},
        {"small_molecule": False, "n_model": 0},
    ],
)
def test_accepted_arguments(pair, kwargs):
    assert t.load_PDB(pair[1], **kwargs).chain_ids() == ["A", "B"]


def test_numpy_scalars_are_flags_and_counts(pair):
    np = pytest.importorskip("numpy")
    model, native = pair
    expected = repr(t.score(model, native, no_align=True, allowed_mismatches=1))
    got = t.score(model, native, no_align=np.bool_(True), allowed_mismatches=np.int64(1))
    assert repr(got) == expected
    with pytest.raises(TypeError, match="'float64' object is not an instance of 'bool'"):
        t.score(model, native, no_align=np.float64(1))


def test_str_subclasses_are_texts(pair):
    class Path(str):
        pass

    model, native = pair
    assert t.score(Path(model), Path(native))["model"] == model


# --- exceptions ----------------------------------------------------------------


def test_missing_file_raises_runtime_error_with_path_as_given(tmp_path, pair):
    missing = "no/such/model.pdb"
    with pytest.raises(RuntimeError) as info:
        t.score(missing, pair[1])
    assert str(info.value).startswith(f"I/O error reading {missing}")
    assert len(info.value.args) == 1
    assert info.value.__cause__ is None and not getattr(info.value, "__notes__", None)


def test_small_molecule_refusal_is_a_value_error(pair):
    with pytest.raises(ValueError) as info:
        t.score(*pair, small_molecule=True)
    assert info.value.args == (SMALL_MOLECULE_TEXT,)


def test_model_index_out_of_range(pair):
    with pytest.raises(RuntimeError) as info:
        t.load_PDB(pair[1], n_model=5)
    assert str(info.value) == "model index 5 out of range (structure has 1 model(s))"


def test_malformed_mapping_is_a_runtime_error(pair):
    with pytest.raises(RuntimeError) as info:
        t.score(*pair, mapping="AB")
    assert str(info.value) == "When using --mapping, native chains must be set (e.g. ABC:ABC or :ABC)"


ERROR_CLASSES = [
    ("IoError", RuntimeError), ("ParseError", RuntimeError), ("UnknownFormatError", RuntimeError),
    ("ChainNotFoundError", RuntimeError), ("ModelIndexOutOfRangeError", RuntimeError),
    ("GeometryError", RuntimeError), ("InterfaceSizeMismatchError", RuntimeError),
    ("NoIdenticalNativeChainError", RuntimeError), ("SmallMoleculeUnsupportedError", ValueError),
    ("MappingError", RuntimeError),
]


@pytest.mark.parametrize("name, builtin", ERROR_CLASSES)
def test_each_error_kind_has_its_class_under_the_builtin_callers_catch(name, builtin):
    error_class = getattr(t, name)
    assert issubclass(error_class, t.TarvoError) and issubclass(error_class, builtin)
    assert error_class.__module__ == "_tarvo_rs" and name not in t.__all__


@pytest.mark.parametrize(
    "call, error_class",
    [
        (lambda p: t.score(p[0] + ".missing", p[1]), "IoError"),
        (lambda p: t.load_PDB(p[1], n_model=5), "ModelIndexOutOfRangeError"),
        (lambda p: t.score(*p, mapping="AB"), "MappingError"),
        (lambda p: t.score(*p, small_molecule=True), "SmallMoleculeUnsupportedError"),
    ],
)
def test_errors_are_raised_as_their_kind(pair, call, error_class):
    with pytest.raises(getattr(t, error_class)):
        call(pair)


@pytest.mark.parametrize(
    "args, kwargs, raised, message",
    [
        (("score", "m.pdb", "n.pdb"), {"mapping": "AB"}, "MappingError", "When using --mapping"),
        (("score_pairs", [("m", "n")]), {"mapping": "BA:AB", "no_align": 1}, "TypeError", "'int' object"),
        (("score_pairs", "mn"), {}, "TypeError", "Can't extract `str` to `Vec`"),
        (("score_one_vs_many", "n"), {}, "TypeError",
         "score_one_vs_many() missing 1 required positional argument: 'models'"),
        (("score_one_vs_many", "n", ["m"]), {"allowed_mismatches": -1}, "OverflowError", ""),
        (("score_pairs", []), {"colour": 1}, "TypeError", "score_pairs() got an unexpected keyword"),
        (("rank", []), {}, "ValueError", "check_arguments: function must be"),
    ],
)
def test_check_arguments_raises_what_the_call_would_without_reading(args, kwargs, raised, message):
    error_class = getattr(t, raised, None) or getattr(builtins, raised)
    with pytest.raises(error_class) as info:
        t.check_arguments(*args, **kwargs)
    assert str(info.value).startswith(message)


def test_check_arguments_accepts_good_arguments_without_touching_files():
    assert t.check_arguments("score", "no/such/model.pdb", "no/such/native.pdb", mapping="BA:AB") is None
    assert t.check_arguments("score_pairs", [], mapping=None, allowed_mismatches=3) is None


def test_each_module_object_has_its_own_classes(pair):
    import importlib.util

    other = importlib.util.module_from_spec(importlib.util.find_spec("_tarvo_rs"))
    other.__spec__.loader.exec_module(other)
    assert other.Structure is not t.Structure and other.MappingError is not t.MappingError
    structure = other.load_PDB(pair[1])
    del other
    assert repr(structure).startswith("<tarvo_rs.Structure")  # keeps its module alive
    with pytest.raises(TypeError, match="is not an instance of 'Structure'"):
        t.run_on_all_native_interfaces(structure, structure, {})


# --- result dictionaries ------------------------------------------------------


def test_score_returns_run_result_in_key_order(pair):
    model, native = pair
    result = t.score(model, native)
    assert list(result) == RUN_KEYS
    assert (result["model"], result["native"]) == (model, native)
    assert isinstance(result["best_tarvo"], float) and isinstance(result["GlobalTarvo"], float)
    assert list(result["best_result"]) == ["AB"]
    assert result["best_mapping"] == {"A": "A", "B": "B"}
    assert isinstance(result["best_mapping_str"], str)


def test_interface_dictionary_keys_and_types(pair):
    interface = t.score(*pair)["best_result"]["AB"]
    assert list(interface) == INTERFACE_KEYS
    for key in ("Tarvo", "F1", "iRMSD", "LRMSD", "fnat", "fnonnat"):
        assert type(interface[key]) is float
    for key in ("nat_correct", "nat_total", "nonnat_count", "model_total", "clashes", "len1", "len2"):
        assert type(interface[key]) is int and interface[key] >= 0
    assert interface["is_het"] is False
    assert (interface["chain1"], interface["chain2"]) == ("A", "B")
    assert interface["len1"] == interface["len2"] == 8


def test_mapping_none_is_the_default(pair):
    assert repr(t.score(*pair, mapping=None)) == repr(t.score(*pair))


def test_score_pairs_keeps_order_and_reports_failing_items(pair, tmp_path):
    model, native = pair
    missing = str(tmp_path / "missing.pdb")
    outcomes = t.score_pairs([(model, native), (missing, native), (native, native)])
    assert [list(o) for o in outcomes] == [
        ["model", "native", "ok", "result"],
        ["model", "native", "ok", "error"],
        ["model", "native", "ok", "result"],
    ]
    assert [o["ok"] for o in outcomes] == [True, False, True]
    assert [o["model"] for o in outcomes] == [model, missing, native]
    assert outcomes[1]["error"].startswith(f"I/O error reading {missing}")
    assert repr(outcomes[0]["result"]) == repr(t.score(model, native))
    assert list(outcomes[2]["result"]) == RUN_KEYS


def test_batch_small_molecule_refusal_stays_inside_the_outcome(pair):
    [outcome] = t.score_pairs([pair], small_molecule=True)
    assert outcome == {"model": pair[0], "native": pair[1], "ok": False, "error": SMALL_MOLECULE_TEXT}


def test_score_one_vs_many(pair, tmp_path):
    model, native = pair
    outcomes = t.score_one_vs_many(native, [model, str(tmp_path / "gone.pdb"), native])
    assert [o["native"] for o in outcomes] == [native] * 3
    assert [o["ok"] for o in outcomes] == [True, False, True]


def test_a_batchs_dicts_share_their_key_objects(pair):
    # One interned object per key: marshal then sends a batch to a --workers parent with each key once.
    first, second = (o["result"] for o in t.score_one_vs_many(pair[1], [pair[0], pair[0]]))
    interface_keys = [list(next(iter(r["best_result"].values()))) for r in (first, second)]
    assert all(a is b for a, b in zip(first, second)) and all(a is b for a, b in zip(*interface_keys))
    assert sys.intern("GlobalTarvo") is next(k for k in first if k == "GlobalTarvo")


@pytest.mark.parametrize("call", [lambda: t.score_pairs([]), lambda: t.score_one_vs_many("absent.pdb", [])])
def test_empty_batches_give_empty_lists(call):
    assert call() == []


# --- run_on_all_native_interfaces -------------------------------------------


def test_native_interfaces_keyed_by_chain_tuples(pair):
    model, native = (t.load_PDB(p) for p in pair)
    mapping, total = t.run_on_all_native_interfaces(model, native, {"A": "A", "B": "B"})
    assert list(mapping) == [("A", "B")]
    assert list(mapping[("A", "B")]) == INTERFACE_KEYS
    assert total == mapping[("A", "B")]["Tarvo"]


def test_swapped_chain_map_names_model_chains(write_pdb):
    native = t.load_PDB(write_pdb("n.pdb", {"A": (0, 0, 0), "B": (0, 4.5, 0)}))
    mapping, _ = t.run_on_all_native_interfaces(native, native, {"A": "B", "B": "A"})
    [(key, interface)] = mapping.items()
    assert key == ("A", "B")
    assert (interface["chain1"], interface["chain2"]) == ("B", "A")


def test_native_interface_order_follows_the_chain_map(write_pdb):
    from conftest import TRIANGLE

    structure = t.load_PDB(write_pdb("tri.pdb", TRIANGLE))
    mapping, total = t.run_on_all_native_interfaces(structure, structure, {"C": "C", "A": "A", "B": "B"})
    assert list(mapping) == [("C", "A"), ("C", "B"), ("A", "B")]
    assert total == pytest.approx(sum(i["Tarvo"] for i in mapping.values()))


def test_multi_character_chain_ids_key_by_whole_ids(write_cif):
    structure = t.load_PDB(write_cif("long.cif", {"AA": (0, 0, 0), "B": (0, 4.5, 0)}))
    assert structure.chain_ids() == ["AA", "B"]
    mapping, _ = t.run_on_all_native_interfaces(structure, structure, {"AA": "AA", "B": "B"})
    assert list(mapping) == [("AA", "B")]
    assert (mapping[("AA", "B")]["chain1"], mapping[("AA", "B")]["chain2"]) == ("AA", "B")


def test_empty_chain_map_gives_negative_zero(pair):
    structure = t.load_PDB(pair[1])
    mapping, total = t.run_on_all_native_interfaces(structure, structure, {})
    assert mapping == {}
    assert total == 0.0 and math.copysign(1.0, total) == -1.0


def test_low_memory_has_no_effect(pair):
    model, native = (t.load_PDB(p) for p in pair)
    chain_map = {"A": "A", "B": "B"}
    low = t.run_on_all_native_interfaces(model, native, chain_map, low_memory=True)
    assert repr(low) == repr(t.run_on_all_native_interfaces(model, native, chain_map))


S = object()  # stands for a loaded Structure


@pytest.mark.parametrize(
    "args, kwargs, message, parameter",
    [
        (("s.pdb", S, {}), {}, "'str' object is not an instance of 'Structure'", "model"),
        ((S, None, {}), {}, "'None' is not an instance of 'Structure'", "native"),
        ((S, S, [("A", "B")]), {}, "'list' object is not an instance of 'dict'", "chain_map"),
        ((S, S, {}), {"low_memory": "yes"}, "'str' object is not an instance of 'bool'", "low_memory"),
        ((S, S, {}), {"no_align": 0}, "'int' object is not an instance of 'bool'", "no_align"),
        ((S, S, {"A": 1}), {}, "'int' object is not an instance of 'str'", None),
        ((S, S, {1: "A"}), {}, "'int' object is not an instance of 'str'", None),
        ((S, S, {"A": "A", "B": None}), {}, "'None' is not an instance of 'str'", None),
    ],
)
def test_native_interface_argument_errors(pair, args, kwargs, message, parameter):
    structure = t.load_PDB(pair[1])
    args = tuple(structure if a is S else a for a in args)
    with pytest.raises(TypeError) as info:
        t.run_on_all_native_interfaces(*args, **kwargs)
    assert str(info.value) == message
    expected_notes = [f"while processing '{parameter}'"] if parameter else None
    assert getattr(info.value, "__notes__", None) == expected_notes


def test_flags_are_checked_before_chain_map_entries(pair):
    structure = t.load_PDB(pair[1])
    with pytest.raises(TypeError) as info:
        t.run_on_all_native_interfaces(structure, structure, {"A": 1}, capri_peptide=2)
    assert info.value.__notes__ == ["while processing 'capri_peptide'"]


def test_chain_map_dict_subclass_is_accepted(pair):
    class Ordered(dict):
        pass

    model, native = (t.load_PDB(p) for p in pair)
    mapping, _ = t.run_on_all_native_interfaces(model, native, Ordered(A="A", B="B"))
    assert list(mapping) == [("A", "B")]


def test_unknown_chain_in_chain_map(pair):
    structure = t.load_PDB(pair[1])
    with pytest.raises(RuntimeError, match="chain 'Q' not found in the structure"):
        t.run_on_all_native_interfaces(structure, structure, {"A": "A", "Q": "B"})


def test_hetero_chain_in_chain_map_is_refused(write_pdb):
    path = write_pdb("lig.pdb", {"A": (0, 0, 0), "L": (0, 4.5, 0)}, hetero="L")
    structure = t.load_PDB(path, small_molecule=True)
    with pytest.raises(ValueError) as info:
        t.run_on_all_native_interfaces(structure, structure, {"A": "A", "L": "L"})
    assert str(info.value) == SMALL_MOLECULE_TEXT


# --- threads ---------------------------------------------------------------------


def test_concurrent_score_calls_agree_with_sequential_ones(examples):
    model, native = str(examples / "2GTP_model.pdb"), str(examples / "2GTP_native.pdb")
    expected = repr(t.score(model, native))
    results = [[] for _ in range(2)]

    def work(out):
        for _ in range(3):
            out.append(repr(t.score(model, native)))

    threads = [threading.Thread(target=work, args=(out,)) for out in results]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [[expected] * 3, [expected] * 3]


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs fork")
def test_a_forked_child_scores_without_the_parents_helper_threads(examples):
    import os
    import time

    model, native = str(examples / "2GTP_model.pdb"), str(examples / "2GTP_native.pdb")
    expected = repr(t.score(model, native))  # the parent's helper thread now exists
    child = os.fork()
    if child == 0:
        os._exit(0 if repr(t.score(model, native)) == expected else 3)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        done, status = os.waitpid(child, os.WNOHANG)
        if done:
            assert os.waitstatus_to_exitcode(status) == 0
            return
        time.sleep(0.05)
    os.kill(child, 9)
    os.waitpid(child, 0)
    pytest.fail("the forked child hung waiting for a helper thread it does not have")


def test_package_reexports_the_module_without_optional_imports():
    import subprocess

    code = "import sys, tarvo, _tarvo_rs; " \
           "assert all(getattr(tarvo, n) is getattr(_tarvo_rs, n) for n in _tarvo_rs.__all__); " \
           "assert tarvo.__all__ == _tarvo_rs.__all__ and tarvo.__version__ == '0.1.0'; " \
           "assert not any(m.split('.')[0] in ('dask', 'distributed', 'numpy') for m in sys.modules)"
    subprocess.run([sys.executable, "-c", code], check=True)


# --- paths and iterables --------------------------------------------------------


def test_paths_may_be_pathlike_models_any_iterable_and_pairs_lists(pair):
    from pathlib import Path

    model, native = pair
    expected = t.score(model, native)["GlobalTarvo"]
    assert t.score(Path(model), Path(native))["GlobalTarvo"] == expected
    [outcome] = t.score_one_vs_many(Path(native), (Path(m) for m in [model]))
    assert (outcome["model"], outcome["result"]["GlobalTarvo"]) == (model, expected)
    assert t.score_pairs([[model, native]])[0]["result"]["GlobalTarvo"] == expected
    assert t.load_PDB(Path(native)).id == native


def test_file_names_that_are_not_utf8_are_read_and_given_back(pair, tmp_path):
    import os
    import shutil

    model, native = pair
    odd = os.fsdecode(bytes(tmp_path) + b"/model-\xff.pdb")
    shutil.copy(model, os.fsencode(odd))
    [outcome] = t.score_one_vs_many(native, [odd, odd + ".missing"])[:1]
    assert outcome["ok"] and outcome["model"] == odd
    with pytest.raises(t.IoError) as info:
        t.score(odd + ".missing", native)
    assert odd in str(info.value)


def test_all_models_scores_each_pose_as_its_own_file(tmp_path):
    lines = [line for line in (EXAMPLES / "2GTP_model.pdb").read_text().splitlines() if line.startswith("ATOM")]
    shifted = [f"{line[:30]}{float(line[30:38]) + 2.0:8.3f}{line[38:]}" if line[21] == "B" else line for line in lines]
    poses = [tmp_path / "pose1.pdb", tmp_path / "pose2.pdb"]
    for path, atoms in zip(poses, (lines, shifted)):
        path.write_text("\n".join(atoms) + "\nEND\n")
    ensemble = tmp_path / "ensemble.pdb"
    ensemble.write_text("\n".join(["MODEL        1", *lines, "ENDMDL", "MODEL        2", *shifted, "ENDMDL"]) + "\n")
    native = str(EXAMPLES / "2GTP_native.pdb")
    alone = [t.score(str(path), native) for path in poses]
    for outcomes in (t.score_one_vs_many(native, [str(ensemble)], all_models=True),
                     t.score_pairs([(str(ensemble), native)], all_models=True)):
        assert [(o["model_index"], list(o)) for o in outcomes] == [
            (k, ["model", "native", "model_index", "ok", "result"]) for k in range(2)]
        for outcome, result in zip(outcomes, alone):
            assert repr({**outcome["result"], "model": None}) == repr({**result, "model": None})
    [failed] = t.score_one_vs_many(native, [str(tmp_path / "missing.pdb")], all_models=True)
    assert failed["model_index"] == 0 and not failed["ok"]
    assert "model_index" not in t.score_one_vs_many(native, [str(ensemble)])[0]


def test_iter_score_one_vs_many_hands_on_what_score_one_vs_many_returns(pair, tmp_path):
    model, native = pair
    ensemble = tmp_path / "ensemble.pdb"
    atoms = Path(model).read_text()
    ensemble.write_text(f"MODEL        1\n{atoms}ENDMDL\nMODEL        2\n{atoms}ENDMDL\n")
    models = [model, str(tmp_path / "gone.pdb"), str(ensemble)] * 40
    for options in ({}, {"all_models": True}, {"mapping": "A:B:C"}):
        lists = list(t.iter_score_one_vs_many(native, models, **options))
        pairs = [item for outcomes in lists for item in outcomes]
        expected = t.score_one_vs_many(native, models, **options)
        assert repr([outcome for _, outcome in pairs]) == repr(expected)
        # The files in input order, each file's outcomes (one per MODEL) in one list.
        assert list(dict.fromkeys(index for index, _ in pairs)) == list(range(len(models)))
        assert len(pairs) == len({(k, index) for k, outcomes in enumerate(lists) for index, _ in outcomes})
    assert list(t.iter_score_one_vs_many(native, [])) == []
    with pytest.raises(TypeError, match=r"iter_score_one_vs_many\(\) got an unexpected keyword argument"):
        t.iter_score_one_vs_many(native, [model], bogus=1)
    with pytest.raises(TypeError, match="cannot create"):
        type(t.iter_score_one_vs_many(native, []))()


def test_an_iterator_hands_on_finished_files_while_a_later_one_is_still_read(pair, tmp_path):
    # Python is woken in batches of files; files finished before a slow one must still go on
    # within the signal poll, not wait for the batch to fill.
    model, native = pair
    fifo = tmp_path / "slow.pdb"
    os.mkfifo(fifo)

    def feed():  # once, and only while the scoring has the FIFO open: never blocks
        with contextlib.suppress(OSError):
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            os.write(fd, Path(model).read_bytes())
            os.close(fd)

    stream = t.iter_score_one_vs_many(native, [model] * 3 + [str(fifo)])
    writer = threading.Timer(10, feed)  # a stream that waits for the FIFO still ends
    writer.start()
    try:
        began = time.monotonic()
        first = next(stream)
        assert time.monotonic() - began < 5 and [index for index, _ in first] == [0, 1, 2]
    finally:
        writer.cancel()
        feed()
    assert [index for outcomes in stream for index, _ in outcomes] == [3]


def test_dropping_an_iterator_stops_its_work(pair):
    model, native = pair
    stream = t.iter_score_one_vs_many(native, [model] * 200_000)
    first = next(stream)
    began = time.monotonic()
    del stream
    assert time.monotonic() - began < 10  # all of them take a minute; what is left is cancelled
    assert first[0][0] == 0 and t.score(model, native)["GlobalTarvo"] > 0.8
