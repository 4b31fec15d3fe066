"""Text reports of scores: the report of one pair, the ranked table and the warnings."""

import math

from ._output import INTERFACE_KEYS  # noqa: F401  (part of this module's interface)
from ._output import SHOWN_SCORES, quality_class, ranked_rows, records_of


def number(value, decimals):
    return "NaN" if math.isnan(value) else f"{value:.{decimals}f}"


def shown(key, decimals=None):
    """The cell of a row's `key`: a number to `decimals` places, or else the value as it is."""
    if decimals is None:
        return lambda row: str(row[key])
    return lambda row: number(row[key], decimals)


def model_chains(record):
    # Groups "HL:A" keep their ':'; the comma form of long chain ids its ','.
    name = record["interface"]
    separator = ":" if ":" in name else "," if "," in name else ""
    return record["chain1"] + separator + record["chain2"]


# Text tables as (title, cell of a row) pairs, so that header and rows cannot drift apart.
INTERFACE_TABLE = (
    ("Native", shown("interface")),
    ("Model", model_chains),
    *((title, shown(key, decimals)) for key, title, decimals in SHOWN_SCORES),
)
RANK_TABLE = (
    ("Rank", shown("rank")),
    ("GlobalTarvo", shown("GlobalTarvo", 3)),
    ("Quality", shown("quality")),
    ("Mapping", shown("best_mapping_str")),
    ("Interfaces", shown("interfaces")),
    ("Missing", shown("missing_interfaces")),
    ("Gap", lambda row: "exact" if row["mapping_exact"] else number(row["mapping_gap"], 3)),
    ("Model", shown("model")),
)


def table(columns, rows, flush_left):
    """Aligned text columns: those titled in `flush_left` flush left, numbers flush right."""
    header = [title for title, _ in columns]
    cells = [[cell(row) for _, cell in columns] for row in rows]
    widths = [max(len(text) for text in column) for column in zip(header, *cells)]
    left = [title in flush_left for title in header]

    def line(texts):
        padded = (
            text.ljust(width) if flush_left else text.rjust(width)
            for text, width, flush_left in zip(texts, widths, left)
        )
        return "  ".join(padded).rstrip()

    return [line(header)] + [line(texts) for texts in cells]


def pair_report(result):
    mapping = ", ".join(f"native {n} -> model {m}" for n, m in result["best_mapping"].items())
    lines = [
        f"Model        {result['model']}",
        f"Native       {result['native']}",
        f"Mapping      {result['best_mapping_str']}  ({mapping or 'no chains mapped'})",
    ]
    if not result["mapping_exact"]:
        lines.append(f"             best found; a better mapping would add at most "
                     f"{number(result['mapping_gap'], 3)} to the total")
    lines.append("")
    if result["best_result"]:
        lines += table(INTERFACE_TABLE, records_of(result), flush_left=("Native", "Model"))
    else:
        lines.append("No native interface: the native chains are not in contact.")
    global_tarvo = result["GlobalTarvo"]
    lines += ["", f"GlobalTarvo  {number(global_tarvo, 3)}  ({quality_class(global_tarvo)})"]
    return "\n".join(lines) + "\n"


def native_chains(name):
    """The two native chain ids of an interface name, "AB" or "A,BC"."""
    return tuple(name.split(",", 1)) if "," in name else (name[0], name[1:])


def unscored_warnings(result):
    """One warning line per native interface that no model chain could stand in for."""
    lines = []
    for name in result["missing_interfaces"]:
        unmapped = [chain for chain in native_chains(name) if chain not in result["best_mapping"]]
        chains = f"chain {unmapped[0]} has" if len(unmapped) == 1 else f"chains {' and '.join(unmapped)} have"
        lines.append(f"tarvo: warning: native interface {name} not scored: native {chains} no model chain")
    return lines


def ranked(outcomes):
    """Scored models by GlobalTarvo, best first (NaN last, input order on ties), then failures."""
    scored = [outcome for outcome in outcomes if outcome["ok"]]
    failed = [outcome for outcome in outcomes if not outcome["ok"]]
    scored.sort(key=lambda outcome: descending(outcome["result"]["GlobalTarvo"]))
    return scored + failed


def descending(value):
    return (True, 0.0) if math.isnan(value) else (False, -value)


def rank_report(native, ordered):
    scored = [outcome for outcome in ordered if outcome["ok"]]
    failed = [outcome for outcome in ordered if not outcome["ok"]]
    lines = [
        f"Native  {native}",
        f"Models  {len(ordered)}: {len(scored)} scored, {len(failed)} failed",
    ]
    if scored:
        lines += [""] + table(RANK_TABLE, ranked_rows(scored), flush_left=("Quality", "Mapping", "Model"))
    if failed:
        lines += ["", "Failed"]
        lines += [f"  {outcome['model']}: {outcome['error']}" for outcome in failed]
    return "\n".join(lines) + "\n"
