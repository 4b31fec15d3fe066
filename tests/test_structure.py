"""The Structure class returned by load_PDB."""

import os

import pytest

import _tarvo_rs as t


@pytest.fixture
def structure(pair):
    return t.load_PDB(pair[1])


def test_repr_quotes_id_and_chains(write_pdb, tmp_path, monkeypatch):
    write_pdb("model.pdb", {"A": (0, 0, 0), "B": (0, 4.5, 0)})
    monkeypatch.chdir(tmp_path)
    structure = t.load_PDB("model.pdb")
    assert repr(structure) == '<tarvo_rs.Structure id="model.pdb" chains=["A", "B"]>'
    assert structure.id == "model.pdb"


@pytest.mark.parametrize("name", ['we"ird.pdb', "back\\slash.pdb", "tab\there.pdb"])
def test_repr_escapes_id_but_id_is_unchanged(write_pdb, name):
    path = write_pdb(name, {"A": (0, 0, 0)})
    structure = t.load_PDB(path)
    assert structure.id == path
    escaped = path.replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t")
    assert repr(structure) == f'<tarvo_rs.Structure id="{escaped}" chains=["A"]>'


def test_relative_path_is_kept_as_given(pair, monkeypatch):
    directory, name = os.path.split(pair[1])
    monkeypatch.chdir(directory)
    assert t.load_PDB(os.path.join(".", name)).id == os.path.join(".", name)


def test_structure_without_chains(pair):
    empty = t.load_PDB(pair[1], chains=["Z"])
    assert empty.chain_ids() == []
    assert repr(empty).endswith("chains=[]>")


def test_chain_filter_keeps_file_order(pair):
    assert t.load_PDB(pair[1], chains=["B", "A"]).chain_ids() == ["A", "B"]
    assert t.load_PDB(pair[1], chains=["B"]).chain_ids() == ["B"]


def test_chain_ids_returns_a_fresh_list_each_time(structure):
    first, second = structure.chain_ids(), structure.chain_ids()
    assert first == second == ["A", "B"] and first is not second
    first.append("Z")
    assert structure.chain_ids() == ["A", "B"]


@pytest.mark.parametrize("chain, expected", [("A", True), ("B", True), ("a", False), ("AB", False), ("", False)])
def test_membership_is_exact(structure, chain, expected):
    assert (chain in structure) is expected


@pytest.mark.parametrize("chain, message", [(1, "'int' object is not an instance of 'str'"),
                                            (None, "'None' is not an instance of 'str'")])
def test_membership_needs_a_str(structure, chain, message):
    with pytest.raises(TypeError) as info:
        chain in structure
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'chain'"]


def test_class_names():
    assert t.Structure.__qualname__ == "Structure"
    assert t.Structure.__module__ == "builtins"
    assert "load_PDB" in t.Structure.__doc__ and "Biopython" in t.Structure.__doc__
    assert t.Structure.chain_ids.__doc__ == "Chain ids in file order."


@pytest.mark.parametrize("make", [lambda: t.Structure(), lambda: t.Structure("x.pdb"),
                                  lambda: t.Structure.__new__(t.Structure)])
def test_no_constructor(make):
    with pytest.raises(TypeError, match=r"^cannot create 'builtins\.Structure' instances$"):
        make()


def test_not_a_base_type():
    with pytest.raises(TypeError):
        class Derived(t.Structure):
            pass


def test_id_is_read_only_and_no_new_attributes(structure):
    with pytest.raises(AttributeError):
        structure.id = "other"
    with pytest.raises(AttributeError):
        structure.extra = 1
    with pytest.raises(AttributeError):
        structure.__dict__
    assert structure.id.endswith("native.pdb")


@pytest.mark.parametrize("operation", [len, iter, lambda s: s[0], lambda s: s["A"]])
def test_no_length_iteration_or_items(structure, operation):
    with pytest.raises(TypeError):
        operation(structure)


def test_equality_and_hash_are_by_identity(pair):
    first, second = t.load_PDB(pair[1]), t.load_PDB(pair[1])
    assert first == first and first != second
    assert len({first, second}) == 2


def test_same_structure_as_model_and_native(structure):
    mapping, _ = t.run_on_all_native_interfaces(structure, structure, {"A": "A", "B": "B"})
    assert mapping[("A", "B")]["fnat"] == 1.0


def test_structures_outlive_their_file(pair):
    structure = t.load_PDB(pair[1])
    os.remove(pair[1])
    assert structure.chain_ids() == ["A", "B"]
