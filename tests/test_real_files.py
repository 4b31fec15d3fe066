"""Files as real tools write them score as their clean equivalents; inputs are
read under a byte limit, from pipes too; running out of memory is one pair's error."""

import gzip
import os
import subprocess
import sys
import zlib

import pytest

import _tarvo_rs as t
from conftest import EXAMPLES

MODEL = EXAMPLES / "2GTP_model.pdb"
NATIVE = EXAMPLES / "2GTP_native.pdb"
LIMIT_MESSAGE = "is larger than the limit of {} bytes (TARVO_MAX_INPUT_BYTES)"


def without_paths(result):
    return {key: value for key, value in result.items() if key not in ("model", "native")}


def records(path):
    return path.read_text().splitlines()


def members(text, size):
    """Gzip members of `size` bytes each and an empty one last, as bgzip writes them."""
    data = text.encode()
    return b"".join(gzip.compress(data[at:at + size]) for at in range(0, len(data), size)) + gzip.compress(b"")


def hydrogens_without_element_columns(lines):
    out = []
    for line in lines:
        if line.startswith("ATOM"):
            line = line[:66]
            if line[12:16] == " CA ":
                # Hydrogens all at the origin: read, they would put every residue in contact.
                out.append(line[:12] + " HA " + line[16:30] + "   0.000   0.000   0.000" + line[54:])
                out.append(line[:12] + "1HB " + line[16:30] + "   0.000   0.000   0.000" + line[54:])
        out.append(line)
    return "\n".join(out) + "\n"


def renamed(lines, old, new, record="ATOM  "):
    return "\n".join(
        record + line[6:17] + new + line[20:] if line.startswith("ATOM") and line[17:20] == old else line
        for line in lines
    ) + "\n"


CIF_TAGS = ("group_PDB", "type_symbol", "label_atom_id", "label_comp_id", "label_asym_id", "auth_asym_id",
            "label_seq_id", "auth_seq_id", "Cartn_x", "Cartn_y", "Cartn_z")


def untidy_cif(lines):
    """The ATOM records as mmCIF the way hand-edited and tool-written files look:
    no alternate-location, insertion-code or occupancy columns, comment lines,
    trailing comments, rows wrapped over lines, rows sharing a line and text fields."""
    out = ["data_model", "# written by hand", "loop_"] + [f"_atom_site.{tag}" for tag in CIF_TAGS]
    atoms = [line for line in lines if line.startswith("ATOM")]
    for i, line in enumerate(atoms):
        name, residue, chain, number = line[12:16].strip(), line[17:20], line[21], line[22:26].strip()
        values = ["ATOM", line[76:78].strip(), f'"{name}"', residue, chain, chain, number, number,
                  line[30:38].strip(), line[38:46].strip(), line[46:54].strip()]
        if i % 5 == 0:
            if i % 100 == 0:
                out.append("# a comment line inside the loop")
            out.append(" ".join(values[:4]))
            out.append("   " + " ".join(values[4:]))
        elif i % 5 == 1:
            out[-1] += "\t" + " ".join(values) + "  # a trailing comment"
        elif i % 5 == 2:
            out.append(" ".join(values[:3]))
            out.append(f";{values[3]}\n;")
            out.append(" ".join(values[4:]))
        else:
            out.append(" ".join(values))
    return "\n".join(out) + "\n"


MODEL_VARIANTS = {
    "gzip members": lambda: members(MODEL.read_text(), 100_000),
    "bgzip blocks": lambda: members(MODEL.read_text(), 4096),
    "byte-order mark": lambda: b"\xef\xbb\xbf" + MODEL.read_bytes(),
    "old Mac line ends": lambda: MODEL.read_bytes().replace(b"\n", b"\r"),
    "hydrogens without element columns": lambda: hydrogens_without_element_columns(records(MODEL)).encode(),
    "HADDOCK's NEP for HIS": lambda: renamed(records(MODEL), "HIS", "NEP").encode(),
    "Amber's HID for HIS": lambda: renamed(records(MODEL), "HIS", "HID").encode(),
    "untidy mmCIF": lambda: untidy_cif(records(MODEL)).encode(),
}


@pytest.mark.parametrize("variant", MODEL_VARIANTS)
def test_model_written_otherwise_scores_as_the_clean_file(variant, tmp_path):
    path = tmp_path / "model.pdb"
    path.write_bytes(MODEL_VARIANTS[variant]())
    expected = without_paths(t.score(str(MODEL), str(NATIVE)))
    assert without_paths(t.score(str(path), str(NATIVE))) == expected


def test_native_with_hetatm_selenomethionines_scores_as_with_methionines(tmp_path):
    native = tmp_path / "native.pdb"
    native.write_text(renamed(records(NATIVE), "MET", "MSE", record="HETATM"))
    expected = without_paths(t.score(str(MODEL), str(NATIVE)))
    assert without_paths(t.score(str(MODEL), str(native))) == expected


# --- the input limit ------------------------------------------------------------


@pytest.mark.parametrize("name, compress, what", [("native.pdb", False, "input"),
                                                   ("native.pdb.gz", True, "inflated input")])
def test_input_over_the_limit_is_an_io_error_naming_file_and_limit(name, compress, what, tmp_path, monkeypatch):
    text = NATIVE.read_bytes()
    path = tmp_path / name
    path.write_bytes(gzip.compress(text) if compress else text)
    monkeypatch.setenv("TARVO_MAX_INPUT_BYTES", str(len(text)))
    assert t.load_PDB(str(path)).chain_ids() == ["A", "B"]
    monkeypatch.setenv("TARVO_MAX_INPUT_BYTES", str(len(text) - 1))
    with pytest.raises(t.IoError) as raised:
        t.load_PDB(str(path))
    assert str(raised.value) == f"I/O error reading {path}: {what} " + LIMIT_MESSAGE.format(len(text) - 1)


PEAK_MEMORY = """
import resource, sys
import _tarvo_rs
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    _tarvo_rs.load_PDB(sys.argv[1])
except _tarvo_rs.IoError as error:
    print(error)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024)
"""


def run_python(code, *args, env=None):
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          env={**os.environ, **(env or {})}, timeout=120)


@pytest.mark.parametrize("source", ["/dev/zero", "bomb.pdb.gz"])
def test_endless_or_exploding_input_stops_at_the_limit_with_memory_near_it(source, tmp_path):
    limit = 64 << 20
    if source == "bomb.pdb.gz":
        squeeze = zlib.compressobj(9, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
        zeros = bytes(1 << 20)
        source = tmp_path / source
        source.write_bytes(b"".join(squeeze.compress(zeros) for _ in range(1024)) + squeeze.flush())  # 1 GiB
    done = run_python(PEAK_MEMORY, source, env={"TARVO_MAX_INPUT_BYTES": str(limit)})
    message, growth = done.stdout.splitlines()
    assert message.endswith(LIMIT_MESSAGE.format(limit)) and message.startswith(f"I/O error reading {source}: ")
    assert int(growth) < limit * 1.25


def test_pipes_are_read_and_the_command_line_accepts_them():
    python = f'PYTHONPATH="{os.environ.get("PYTHONPATH", "")}" "{sys.executable}" -m tarvo'
    command = f'{python} <(cat "{MODEL}") <(gzip -c "{NATIVE}") --json'
    done = subprocess.run(["bash", "-c", command], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert '"GlobalTarvo": ' + repr(t.score(str(MODEL), str(NATIVE))["GlobalTarvo"]) in done.stdout


# --- running out of memory --------------------------------------------------------

OUT_OF_MEMORY = """
import resource, sys
import _tarvo_rs
huge, model, native = sys.argv[1:]
_tarvo_rs.score(model, native)  # the pool's threads exist before the limit is set
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (128 << 20), size + (128 << 20)))
outcomes = _tarvo_rs.score_pairs([(huge, huge), (model, native)])
print(outcomes[0]["error"])
print(outcomes[1]["ok"])
try:
    _tarvo_rs.score(huge, huge)
except _tarvo_rs.TarvoError as error:
    print(type(error).__name__)
"""


def test_running_out_of_memory_is_the_pairs_error_and_the_batch_goes_on(tmp_path):
    # Two chains of 8,000 residues packed into 2 Å boxes 4 Å apart, so that every
    # residue pair is within 10 Å: their distance matrix alone holds 64 million cells
    # (512 MB), four times what the child may add to its address space (and well within
    # the work budget).
    huge = tmp_path / "huge.pdb"
    lines = []
    for chain, residue, z in (("A", "ALA", 0.0), ("B", "GLY", 4.0)):  # one mapping only
        for i in range(8_000):
            lines.append(f"ATOM  {i % 100000:5d}  CA  {residue} {chain}{i % 10000:4d}    "
                         f"{(i % 20) * 0.1:8.3f}{(i // 20 % 20) * 0.1:8.3f}{z + (i // 400) * 0.1:8.3f}"
                         "  1.00  0.00           C")
    huge.write_text("\n".join(lines) + "\n")
    # One malloc arena: a thread's first allocation would otherwise reserve 64 MB of the
    # capped address space, and a read could then fail before the matrix does.
    done = run_python(OUT_OF_MEMORY, huge, MODEL, NATIVE, env={"MALLOC_ARENA_MAX": "1"})
    assert done.returncode == 0, done.stderr
    error, second_ok, raised = done.stdout.splitlines()
    assert error == f"out of memory while scoring {huge} against {huge}"
    assert second_ok == "True"
    assert raised == "MappingError"
