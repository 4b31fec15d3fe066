"""Text reports of scores: the report of one pair, the ranked table and the warnings."""

import collections
import math

from ._output import INTERFACE_KEYS  # noqa: F401  (part of this module's interface)
from ._output import CLASS_ORDER, SHOWN_SCORES, capri_class, model_capri_class, quality_class, records_of


def printable(text):
    """`text` with control characters and undecodable bytes escaped as repr() does.

    File names reach terminals: none may move the cursor, change colours or
    break a line, and a name that is not UTF-8 shows its bytes (\\xff).
    """
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else escaped(char) for char in text)


def escaped(char):
    if "\udc80" <= char <= "\udcff":  # a byte that os.fsdecode could not decode
        return f"\\x{ord(char) - 0xDC00:02x}"
    return repr(char)[1:-1]


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
def interface_capri(record):
    return capri_class(record["fnat"], record["iRMSD"], record["LRMSD"])


# The interface's CAPRI class stands before its Tarvo, which stays the last column.
INTERFACE_TABLE = (
    ("Native", shown("interface")),
    ("Model", model_chains),
    *((title, shown(key, decimals)) for key, title, decimals in SHOWN_SCORES[:-1]),
    ("CAPRI", interface_capri),
    *((title, shown(key, decimals)) for key, title, decimals in SHOWN_SCORES[-1:]),
)
RANK_TABLE = (
    ("Rank", shown("rank")),
    ("GlobalTarvo_all", shown("GlobalTarvo_all", 3)),
    ("GlobalTarvo", shown("GlobalTarvo", 3)),
    ("Quality", shown("quality")),
    ("CAPRI", shown("CAPRI")),
    ("fnat", shown("fnat", 3)),
    ("iRMSD", shown("iRMSD", 2)),
    ("LRMSD", shown("LRMSD", 2)),
    ("Mapping", shown("best_mapping_str")),
    ("Interfaces", shown("interfaces")),
    ("Missing", shown("missing_interfaces")),
    # Rows of a per-interface file carry no gap: their mappings are shown as exact.
    ("Gap", lambda row: "exact" if row.get("mapping_exact", True) else number(row["mapping_gap"], 3)),
    ("Model", lambda row: printable(row["model"])),
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
        f"Model        {printable(result['model'])}",
        f"Native       {printable(result['native'])}",
        f"Mapping      {result['best_mapping_str']}  ({mapping or 'no chains mapped'})",
    ]
    if not result["mapping_exact"]:
        lines.append(f"             best found; a better mapping would add at most "
                     f"{number(result['mapping_gap'], 3)} to the total")
    lines.append("")
    if result["best_result"]:
        lines += table(INTERFACE_TABLE, records_of(result), flush_left=("Native", "Model", "CAPRI"))
    else:
        lines.append("No native interface: the native chains are not in contact.")
    global_tarvo = result["GlobalTarvo"]
    lines += ["", f"GlobalTarvo  {number(global_tarvo, 3)}  ({quality_class(global_tarvo)})"]
    if result["best_result"]:
        lines.append(f"CAPRI        {model_capri_class(result['best_result'].values())}  (its best interface)")
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


def ranked(entries):
    """Scored models best first, then failures, each carrying its rank.

    Models go by GlobalTarvo over all native interfaces (NaN last), so that one
    missing an interface never passes a complete model by the interfaces it
    left out; equal scores put fewer missing interfaces first, then input order.
    """
    scored = [entry for entry in entries if entry["ok"]]
    failed = [entry for entry in entries if not entry["ok"]]
    scored.sort(key=lambda entry: (descending(entry["GlobalTarvo_all"]), entry["missing_interfaces"]))
    return [{**entry, "rank": rank} for rank, entry in enumerate(scored, start=1)] + failed


def descending(value):
    return (True, 0.0) if math.isnan(value) else (False, -value)


def rank_report(native, ordered, top=None, program=None):
    """The ranked table (its first `top` rows), the failures and the summary; `program` as in program_lines."""
    scored = [entry for entry in ordered if entry["ok"]]
    failed = [entry for entry in ordered if not entry["ok"]]
    lines = [
        f"Native  {printable(native)}",
        f"Models  {len(ordered)}: {len(scored)} scored, {len(failed)} failed",
    ]
    if scored:
        shown_rows = scored[:top] if top is not None else scored
        lines += [""] + table(RANK_TABLE, shown_rows, flush_left=("Quality", "CAPRI", "Mapping", "Model"))
        if len(shown_rows) < len(scored):
            lines.append(f"... {len(scored) - len(shown_rows)} more (--top {top} shows the first {top})")
    if scored:
        lines += [""] + summary_lines(scored) + (program_lines(program) if program else [])
    if failed:
        lines += ["", "Failed"]
        lines += [f"  {printable(entry['model'])}: {printable(entry['error'])}" for entry in failed]
    return "\n".join(lines) + "\n"


def summary_lines(scored):
    """Models per class on both scales, and the best model."""
    best = scored[0]
    return [
        f"Tarvo classes  {class_counts(entry['quality'] for entry in scored)}",
        f"CAPRI classes  {class_counts(entry['CAPRI'] for entry in scored)}",
        f"Best model     {printable(best['model'])}  (GlobalTarvo_all {number(best['GlobalTarvo_all'], 3)}, "
        f"{best['quality']}; CAPRI {best['CAPRI']})",
    ]


def class_counts(classes):
    counts = collections.Counter(classes)
    names = [*reversed(CLASS_ORDER), *sorted(set(counts) - set(CLASS_ORDER))]
    return ", ".join(f"{counts[name]} {name}" for name in names if counts[name] or name in CLASS_ORDER)


def program_lines(program):
    """The lines of the docking program's own ranking: a ProgramRanking of _scores."""
    success = ", ".join(f"top {size}: {count}" for size, count in program.successes)
    rho = number(program.spearman, 3)
    return [
        f"Program score  {printable(program.column)} of {printable(program.path)} "
        f"({'lower' if program.lower_is_better else 'higher'} is better), {program.matched} of "
        f"{program.scored} scored models matched",
        f"Success        acceptable or better (CAPRI) in the program's {success}",
        f"Spearman       {rho} between the program's score and GlobalTarvo "
        f"(positive: the program agrees with Tarvo)",
    ]
