"""A picture of a ranking: fnat against iRMSD and LRMSD, and the sorted GlobalTarvo curve.

matplotlib is imported only when a picture is drawn, never with the package.
"""

import collections
import importlib.util
import math
import os

from ._output import QUALITY_CLASSES, quality_class
from ._report import descending

FORMATS = (".png", ".svg", ".pdf")
# Okabe-Ito colours, told apart with the common colour-vision deficiencies.
CLASS_COLOURS = {"High": "#009E73", "Medium": "#0072B2", "Acceptable": "#E69F00", "Incorrect": "#999999"}
# Worst first, so that the few good models are drawn over the many incorrect ones.
CLASS_ORDER = ("Incorrect", "Acceptable", "Medium", "High")
# CAPRI-style regions, largest first: (class, lowest fnat, highest iRMSD, highest LRMSD) in Å.
CAPRI_REGIONS = (("Acceptable", 0.1, 4.0, 10.0), ("Medium", 0.3, 2.0, 5.0), ("High", 0.5, 1.0, 1.0))
# A log axis cannot show 0 Å (a native against itself): smaller RMSDs are drawn at this floor.
RMSD_FLOOR = 0.1
FNAT_LIMITS = (-0.03, 1.03)
# Above this many models the rank axis turns logarithmic, so the top of the list stays readable.
LOG_RANK_ABOVE = 1000
# Above this many points, points are drawn as an image even in .svg/.pdf, which stay small.
RASTER_ABOVE = 2000


NEEDS_MATPLOTLIB = "--plot needs matplotlib: pip install 'tarvo[plot]'"


def plot_format(path):
    """The picture format that `path` names; checked before a run, which may take hours.

    Raises ValueError for another file name ending and ImportError without matplotlib.
    """
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    if suffix not in FORMATS:
        raise ValueError(f"the plot's file name must end in {', '.join(FORMATS)}: {os.fspath(path)!r}")
    if importlib.util.find_spec("matplotlib") is None:
        raise ImportError(NEEDS_MATPLOTLIB)
    return suffix[1:]


def plot_ranking(outcomes, path):
    """Draws the scored outcomes of score_one_vs_many to `path` (.png, .svg or .pdf); returns the Figure.

    Each interface of each model's best mapping is one point of the fnat panels,
    coloured by the model's GlobalTarvo class.
    """
    file_format = plot_format(path)
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise ImportError(NEEDS_MATPLOTLIB) from exc

    outcomes = list(outcomes)
    scored = [outcome["result"] for outcome in outcomes if outcome["ok"]]
    points = _interface_points(scored)

    # Figure without pyplot: no display, no global state, and the caller's backend stays as it is.
    figure = Figure(figsize=(16, 5.6), layout="constrained")
    FigureCanvasAgg(figure)
    grid = figure.add_gridspec(2, 3, height_ratios=(12, 1.6))
    irmsd_axes, lrmsd_axes, curve_axes = (figure.add_subplot(grid[0, column]) for column in range(3))
    _fnat_panel(irmsd_axes, points, "iRMSD", 2, "fnat against interface RMSD")
    _fnat_panel(lrmsd_axes, points, "LRMSD", 3, "fnat against ligand RMSD")
    _curve_panel(curve_axes, scored)
    _legend(figure.add_subplot(grid[1, :]), scored)
    figure.suptitle(_title(outcomes, scored), fontsize=13)
    figure.savefig(os.fspath(path), format=file_format, dpi=150)
    return figure


def _interface_points(scored):
    """(class, fnat, iRMSD, LRMSD) of every interface of every scored model."""
    return [
        (quality_class(result["GlobalTarvo"]), values["fnat"], values["iRMSD"], values["LRMSD"])
        for result in scored
        for values in result["best_result"].values()
    ]


def _marker_size(count):
    return min(36.0, max(2.0, 400.0 / math.sqrt(max(count, 1))))


def _fnat_panel(axes, points, rmsd_name, column, title):
    from matplotlib.ticker import FormatStrFormatter

    shown = [point for point in points if math.isfinite(point[column]) and math.isfinite(point[1])]
    largest = max((point[column] for point in shown), default=10.0)
    right = max(30.0, largest * 1.6)
    # Regions are nested, largest first, in opaque tints so that they do not blend into muddy colours;
    # they reach past the axis on the left and top, so only their inner edges show.
    for name, lowest_fnat, highest_irmsd, highest_lrmsd in CAPRI_REGIONS:
        highest = highest_irmsd if rmsd_name == "iRMSD" else highest_lrmsd
        axes.fill_between((RMSD_FLOOR / 10, highest), lowest_fnat, 2.0, color=_tint(name), linewidth=0,
                          zorder=0)
        axes.plot((highest, highest, RMSD_FLOOR / 10), (2.0, lowest_fnat, lowest_fnat),
                  color=CLASS_COLOURS[name], linewidth=1, linestyle="--", zorder=1)
    size = _marker_size(len(shown))
    for name in CLASS_ORDER:
        mine = [point for point in shown if point[0] == name]
        if mine:
            axes.scatter([max(point[column], RMSD_FLOOR) for point in mine], [point[1] for point in mine],
                         s=size, color=CLASS_COLOURS[name], edgecolors="white" if size > 10 else "none",
                         linewidths=0.5, alpha=0.9, rasterized=len(shown) > RASTER_ABOVE, zorder=3)
    axes.set_xscale("log")
    axes.set_xlim(RMSD_FLOOR * 0.8, right)
    # Plain numbers at the class thresholds read better than powers of ten.
    thresholds = {region[2 if rmsd_name == "iRMSD" else 3] for region in CAPRI_REGIONS}
    ticks = {0.1, 0.2, 0.5, 10, 20, 50, 100, 200, *thresholds}
    axes.set_xticks(sorted(tick for tick in ticks if tick <= right))
    axes.set_xticks([], minor=True)
    axes.xaxis.set_major_formatter(FormatStrFormatter("%g"))
    axes.set_ylim(*FNAT_LIMITS)
    notes = []
    floored = sum(point[column] < RMSD_FLOOR for point in shown)
    if floored:
        notes.append(f"{floored} below {RMSD_FLOOR:g} Å drawn at {RMSD_FLOOR:g}")
    if len(points) > len(shown):
        notes.append(f"{len(points) - len(shown)} without {rmsd_name} left out")
    axes.set_xlabel(f"{rmsd_name} (Å, log scale)" + "".join(f"\n{note}" for note in notes))
    axes.set_ylabel("fnat (fraction of native contacts)")
    axes.set_title(title)
    axes.grid(True, which="major", color="#dddddd", linewidth=0.6)
    axes.set_axisbelow(True)


def _curve_panel(axes, scored):
    from matplotlib.ticker import MaxNLocator

    values = sorted((result["GlobalTarvo"] for result in scored), key=descending)
    values = [value for value in values if math.isfinite(value)]
    ranks = range(1, len(values) + 1)
    bounds = [1.0] + [lowest for lowest, _ in QUALITY_CLASSES] + [0.0]
    names = [name for _, name in QUALITY_CLASSES] + ["Incorrect"]
    for (top, bottom), name in zip(zip(bounds, bounds[1:]), names):
        axes.axhspan(bottom, top, color=_tint(name), linewidth=0, zorder=0)
        axes.text(1.01, (top + bottom) / 2, name, transform=axes.get_yaxis_transform(), va="center",
                  fontsize=9, color=CLASS_COLOURS[name], fontweight="bold")
    for lowest, _ in QUALITY_CLASSES:
        axes.axhline(lowest, color="#555555", linewidth=0.8, linestyle="--")
    many = len(values) > RASTER_ABOVE
    axes.plot(ranks, values, color="#333333", linewidth=1.2, rasterized=many, zorder=2)
    size = _marker_size(len(values))
    axes.scatter(ranks, values, s=size, zorder=3, rasterized=many,
                 color=[CLASS_COLOURS[quality_class(value)] for value in values],
                 edgecolors="white" if size > 10 else "none", linewidths=0.5)
    if len(values) > LOG_RANK_ABOVE:
        axes.set_xscale("log")
        axes.set_xlabel("Rank, best first (log scale)")
    else:
        axes.set_xlabel("Rank, best first")
        axes.xaxis.set_major_locator(MaxNLocator(integer=True, min_n_ticks=1))
    axes.set_xlim(0.8 if len(values) > LOG_RANK_ABOVE else 0.5, max(len(values), 1) + 0.5)
    axes.set_ylim(0.0, 1.02)
    axes.set_yticks(bounds)
    axes.set_ylabel("GlobalTarvo")
    axes.set_title("GlobalTarvo of the ranked models")
    if not values:
        axes.text(0.5, 0.5, "no scored model", transform=axes.transAxes, ha="center", va="center", fontsize=12,
                  bbox={"facecolor": "white", "edgecolor": "#999999"})


def _legend(axes, scored):
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    axes.axis("off")
    counts = collections.Counter(quality_class(result["GlobalTarvo"]) for result in scored)
    bounds = {name: lowest for lowest, name in QUALITY_CLASSES}
    regions = {name: (fnat, irmsd, lrmsd) for name, fnat, irmsd, lrmsd in CAPRI_REGIONS}
    handles = []
    for name in reversed(CLASS_ORDER):
        lowest = f"≥ {bounds[name]:.2f}" if name in bounds else f"< {min(bounds.values()):.2f}"
        handles.append(Line2D([], [], linestyle="none", marker="o", markersize=8, color=CLASS_COLOURS[name],
                              label=f"{name} (GlobalTarvo {lowest}): {_models(counts[name])}"))
        if name in regions:
            fnat, irmsd, lrmsd = regions[name]
            label = f"fnat ≥ {fnat:g}, iRMSD ≤ {irmsd:g} Å or LRMSD ≤ {lrmsd:g} Å"
            colours = {"facecolor": _tint(name), "edgecolor": CLASS_COLOURS[name]}
        else:
            label, colours = "outside the regions", {"facecolor": "white", "edgecolor": CLASS_COLOURS[name]}
        handles.append(Patch(linestyle="--", label=label, **colours))
    axes.legend(handles=handles, loc="center", ncol=4, frameon=False, fontsize=9, columnspacing=2.5,
                title="Points: one per interface, coloured by the model's GlobalTarvo class.   "
                "Shaded: the CAPRI-style region of each class.", title_fontsize=9)


def _tint(name, strength=0.2):
    """The class colour mixed into white, as an opaque background."""
    from matplotlib.colors import to_rgb

    return tuple(1 - strength * (1 - channel) for channel in to_rgb(CLASS_COLOURS[name]))


def _title(outcomes, scored):
    natives = {outcome["native"] for outcome in outcomes}
    against = f" against {os.path.basename(os.fspath(natives.pop()))}" if len(natives) == 1 else ""
    failed = len(outcomes) - len(scored)
    return f"Ranking of {_models(len(outcomes))}{against}: {len(scored)} scored" + (
        f", {failed} failed" if failed else ""
    )


def _models(count):
    return f"{count} model" + ("" if count == 1 else "s")
