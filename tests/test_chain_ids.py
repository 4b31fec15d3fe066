"""Chain ids of any length: their text form, strict mapping texts, and what a run could not score."""

import math

import pytest

import _tarvo_rs as t

# Four strands: A-B, A-C, B-C, B-D and C-D touch, A and D do not.
FOUR = [(0.0, 0.0, 0.0), (0.0, 4.5, 0.0), (0.0, 2.25, 3.9), (0.0, 6.75, 3.9)]
TRIANGLE = FOUR[:3]
OTHER = ("GLY", "TRP", "LEU", "PHE", "MET", "PRO", "ASN", "GLN")
FORM = "B2,AA:A,B"  # every mapping-text error shows the comma form among its examples


def placed(ids, positions, moved=None):
    """Chain id -> origin; the chain `moved` shifted by 0.6 Å so the model is not the native."""
    return {i: (x, y, z + (0.6 if i == moved else 0.0)) for i, (x, y, z) in zip(ids, positions)}


def renamed(result, names):
    """The result of a one-character run written with the long ids `names` maps to."""

    def interface(values):
        return {**values, "chain1": names[values["chain1"]], "chain2": names[values["chain2"]]}

    def name_of(key):
        return f"{names[key[0]]},{names[key[1]]}"

    return {
        "best_mapping": {names[n]: names[m] for n, m in result["best_mapping"].items()},
        "best_result": {name_of(k): interface(v) for k, v in result["best_result"].items()},
        "missing_interfaces": [name_of(k) for k in result["missing_interfaces"]],
        "best_tarvo": result["best_tarvo"],
        "GlobalTarvo": result["GlobalTarvo"],
    }


# --- one text form for chain lists -------------------------------------------------


def test_long_ids_score_exactly_as_one_character_ids(write_cif):
    long_ids, short_ids = ["A", "AA", "AB", "B"], ["A", "C", "D", "B"]
    names = dict(zip(short_ids, long_ids))
    long_run = t.score(write_cif("m.cif", placed(long_ids, FOUR, "AB")), write_cif("n.cif", placed(long_ids, FOUR)))
    short_run = t.score(write_cif("ms.cif", placed(short_ids, FOUR, "D")),
                        write_cif("ns.cif", placed(short_ids, FOUR)))
    assert short_run["best_mapping_str"] == "ACDB:ACDB"
    assert long_run["best_mapping_str"] == "A,AA,AB,B:A,AA,AB,B"
    assert list(long_run["best_result"]) == ["A,AA", "A,AB", "AA,AB", "AA,B", "AB,B"]
    expected = renamed(short_run, names)
    assert {key: long_run[key] for key in expected} == expected
    assert long_run["GlobalTarvo"] < 1.0


def test_interface_names_of_long_ids_never_collide(write_cif):
    # Two dimers, A-BC and AB-C: joined without a separator both would be named "ABC".
    native = {"AB": (0.0, 0.0, 20.0), "C": (0.0, 4.5, 20.0), "A": (0.0, 0.0, 0.0), "BC": (0.0, 4.5, 0.0)}
    model = {**native, "C": (30.0, 4.5, 20.0)}  # chain C misplaced, out of every contact
    result = t.score(write_cif("m.cif", model), write_cif("n.cif", native))
    assert sorted(result["best_result"]) == ["A,BC", "AB,C"]
    assert result["GlobalTarvo"] < 0.9


@pytest.mark.parametrize(
    "mapping, model_ids, native_ids, expected",
    [
        # Native A is fixed to model B2 although AA lies where A does.
        ("B2,AA:A,B", ["AA", "B2"], ["A", "B"], {"A": "B2", "B": "AA"}),
        # A lone "*" is the wildcard: H and L fixed crosswise, GG searched.
        ("L,H,*:H,L,*", ["H", "L", "GG"], ["H", "L", "GG"], {"H": "L", "L": "H", "GG": "GG"}),
        # Native chains only: GG takes no part.
        (":A,B", ["A", "B", "GG"], ["A", "B", "GG"], {"A": "A", "B": "B"}),
        ("*:A,B", ["A", "B", "GG"], ["A", "B", "GG"], {"A": "A", "B": "B"}),
    ],
)
def test_comma_mapping_texts(write_cif, mapping, model_ids, native_ids, expected):
    model = write_cif("m.cif", placed(model_ids, TRIANGLE))
    native = write_cif("n.cif", placed(native_ids, TRIANGLE))
    result = t.score(model, native, mapping=mapping)
    assert result["best_mapping"] == expected
    assert result["best_mapping_str"] == ",".join(expected.values()) + ":" + ",".join(expected)
    [outcome] = t.score_pairs([(model, native)], mapping=mapping)
    assert outcome["result"]["best_mapping"] == expected


# --- strict mapping texts ----------------------------------------------------------


@pytest.mark.parametrize(
    "mapping, what",
    [
        ("AB:ABC", "2 model chains for 3 native chains"),
        ("A,B:A,B,C", "2 model chains for 3 native chains"),
        ("AB:C:D", "more than one ':'"),
        ("A B:AB", "white space"),
        ("AB:AB ", "white space"),
        ("AA:AB", 'model chain "A" is named twice'),
        ("AB:AA", 'native chain "A" is named twice'),
        ("B2,B2:A,B", 'model chain "B2" is named twice'),
        ("A,,B:A,B,C", "an empty chain id"),
        ("A*,B:A,B", "\"A*\" holds '*'"),
    ],
)
def test_malformed_mapping_texts_are_refused(mapping, what):
    with pytest.raises(t.MappingError) as info:
        t.check_arguments("score", "m.pdb", "n.pdb", mapping=mapping)
    message = str(info.value)
    assert what in message
    assert FORM in message


@pytest.mark.parametrize("mapping", ["A B:AB", "AB:C:D", "A*,B:A,B"])
def test_characters_that_cannot_name_a_chain_are_explained(mapping):
    with pytest.raises(t.MappingError, match="cannot be named in a mapping text"):
        t.check_arguments("score", "m.pdb", "n.pdb", mapping=mapping)


@pytest.mark.parametrize("mapping", ["AB:AB", "B2,AA:A,B", "H,L,*:H,L,*", ":A,B", "*:AB", ":AAB", "A**:A**",
                                     "AB*:AB*", "ÅB:AB", "*A:BA", ":*"])
def test_well_formed_mapping_texts_are_accepted(mapping):
    assert t.check_arguments("score", "m.pdb", "n.pdb", mapping=mapping) is None


@pytest.mark.parametrize(
    "mapping, side, chains",
    [
        ("A,ZZ:A,BB", "model", '["A", "BB", "CC"]'),
        ("A,BB:A,ZZ", "native", '["A", "BB"]'),
    ],
)
def test_a_missing_chain_names_its_structure_and_lists_its_chains(write_cif, mapping, side, chains):
    paths = {
        "model": write_cif("m.cif", placed(["A", "BB", "CC"], TRIANGLE)),
        "native": write_cif("n.cif", placed(["A", "BB"], TRIANGLE)),
    }
    with pytest.raises(t.ChainNotFoundError) as info:
        t.score(paths["model"], paths["native"], mapping=mapping)
    assert str(info.value) == (f"chain 'ZZ' not found in the structure: the {side} \"{paths[side]}\" "
                               f"has the chains {chains}")


def test_a_missing_chain_of_a_chain_map_names_its_structure(write_cif):
    native = t.load_PDB(write_cif("n.cif", placed(["A", "BB"], TRIANGLE)))
    with pytest.raises(t.ChainNotFoundError) as info:
        t.run_on_all_native_interfaces(native, native, {"A": "A", "QQ": "BB"})
    assert str(info.value).endswith(f"the native \"{native.id}\" has the chains [\"A\", \"BB\"]")


# --- what was not scored -----------------------------------------------------------


@pytest.mark.parametrize(
    "model_ids, native_ids, mapping, missing",
    [
        (["A", "B"], ["A", "B", "C"], None, ["AC", "BC"]),
        (["A", "B", "C"], ["A", "B", "C"], None, []),
        (["A", "B"], ["A", "B", "C"], ":AB", []),  # C takes no part
        (["A", "BB"], ["A", "BB", "CC"], None, ["A,CC", "BB,CC"]),
        (["A", "C"], ["A", "B", "C", "D"], None, ["AC", "BC", "BD", "CD"]),  # A-D touch not
    ],
)
def test_native_interfaces_without_a_model_chain_are_listed(write_cif, model_ids, native_ids, mapping, missing):
    model = write_cif("m.cif", placed(model_ids, FOUR))
    native = write_cif("n.cif", placed(native_ids, FOUR))
    result = t.score(model, native, mapping=mapping)
    assert result["missing_interfaces"] == missing
    assert list(result)[-3:] == ["missing_interfaces", "mapping_exact", "mapping_gap"]
    scores = [values["Tarvo"] for values in result["best_result"].values()]
    assert result["GlobalTarvo"] == pytest.approx(sum(scores) / len(scores))
    [outcome] = t.score_one_vs_many(native, [model], mapping=mapping)
    assert outcome["result"]["missing_interfaces"] == missing


# --- a sequence that matches no native chain -----------------------------------------


def test_no_identical_chain_names_the_closest_one_and_its_mismatches(write_pdb):
    mutated = OTHER[:2] + ("HIS",) + OTHER[3:]
    native = write_pdb("n.pdb", {"A": TRIANGLE[0], "B": TRIANGLE[1]}, sequences={"B": OTHER})
    model = write_pdb("m.pdb", {"A": TRIANGLE[0], "B": TRIANGLE[1]}, sequences={"B": mutated})
    with pytest.raises(t.NoIdenticalNativeChainError) as info:
        t.score(model, native)
    message = str(info.value)
    assert message.startswith('no identical corresponding native chain found for: ["B"]')
    assert "native chain B and model chain B" in message
    assert "1 mismatch (native/model: B3 LEU/HIS)" in message
    assert "allowed_mismatches=1 (or --allowed_mismatches 1)" in message
    assert not math.isnan(t.score(model, native, allowed_mismatches=1)["GlobalTarvo"])


def test_at_most_three_mismatches_are_shown(write_pdb):
    mutated = ("HIS",) * 5 + OTHER[5:]
    native = write_pdb("n.pdb", {"A": TRIANGLE[0], "B": TRIANGLE[1]}, sequences={"B": OTHER})
    model = write_pdb("m.pdb", {"A": TRIANGLE[0], "B": TRIANGLE[1]}, sequences={"B": mutated})
    with pytest.raises(t.NoIdenticalNativeChainError) as info:
        t.score(model, native)
    assert "5 mismatches (native/model: B1 GLY/HIS, B2 TRP/HIS, B3 LEU/HIS, ...)" in str(info.value)
    assert "allowed_mismatches=5 (or --allowed_mismatches 5)" in str(info.value)


def test_ids_that_cannot_be_named_are_refused_and_chain_maps_keep_every_interface(write_cif):
    # "A" with "B,C" and "A,B" with "C" would both be the interface "A,B,C".
    ids = ["A", "B,C", "A,B", "C"]
    path = write_cif("n.cif", placed(ids, FOUR))
    with pytest.raises(t.MappingError, match='native chain "B,C" holds ","'):
        t.score(path, path)
    structure = t.load_PDB(path)
    result, total = t.run_on_all_native_interfaces(structure, structure, {i: i for i in ids})
    assert list(result) == [("A", "B,C"), ("A", "A,B"), ("B,C", "A,B"), ("B,C", "C"), ("A,B", "C")]
    assert total == sum(values["Tarvo"] for values in result.values())


def test_groups_chains_are_read_whatever_the_mapping_names(write_pdb):
    native = write_pdb("n.pdb", {"A": (0.0, 0.0, 0.0), "B": (0.0, 4.5, 0.0)})
    result = t.score(native, native, groups="A:B", mapping="A:A")
    assert list(result["best_result"]) == ["A:B"] and result["best_mapping"] == {"A": "A", "B": "B"}


def test_a_model_without_the_middle_chain_says_so(write_pdb):
    line = {"A": (0.0, 0.0, 0.0), "B": (0.0, 4.5, 0.0), "C": (0.0, 9.0, 0.0)}  # A-B and B-C touch
    native = write_pdb("n.pdb", line, sequences={"B": OTHER})
    model = write_pdb("m.pdb", {"A": line["A"], "C": line["C"]})
    with pytest.raises(t.MappingError, match=r"No native interface could be scored: every one \(AB, BC\)"):
        t.score(model, native)
