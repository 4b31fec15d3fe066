"""Reports of scores: text tables, CSV rows and JSON, with NaN written as null."""

import csv
import io
import json
import math

# Lower bounds of the quality classes of GlobalTarvo, best first.
QUALITY_CLASSES = ((0.80, "High"), (0.49, "Medium"), (0.23, "Acceptable"))

INTERFACE_KEYS = (
    "Tarvo", "F1", "iRMSD", "LRMSD", "fnat", "nat_correct", "nat_total", "fnonnat",
    "nonnat_count", "model_total", "clashes", "len1", "len2", "class1", "class2",
    "chain1", "chain2", "is_het",
)


def quality_class(global_tarvo):
    if math.isnan(global_tarvo):
        return "no interfaces"
    for lowest, name in QUALITY_CLASSES:
        if global_tarvo >= lowest:
            return name
    return "Incorrect"


def number(value, decimals):
    return "NaN" if math.isnan(value) else f"{value:.{decimals}f}"


def table(header, rows, flush_left):
    """Aligned text columns: those named in `flush_left` flush left, numbers flush right."""
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]
    left = [name in flush_left for name in header]

    def line(cells):
        padded = (
            cell.ljust(width) if flush_left else cell.rjust(width)
            for cell, width, flush_left in zip(cells, widths, left)
        )
        return "  ".join(padded).rstrip()

    return [line(header)] + [line(row) for row in rows]


def pair_report(result):
    mapping = ", ".join(f"native {n} -> model {m}" for n, m in result["best_mapping"].items())
    lines = [
        f"Model        {result['model']}",
        f"Native       {result['native']}",
        f"Mapping      {result['best_mapping_str']}  ({mapping or 'no chains mapped'})",
        "",
    ]
    if result["best_result"]:
        header = ("Native", "Model", "fnat", "fnonnat", "F1", "iRMSD", "LRMSD", "Clashes", "Tarvo")
        rows = [interface_row(name, values) for name, values in result["best_result"].items()]
        lines += table(header, rows, flush_left=("Native", "Model"))
    else:
        lines.append("No native interface: the native chains are not in contact.")
    global_tarvo = result["GlobalTarvo"]
    lines += ["", f"GlobalTarvo  {number(global_tarvo, 3)}  ({quality_class(global_tarvo)})"]
    return "\n".join(lines) + "\n"


def interface_row(name, values):
    # Groups "HL:A" keep their ':'; the comma form of long chain ids its ','.
    separator = ":" if ":" in name else "," if "," in name else ""
    return (
        name,
        values["chain1"] + separator + values["chain2"],
        number(values["fnat"], 3),
        number(values["fnonnat"], 3),
        number(values["F1"], 3),
        number(values["iRMSD"], 2),
        number(values["LRMSD"], 2),
        str(values["clashes"]),
        number(values["Tarvo"], 3),
    )


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


def pair_csv(result):
    fields = ("model", "native", "best_mapping_str", "GlobalTarvo", "interface") + INTERFACE_KEYS
    rows = [
        {
            "model": result["model"],
            "native": result["native"],
            "best_mapping_str": result["best_mapping_str"],
            "GlobalTarvo": result["GlobalTarvo"],
            "interface": name,
            **values,
        }
        for name, values in result["best_result"].items()
    ]
    return to_csv(fields, rows)


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
        header = ("Rank", "GlobalTarvo", "Quality", "Mapping", "Interfaces", "Missing", "Model")
        rows = [rank_row(rank, outcome) for rank, outcome in enumerate(scored, start=1)]
        lines += [""] + table(header, rows, flush_left=("Quality", "Mapping", "Model"))
    if failed:
        lines += ["", "Failed"]
        lines += [f"  {outcome['model']}: {outcome['error']}" for outcome in failed]
    return "\n".join(lines) + "\n"


def rank_row(rank, outcome):
    result = outcome["result"]
    return (
        str(rank),
        number(result["GlobalTarvo"], 3),
        quality_class(result["GlobalTarvo"]),
        result["best_mapping_str"],
        str(len(result["best_result"])),
        str(len(result["missing_interfaces"])),
        outcome["model"],
    )


MODEL_COLUMNS = ("model", "native", "ok", "GlobalTarvo", "quality", "best_tarvo",
                 "best_mapping_str", "interfaces", "missing_interfaces", "error")


def model_row(outcome):
    """One row per model: its score, or its error."""
    row = {"model": outcome["model"], "native": outcome["native"], "ok": outcome["ok"]}
    if outcome["ok"]:
        result = outcome["result"]
        row.update(
            GlobalTarvo=result["GlobalTarvo"],
            quality=quality_class(result["GlobalTarvo"]),
            best_tarvo=result["best_tarvo"],
            best_mapping_str=result["best_mapping_str"],
            interfaces=len(result["best_result"]),
            missing_interfaces=len(result["missing_interfaces"]),
        )
    else:
        row["error"] = outcome["error"]
    return row


def rank_csv(ordered):
    """Scored models carry their rank; failures have none."""
    rows = [{**model_row(outcome), **({"rank": rank} if outcome["ok"] else {})}
            for rank, outcome in enumerate(ordered, start=1)]
    return to_csv(("rank",) + MODEL_COLUMNS, rows)


def without_nan(value):
    """A copy with every non-finite float replaced by None, which JSON writes as null."""
    if isinstance(value, dict):
        return {key: without_nan(item) for key, item in value.items()}
    if isinstance(value, list):
        return [without_nan(item) for item in value]
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def to_json(value):
    return json.dumps(without_nan(value), indent=2, allow_nan=False) + "\n"


def to_csv(fields, rows):
    """Flat rows under `fields`; a missing or non-finite value is an empty cell."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(fields)
    writer.writerows([[finite_or_none(row.get(field)) for field in fields] for row in rows])
    return buffer.getvalue()


def finite_or_none(value):
    return None if isinstance(value, float) and not math.isfinite(value) else value
