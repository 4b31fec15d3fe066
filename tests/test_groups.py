"""One interface between two groups of native chains: an antibody's H and L against its antigen."""

import gzip
import math

import numpy as np
import pytest

import _tarvo_rs
from _tarvo_rs import MappingError

from conftest import EXAMPLES

# An antibody-like complex cut from the 24-mer example: chains A and B (ring
# neighbours) stand for the heavy and light chains H and L, chain M (across the
# ring, touching both) for the antigen A.
ANTIBODY = {"A": "H", "B": "L", "M": "A"}


def antibody_lines(rename=None, light_as_alanine=False):
    """ATOM lines of the complex; `rename` relabels its chains (e.g. to swap H and L)."""
    rename = rename or {}
    lines = []
    for line in gzip.open(EXAMPLES / "homo24_native.pdb.gz", "rt"):
        if not line.startswith("ATOM") or line[21] not in ANTIBODY:
            continue
        chain = ANTIBODY[line[21]]
        if chain == "L" and light_as_alanine:  # a light chain of its own sequence
            line = line[:17] + "ALA" + line[20:]
        lines.append(line[:21] + rename.get(chain, chain) + line[22:])
    return lines


def moved(lines, chains, motion):
    """The lines with the atoms of `chains` passed through motion(xyz)."""
    out = []
    for line in lines:
        if line[21] in chains:
            x, y, z = motion(np.array([float(line[30:38]), float(line[38:46]), float(line[46:54])]))
            line = f"{line[:30]}{x:8.3f}{y:8.3f}{z:8.3f}{line[54:]}"
        out.append(line)
    return out


def coordinates(lines, chains, names=("CA", "C", "N", "O")):
    """Backbone points of `chains`, the first atom of a name in each residue (as scored)."""
    first = {}
    for line in lines:
        if line[21] in chains and line[12:16].strip() in names:
            first.setdefault((line[17:27], line[12:16]), [float(line[30:38]), float(line[38:46]), float(line[46:54])])
    return np.array(list(first.values()))


@pytest.fixture
def write_lines(tmp_path):
    def write(name, lines):
        path = tmp_path / name
        path.write_text("".join(lines) + "END\n")
        return str(path)

    return write


def test_antibody_against_itself_is_one_perfect_interface(write_lines):
    native = write_lines("native.pdb", antibody_lines())
    result = _tarvo_rs.score(native, native, groups="HL:A")
    assert list(result["best_result"]) == ["HL:A"]
    interface = result["best_result"]["HL:A"]
    assert (interface["chain1"], interface["chain2"]) == ("HL", "A")
    assert (interface["class1"], interface["class2"]) == ("receptor", "ligand")
    assert (interface["len1"], interface["len2"]) == (230, 115)
    assert interface["fnat"] == 1.0 and interface["fnonnat"] == 0.0
    assert interface["iRMSD"] < 1e-3 and interface["LRMSD"] < 1e-3
    assert result["GlobalTarvo"] == result["best_tarvo"] == interface["Tarvo"]
    assert result["best_mapping"] == {"H": "H", "L": "L", "A": "A"}
    assert result["best_mapping_str"] == "HLA:HLA"
    assert result["missing_interfaces"] == []


def turn_about_z(degrees, centre):
    c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    rotation = np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])
    return lambda p: rotation @ (p - centre) + centre


# A rigid motion of the ligand group, the receptor left in place: LRMSD is the
# RMS displacement of the ligand's backbone atoms under that motion.
@pytest.mark.parametrize("motion", ["shift", "turn"])
def test_rigid_ligand_motion_gives_its_rms_displacement(write_lines, motion):
    lines = antibody_lines()
    ligand = coordinates(lines, "A")
    move = (lambda p: p + np.array([3.0, -4.0, 0.0])) if motion == "shift" else turn_about_z(20.0, ligand.mean(0))
    model_lines = moved(lines, "A", move)
    result = _tarvo_rs.score(write_lines("model.pdb", model_lines), write_lines("native.pdb", lines), groups="HL:A")
    displaced = coordinates(model_lines, "A")
    expected = 5.0 if motion == "shift" else math.sqrt(((displaced - ligand) ** 2).sum(1).mean())
    assert result["best_result"]["HL:A"]["LRMSD"] == pytest.approx(expected, abs=2e-3)


# Groups of one chain each score as the interface of that chain pair, bit for bit
# (the receptor, here the larger chain, is side 1 either way).
@pytest.mark.parametrize("model, native", [("2GTP_model.pdb", "2GTP_native.pdb"),
                                           ("3FN1_model.pdb", "3FN1_native.pdb"),
                                           ("2XHE.cif", "2XHE.cif")])
def test_one_chain_groups_equal_the_chain_pair_interface(model, native):
    model, native = str(EXAMPLES / model), str(EXAMPLES / native)
    plain = _tarvo_rs.score(model, native)
    (name, expected), = plain["best_result"].items()
    first, second = plain["best_mapping"]
    assert expected["class1"] == "receptor"
    grouped = _tarvo_rs.score(model, native, groups=f"{first}:{second}")
    assert repr(grouped["best_result"][f"{first}:{second}"]) == repr(expected)
    assert repr(grouped["GlobalTarvo"]) == repr(plain["GlobalTarvo"])
    assert grouped["best_mapping"] == plain["best_mapping"]


def test_receptor_is_the_side_written_first():
    native = str(EXAMPLES / "2GTP_native.pdb")
    interface = _tarvo_rs.score(str(EXAMPLES / "2GTP_model.pdb"), native, groups="B:A")["best_result"]["B:A"]
    assert (interface["class1"], interface["len1"], interface["len2"]) == ("receptor", 132, 305)


# The model's H and L are labelled the other way round; the search pairs them
# back by sequence, or by the score alone when the chains share one.
@pytest.mark.parametrize("light_as_alanine", [True, False], ids=["own-sequences", "same-sequence"])
def test_search_finds_swapped_heavy_and_light_chains(write_lines, light_as_alanine):
    native = write_lines("native.pdb", antibody_lines(light_as_alanine=light_as_alanine))
    model = write_lines("model.pdb", antibody_lines({"H": "L", "L": "H"}, light_as_alanine))
    result = _tarvo_rs.score(model, native, groups="HL:A")
    assert result["best_mapping"] == {"H": "L", "L": "H", "A": "A"}
    assert result["best_mapping_str"] == "LHA:HLA"
    assert result["best_result"]["HL:A"]["chain1"] == "LH"
    assert result["GlobalTarvo"] == pytest.approx(1.0, abs=1e-6)


def test_mapping_text_fixes_grouped_chains(write_lines):
    native = write_lines("native.pdb", antibody_lines())
    model = write_lines("model.pdb", antibody_lines({"H": "L", "L": "H"}))
    fixed = _tarvo_rs.score(model, native, groups="HL:A", mapping="HL*:HL*")
    assert fixed["best_mapping"] == {"H": "H", "L": "L", "A": "A"}
    assert fixed["GlobalTarvo"] < 0.9


def test_long_chain_ids_use_the_comma_form(write_cif):
    from conftest import TRIANGLE

    chains = {"H1": TRIANGLE["A"], "L1": TRIANGLE["B"], "AG": TRIANGLE["C"]}
    path = write_cif("native.cif", chains)
    result = _tarvo_rs.score(path, path, groups="H1,L1:AG")
    interface = result["best_result"]["H1,L1:AG"]
    assert (interface["chain1"], interface["chain2"]) == ("H1,L1", "AG")
    assert result["best_mapping_str"] == "H1,L1,AG:H1,L1,AG"


@pytest.mark.parametrize("text, message", [
    ("HLA", "not exactly one ':'"),
    ("H:L:A", "not exactly one ':'"),
    (":A", "the receptor has no chain"),
    ("HL:", "the ligand has no chain"),
    ("HL:H", 'chain "H" is named twice'),
    ("H L:A", "white space"),
    ("H,,L:A", "an empty chain id"),
])
def test_bad_groups_texts_are_mapping_errors(text, message):
    with pytest.raises(MappingError, match=message):
        _tarvo_rs.check_arguments("score", "m.pdb", "n.pdb", groups=text)


def test_grouped_chain_missing_from_the_native_is_a_mapping_error(write_lines):
    native = write_lines("native.pdb", antibody_lines())
    with pytest.raises(MappingError, match='native chain "Z" is not in the native'):
        _tarvo_rs.score(native, native, groups="HL:Z")


def test_batch_calls_take_groups(write_lines):
    native = write_lines("native.pdb", antibody_lines())
    single = _tarvo_rs.score(native, native, groups="HL:A")
    [pair] = _tarvo_rs.score_pairs([(native, native)], groups="HL:A")
    [one] = _tarvo_rs.score_one_vs_many(native, [native], groups="HL:A")
    assert repr(pair["result"]) == repr(one["result"]) == repr(single)
