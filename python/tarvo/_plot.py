"""A picture of a ranking: fnat against iRMSD and LRMSD by CAPRI class, and the ranked GlobalTarvo_all curve.

matplotlib is imported only when a picture is drawn, never with the package.
"""

import collections
import importlib.util
import math
import os

from ._output import CAPRI_CLASSES, CLASS_ORDER, QUALITY_CLASSES, capri_class, model_entry, quality_class
from ._report import ranked

FORMATS = (".png", ".svg", ".pdf")
# Okabe-Ito colours, told apart with the common colour-vision deficiencies; one per class name,
# the same on the CAPRI scale (fnat panels) and the Tarvo scale (the ranked curve).
CLASS_COLOURS = {"High": "#009E73", "Medium": "#0072B2", "Acceptable": "#E69F00", "Incorrect": "#999999"}
# A log axis cannot show 0 Å (a native against itself): smaller RMSDs are drawn at this floor.
RMSD_FLOOR = 0.1
FNAT_LIMITS = (-0.03, 1.03)
# Above this many models the rank axis turns logarithmic, so the top of the list stays readable.
LOG_RANK_ABOVE = 1000
# Above this many points, points are drawn as an image even in .svg/.pdf, which stay small.
RASTER_ABOVE = 2000
# The best models are numbered on every panel and named under the legend.
LABELLED = 3
# Points of the best models often fall together: their numbers go to different sides (points).
LABEL_OFFSETS = ((3, 3), (3, -9), (-10, -3))
# A journal's single column: the figure is drawn at its printed size, so text stays readable.
FIGURE_SIZE = (3.5, 5.2)
FONT_SIZE = 6.5


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
    """Draws the outcomes of score_one_vs_many, ranked, to `path` (.png, .svg or .pdf); returns the Figure."""
    return plot_entries(ranked([model_entry(outcome) for outcome in outcomes]), path)


def plot_entries(ordered, path, per_model_points=False):
    """Draws ranked model entries (_report.ranked) to `path`; returns the Figure.

    The fnat panels show one point per interface of each model's best mapping
    (per model, its means, with `per_model_points`), coloured by the CAPRI class
    of the point itself, so that colours and shaded regions agree; the curve
    shows GlobalTarvo_all by rank over the Tarvo class bands.
    """
    file_format = plot_format(path)
    try:
        import matplotlib
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise ImportError(NEEDS_MATPLOTLIB) from exc

    scored = [entry for entry in ordered if entry["ok"]]
    with matplotlib.rc_context({"font.size": FONT_SIZE, "axes.titlesize": FONT_SIZE + 0.5,
                                "axes.labelsize": FONT_SIZE, "xtick.labelsize": FONT_SIZE - 0.5,
                                "ytick.labelsize": FONT_SIZE - 0.5, "legend.fontsize": FONT_SIZE - 0.5}):
        # Figure without pyplot: no display, no global state, and the caller's backend stays as it is.
        figure = Figure(figsize=FIGURE_SIZE, layout="constrained")
        FigureCanvasAgg(figure)
        grid = figure.add_gridspec(3, 2, height_ratios=(2.3, 1.7, 0.95))
        irmsd_axes = figure.add_subplot(grid[0, 0])
        lrmsd_axes = figure.add_subplot(grid[0, 1], sharey=irmsd_axes)
        curve_axes = figure.add_subplot(grid[1, :])
        _fnat_panel(irmsd_axes, scored, 1, "iRMSD")
        _fnat_panel(lrmsd_axes, scored, 2, "LRMSD")
        lrmsd_axes.tick_params(labelleft=False)
        lrmsd_axes.set_ylabel("")
        _curve_panel(curve_axes, scored)
        _legend(figure.add_subplot(grid[2, :]), scored, per_model_points)
        figure.suptitle(_title(ordered, scored), fontsize=FONT_SIZE + 1)
        figure.savefig(os.fspath(path), format=file_format, dpi=200)
    return figure


def _marker_size(count):
    return min(14.0, max(1.0, 120.0 / math.sqrt(max(count, 1))))


def _alpha(count):
    # Thousands of points show their density through overlap; a few stay solid.
    return min(0.9, max(0.15, 10.0 / math.sqrt(max(count, 1))))


def _fnat_panel(axes, scored, column, rmsd_name):
    from matplotlib.ticker import FormatStrFormatter

    points = [(rank, point) for rank, entry in enumerate(scored, start=1) for point in entry["points"]]
    shown = [(rank, point) for rank, point in points if math.isfinite(point[column]) and math.isfinite(point[0])]
    largest = max((point[column] for _, point in shown), default=10.0)
    right = max(30.0, largest * 1.6)
    bound = 2 if rmsd_name == "iRMSD" else 3
    # Regions are nested, largest first, in opaque tints so that they do not blend into muddy colours;
    # they reach past the axis on the left and top, so only their inner edges show.
    for region in reversed(CAPRI_CLASSES):
        name, lowest_fnat, highest = region[0], region[1], region[bound]
        axes.fill_between((RMSD_FLOOR / 10, highest), lowest_fnat, 2.0, color=_tint(name), linewidth=0, zorder=0)
        axes.plot((highest, highest, RMSD_FLOOR / 10), (2.0, lowest_fnat, lowest_fnat),
                  color=CLASS_COLOURS[name], linewidth=0.7, linestyle="--", zorder=1)
    size, alpha = _marker_size(len(shown)), _alpha(len(shown))
    classes = [capri_class(*point) for _, point in shown]
    for name in CLASS_ORDER:
        mine = [point for (_, point), point_class in zip(shown, classes) if point_class == name]
        if mine:
            axes.scatter([max(point[column], RMSD_FLOOR) for point in mine], [point[0] for point in mine],
                         s=size, color=CLASS_COLOURS[name], edgecolors="none", alpha=alpha,
                         rasterized=len(shown) > RASTER_ABOVE, zorder=3)
    for rank, point in shown:
        if rank <= LABELLED:
            _number(axes, rank, max(point[column], RMSD_FLOOR), point[0])
    axes.set_xscale("log")
    axes.set_xlim(RMSD_FLOOR * 0.8, right)
    # Plain numbers at the class thresholds read better than powers of ten; one more far out.
    ticks = {0.1, 20 if rmsd_name == "iRMSD" else 50, *(region[bound] for region in CAPRI_CLASSES)}
    axes.set_xticks(sorted(tick for tick in ticks if tick <= right))
    axes.set_xticks([], minor=True)
    axes.xaxis.set_major_formatter(FormatStrFormatter("%g"))
    axes.set_ylim(*FNAT_LIMITS)
    notes = []
    floored = sum(point[column] < RMSD_FLOOR for _, point in shown)
    if floored:
        notes.append(f"{floored} below {RMSD_FLOOR:g} drawn at {RMSD_FLOOR:g}")
    if len(points) > len(shown):
        notes.append(f"{len(points) - len(shown)} undefined left out")
    axes.set_xlabel(f"{rmsd_name} (Å)" + "".join(f"\n{note}" for note in notes))
    axes.set_ylabel("fnat")
    axes.set_title(f"fnat against {rmsd_name}")
    axes.grid(True, which="major", color="#dddddd", linewidth=0.4)
    axes.set_axisbelow(True)


def _number(axes, rank, x, y):
    """The rank of one of the best models, beside its point."""
    axes.annotate(str(rank), (x, y), xytext=LABEL_OFFSETS[rank - 1], textcoords="offset points", fontsize=FONT_SIZE,
                  fontweight="bold", color="black", zorder=5,
                  bbox={"boxstyle": "circle,pad=0.1", "facecolor": "white", "edgecolor": "none", "alpha": 0.7})


def _curve_panel(axes, scored):
    from matplotlib.ticker import MaxNLocator

    values = [entry["GlobalTarvo_all"] for entry in scored if math.isfinite(entry["GlobalTarvo_all"])]
    ranks = range(1, len(values) + 1)
    bounds = [1.0] + [lowest for lowest, _ in QUALITY_CLASSES] + [0.0]
    names = [name for _, name in QUALITY_CLASSES] + ["Incorrect"]
    for (top, bottom), name in zip(zip(bounds, bounds[1:]), names):
        axes.axhspan(bottom, top, color=_tint(name), linewidth=0, zorder=0)
    for lowest, _ in QUALITY_CLASSES:
        axes.axhline(lowest, color="#777777", linewidth=0.5, linestyle="--")
    many = len(values) > RASTER_ABOVE
    axes.plot(ranks, values, color="#333333", linewidth=0.8, rasterized=many, zorder=2)
    axes.scatter(ranks, values, s=_marker_size(len(values)), zorder=3, rasterized=many, edgecolors="none",
                 color=[CLASS_COLOURS[quality_class(value)] for value in values])
    for rank, value in zip(ranks, values[:LABELLED]):
        _number(axes, rank, rank, value)
    if len(values) > LOG_RANK_ABOVE:
        axes.set_xscale("log")
        axes.set_xlabel("Rank, best first (log scale)")
    else:
        axes.set_xlabel("Rank, best first")
        axes.xaxis.set_major_locator(MaxNLocator(integer=True, min_n_ticks=1))
    axes.set_xlim(0.8 if len(values) > LOG_RANK_ABOVE else 0.5, max(len(values), 1) + 0.5)
    axes.set_ylim(0.0, 1.02)
    axes.set_yticks(bounds)
    axes.set_ylabel("GlobalTarvo_all")
    axes.set_title("GlobalTarvo over all native interfaces, by rank")
    if not values:
        axes.text(0.5, 0.5, "no scored model", transform=axes.transAxes, ha="center", va="center",
                  bbox={"facecolor": "white", "edgecolor": "#999999"})


def _legend(axes, scored, per_model_points):
    from matplotlib.patches import Patch

    axes.axis("off")
    capri = collections.Counter(entry["CAPRI"] for entry in scored)
    tarvo = collections.Counter(quality_class(entry["GlobalTarvo_all"]) for entry in scored)
    handles = [
        Patch(facecolor=CLASS_COLOURS[name], edgecolor="none", label=f"{name} {capri[name]} / {tarvo[name]}")
        for name in reversed(CLASS_ORDER)
    ]
    points = "one per model, its means" if per_model_points else "one per interface"
    best = "   ".join(f"{rank} {_short(entry['model'])}" for rank, entry in enumerate(scored[:LABELLED], start=1))
    axes.legend(handles=handles, loc="upper center", ncol=2, frameon=False, handlelength=1.2,
                columnspacing=1.5, title=f"Models per class, CAPRI / Tarvo (points: {points})",
                title_fontsize=FONT_SIZE - 0.5)
    if best:
        axes.text(0.5, 0.0, f"Best: {best}", transform=axes.transAxes, ha="center", va="bottom")


def _short(name, width=22):
    name = os.path.basename(os.fspath(name))
    return name if len(name) <= width else name[: width - 1] + "…"


def _tint(name, strength=0.2):
    """The class colour mixed into white, as an opaque background."""
    from matplotlib.colors import to_rgb

    return tuple(1 - strength * (1 - channel) for channel in to_rgb(CLASS_COLOURS[name]))


def _title(ordered, scored):
    natives = {entry["native"] for entry in ordered}
    against = f" against {os.path.basename(os.fspath(natives.pop()))}" if len(natives) == 1 else ""
    failed = len(ordered) - len(scored)
    return f"{_models(len(ordered))}{against}: {len(scored)} scored" + (f", {failed} failed" if failed else "")


def _models(count):
    return f"{count} model" + ("" if count == 1 else "s")
