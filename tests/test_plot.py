"""The picture of a ranking: files of each format, and the points and curve it draws."""

import collections
import copy
import math
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

import tarvo
from conftest import EXAMPLES
from tarvo._plot import CLASS_COLOURS, RMSD_FLOOR, plot_ranking
from tarvo._output import capri_class, tarvo_over_all_interfaces
from tarvo._report import quality_class


@pytest.fixture
def matplotlib():
    return pytest.importorskip("matplotlib")


def shifted(native, chain, shift, path):
    """The native with one chain moved by `shift` Å along x: a docking model of known quality."""
    lines = []
    for line in native.read_text().splitlines():
        if line.startswith(("ATOM", "HETATM")) and line[21] == chain:
            line = f"{line[:30]}{float(line[30:38]) + shift:8.3f}{line[38:]}"
        lines.append(line)
    path.write_text("\n".join(lines) + "\n")
    return str(path)


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    """Two rankings: 2GTP's model, native and four moved ligands, a missing file; 3FN1's model and native."""
    folder = tmp_path_factory.mktemp("models")
    gtp_native = EXAMPLES / "2GTP_native.pdb"
    moved = [shifted(gtp_native, "B", shift, folder / f"moved_{shift}.pdb") for shift in (2, 5, 8, 12)]
    models = [str(EXAMPLES / "2GTP_model.pdb"), str(gtp_native), str(folder / "missing.pdb"), *moved]
    gtp = tarvo.score_one_vs_many(str(gtp_native), models)
    fn1_native = str(EXAMPLES / "3FN1_native.pdb")
    fn1 = tarvo.score_one_vs_many(fn1_native, [str(EXAMPLES / "3FN1_model.pdb"), fn1_native])
    assert [outcome["ok"] for outcome in gtp + fn1] == [True, True, False] + [True] * 6
    return gtp + fn1


MAGIC = {".png": b"\x89PNG\r\n\x1a\n", ".pdf": b"%PDF-"}


@pytest.mark.parametrize("suffix", [".png", ".svg", ".pdf", ".PNG"])
@pytest.mark.parametrize("which", ["ranking", "all-failed"])
def test_each_format_is_written_and_valid(matplotlib, outcomes, tmp_path, suffix, which):
    chosen = outcomes if which == "ranking" else [outcome for outcome in outcomes if not outcome["ok"]]
    path = tmp_path / f"ranking{suffix}"
    plot_ranking(iter(chosen), path if suffix == ".png" else str(path))
    data = path.read_bytes()
    if suffix.lower() == ".svg":
        assert ElementTree.fromstring(data).tag == "{http://www.w3.org/2000/svg}svg"
    else:
        assert data.startswith(MAGIC[suffix.lower()]) and len(data) > 10_000


def points_by_colour(axes):
    """x and y of the scatter points of one panel, by their colour."""
    from matplotlib.collections import PathCollection
    from matplotlib.colors import to_hex

    points = collections.defaultdict(list)
    for artist in axes.collections:
        if isinstance(artist, PathCollection):
            colours = [to_hex(colour).upper() for colour in artist.get_facecolors()]
            offsets = artist.get_offsets().tolist()
            for colour, point in zip(colours * len(offsets) if len(colours) == 1 else colours, offsets):
                points[colour].append(tuple(point))
    return points


def test_points_are_the_interfaces_by_their_capri_class_and_the_curve_is_sorted(matplotlib, outcomes, tmp_path):
    # A model whose iRMSD is undefined is left out of the iRMSD panel only.
    undefined = copy.deepcopy(outcomes[0])
    undefined["result"]["best_result"]["AB"]["iRMSD"] = math.nan
    figure = plot_ranking(outcomes + [undefined], tmp_path / "ranking.png")
    irmsd_axes, lrmsd_axes, curve_axes = figure.axes[:3]
    scored = tarvo.to_records([outcome for outcome in outcomes + [undefined] if outcome["ok"]])
    for axes, key in ((irmsd_axes, "iRMSD"), (lrmsd_axes, "LRMSD")):
        drawn = points_by_colour(axes)
        expected = collections.defaultdict(list)
        for record in scored:
            if not math.isnan(record[key]):
                # The class of the point itself, so that it lies in the region of its colour.
                point_class = capri_class(record["fnat"], record["iRMSD"], record["LRMSD"])
                expected[CLASS_COLOURS[point_class].upper()].append(
                    (max(record[key], RMSD_FLOOR), record["fnat"])
                )
        assert {colour: sorted(points) for colour, points in drawn.items()} == {
            colour: sorted(points) for colour, points in expected.items()
        }
    # Natives scored against themselves have RMSDs near 0, drawn at the log axis' floor.
    assert min(x for points in points_by_colour(irmsd_axes).values() for x, _ in points) == RMSD_FLOOR
    curve = curve_axes.lines[-1].get_ydata().tolist()
    global_tarvos = [tarvo_over_all_interfaces(outcome["result"]) for outcome in outcomes + [undefined]
                     if outcome["ok"]]
    assert curve == sorted(global_tarvos, reverse=True)
    assert {quality_class(value) for value in curve} == {"High", "Medium", "Acceptable", "Incorrect"}


@pytest.mark.parametrize("name", ["ranking.jpg", "ranking", "ranking.png.txt"])
def test_unknown_formats_are_refused_before_drawing(outcomes, tmp_path, name):
    with pytest.raises(ValueError, match=r"\.png, \.svg, \.pdf"):
        plot_ranking(outcomes, tmp_path / name)
    assert list(tmp_path.iterdir()) == []


def test_missing_matplotlib_is_a_clear_error(tmp_path):
    code = (
        "import sys; sys.modules['matplotlib'] = None\n"
        "from tarvo._plot import plot_ranking\n"
        f"plot_ranking([], {str(tmp_path / 'ranking.png')!r})\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=False)
    assert "ImportError: --plot needs matplotlib: pip install 'tarvo[plot]'" in run.stderr
    assert not Path(tmp_path / "ranking.png").exists()
