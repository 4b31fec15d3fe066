"""Shared fixtures: the example structures and tiny PDB files written on the fly."""

from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

SEQUENCE = ("ALA", "SER", "LEU", "VAL", "THR", "ILE", "LYS", "GLU")
# Atom offsets from a residue's anchor; anchors sit 3.8 Å apart along x.
ATOMS = {
    "N": (-1.2, 0.3, 0.2),
    "CA": (0.0, 0.0, 0.0),
    "C": (1.2, -0.3, -0.2),
    "O": (1.4, -0.5, -1.4),
    "CB": (0.0, 0.9, 1.2),
}
# Three parallel strands 4.5 Å apart from each other: every pair is in contact.
TRIANGLE = {"A": (0.0, 0.0, 0.0), "B": (0.0, 4.5, 0.0), "C": (0.0, 2.25, 3.9)}


def pdb_text(chains, hetero=(), sequences=None):
    """PDB text with one strand of SEQUENCE per chain; `chains` maps id -> origin.

    Chains named in `hetero` are written as HETATM records of residue LIG;
    `sequences` may give a chain other residue names than SEQUENCE.
    """
    lines = []
    serial = 1
    for chain, (ox, oy, oz) in chains.items():
        record = "HETATM" if chain in hetero else "ATOM"
        for i, resname in enumerate((sequences or {}).get(chain, SEQUENCE)):
            resname = "LIG" if chain in hetero else resname
            for name, (x, y, z) in ATOMS.items():
                lines.append(
                    f"{record:<6}{serial:>5}  {name:<3} {resname} {chain}{i + 1:>4}    "
                    f"{ox + 3.8 * i + x:8.3f}{oy + y:8.3f}{oz + z:8.3f}  1.00  0.00           {name[0]}"
                )
                serial += 1
        lines.append("TER")
    lines.append("END")
    return "\n".join(lines) + "\n"


CIF_TAGS = ("group_PDB", "type_symbol", "label_atom_id", "label_alt_id", "label_comp_id", "label_asym_id",
            "auth_asym_id", "label_seq_id", "pdbx_PDB_ins_code", "Cartn_x", "Cartn_y", "Cartn_z", "occupancy")


def cif_text(chains, sequences=None):
    """mmCIF text of the same strands as pdb_text; chain ids may be longer than one character."""
    lines = ["data_test", "loop_"] + [f"_atom_site.{tag}" for tag in CIF_TAGS]
    for chain, (ox, oy, oz) in chains.items():
        for i, resname in enumerate((sequences or {}).get(chain, SEQUENCE)):
            for name, (x, y, z) in ATOMS.items():
                lines.append(f"ATOM {name[0]} {name} . {resname} {chain} {chain} {i + 1} ? "
                             f"{ox + 3.8 * i + x:.3f} {oy + y:.3f} {oz + z:.3f} 1.00")
    return "\n".join(lines) + "\n#\n"


@pytest.fixture
def examples():
    return EXAMPLES


@pytest.fixture
def write_pdb(tmp_path):
    """Writes pdb_text(chains, hetero) to tmp_path/name and returns the path text."""

    def write(name, chains, hetero=(), sequences=None):
        path = tmp_path / name
        path.write_text(pdb_text(chains, hetero, sequences))
        return str(path)

    return write


@pytest.fixture
def write_cif(tmp_path):
    def write(name, chains, sequences=None):
        path = tmp_path / name
        path.write_text(cif_text(chains, sequences))
        return str(path)

    return write


@pytest.fixture
def pair(write_pdb):
    """(model, native): two chains in contact, the model's chain B moved by 0.6 Å."""
    native = write_pdb("native.pdb", {"A": TRIANGLE["A"], "B": TRIANGLE["B"]})
    model = write_pdb("model.pdb", {"A": TRIANGLE["A"], "B": (0.0, 4.5, 0.6)})
    return model, native
