"""The shapes of what tarvo writes, each column list once, and one writer per format.

To add a column, add it to its list here: the rows, the CSV and JSON Lines
headers and the text tables that show it all read it from this module.
"""

import csv
import io
import json
import math

# Lower bounds of the quality classes of GlobalTarvo, best first.
QUALITY_CLASSES = ((0.80, "High"), (0.49, "Medium"), (0.23, "Acceptable"))

# The scores of one interface, in the order of the module's interface dictionaries.
INTERFACE_KEYS = (
    "Tarvo", "F1", "iRMSD", "LRMSD", "fnat", "nat_correct", "nat_total", "fnonnat",
    "nonnat_count", "model_total", "clashes", "len1", "len2", "class1", "class2",
    "chain1", "chain2", "is_het",
)

# A flat record (tarvo.to_records): one interface of one model.
RECORD_KEYS = ("model", "native", "ok", "error", "GlobalTarvo", "best_mapping_str", "interface", *INTERFACE_KEYS)

# The CSV of one pair: one row per interface.
PAIR_COLUMNS = ("model", "native", "best_mapping_str", "GlobalTarvo", "interface", *INTERFACE_KEYS)

# The scores of an interface that the per-interface rows and the text report both show:
# (key, title in the text report, decimals shown there; None for a count).
SHOWN_SCORES = (
    ("fnat", "fnat", 3), ("fnonnat", "fnonnat", 3), ("F1", "F1", 3), ("iRMSD", "iRMSD", 2),
    ("LRMSD", "LRMSD", 2), ("clashes", "Clashes", None), ("Tarvo", "Tarvo", 3),
)

# One row per interface of a scored model (--per-interface).
INTERFACE_COLUMNS = ("model", "native", "mapping", "interface", *(key for key, _, _ in SHOWN_SCORES))

# The fields of a scored model's row, each with how it is read from the module's result.
SCORED_MODEL_FIELDS = (
    ("GlobalTarvo", lambda result: result["GlobalTarvo"]),
    ("quality", lambda result: quality_class(result["GlobalTarvo"])),
    ("best_tarvo", lambda result: result["best_tarvo"]),
    ("best_mapping_str", lambda result: result["best_mapping_str"]),
    ("interfaces", lambda result: len(result["best_result"])),
    ("missing_interfaces", lambda result: len(result["missing_interfaces"])),
    ("mapping_exact", lambda result: result["mapping_exact"]),
    ("mapping_gap", lambda result: result["mapping_gap"]),
)

# One row per model, scored or failed.
MODEL_COLUMNS = ("model", "native", "ok", *(name for name, _ in SCORED_MODEL_FIELDS), "error")

# The CSV of a ranking: the model rows, scored ones with their rank.
RANK_COLUMNS = ("rank", *MODEL_COLUMNS)


def quality_class(global_tarvo):
    if math.isnan(global_tarvo):
        return "no interfaces"
    for lowest, name in QUALITY_CLASSES:
        if global_tarvo >= lowest:
            return name
    return "Incorrect"


# ---------------------------------------------------------------- rows

def records_of(item):
    """The flat records of one result of score() or one outcome, keys in RECORD_KEYS order.

    A failed outcome gives one record with its error and the other fields None;
    a result without interfaces gives one record whose interface is None.
    """
    if "ok" in item and not item["ok"]:
        record = dict.fromkeys(RECORD_KEYS)
        record.update(model=item["model"], native=item["native"], ok=False, error=item["error"])
        return [record]
    result = item["result"] if "ok" in item else item
    head = {
        "model": item["model"],
        "native": item["native"],
        "ok": True,
        "error": None,
        "GlobalTarvo": result["GlobalTarvo"],
        "best_mapping_str": result["best_mapping_str"],
    }
    interfaces = result["best_result"] or {None: dict.fromkeys(INTERFACE_KEYS)}
    return [
        {**head, "interface": name, **{key: values[key] for key in INTERFACE_KEYS}}
        for name, values in interfaces.items()
    ]


def model_row(outcome):
    """One row per model: its score, or its error."""
    row = {"model": outcome["model"], "native": outcome["native"], "ok": outcome["ok"]}
    if outcome["ok"]:
        row.update((name, value(outcome["result"])) for name, value in SCORED_MODEL_FIELDS)
    else:
        row["error"] = outcome["error"]
    return row


def ranked_rows(ordered):
    """The model rows of outcomes in ranked order; scored models carry their rank, failures none."""
    return [{**model_row(outcome), **({"rank": rank} if outcome["ok"] else {})}
            for rank, outcome in enumerate(ordered, start=1)]


def outcome_columns(per_interface):
    return INTERFACE_COLUMNS if per_interface else MODEL_COLUMNS


def outcome_rows(outcomes, per_interface):
    """One row per model, failures too; or one per interface of each scored model."""
    if not per_interface:
        return [model_row(outcome) for outcome in outcomes]
    return [
        {**record, "mapping": record["best_mapping_str"]}
        for outcome in outcomes if outcome["ok"]
        for record in records_of(outcome)
    ]


# ---------------------------------------------------------------- writers

def without_nan(value):
    """A copy with every non-finite float replaced by None: null in JSON, an empty cell in CSV."""
    if isinstance(value, dict):
        return {key: without_nan(item) for key, item in value.items()}
    if isinstance(value, list):
        return [without_nan(item) for item in value]
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


class RowWriter:
    """Rows under `columns` onto an open text stream, flushed after each write.

    CSV (csv module quoting, with a header line unless `header` is false) or
    JSON Lines; a missing or non-finite value is an empty cell, or null.
    """

    def __init__(self, stream, columns, jsonl, header=True):
        self.stream = stream
        self.columns = columns
        self.csv = None if jsonl else csv.writer(stream, lineterminator="\n")
        if header and self.csv:
            self.csv.writerow(columns)

    def write(self, rows):
        for row in rows:
            values = [without_nan(row.get(column)) for column in self.columns]
            if self.csv:
                self.csv.writerow(values)
            else:
                self.stream.write(json.dumps(dict(zip(self.columns, values))) + "\n")
        self.stream.flush()


def rows_text(rows, columns, jsonl=False):
    buffer = io.StringIO()
    RowWriter(buffer, columns, jsonl).write(rows)
    return buffer.getvalue()


def outcomes_text(outcomes, per_interface, jsonl):
    return rows_text(outcome_rows(outcomes, per_interface), outcome_columns(per_interface), jsonl)


def pair_csv(result):
    # A result without interfaces is a header alone.
    return rows_text(records_of(result) if result["best_result"] else [], PAIR_COLUMNS)


def rank_csv(ordered):
    return rows_text(ranked_rows(ordered), RANK_COLUMNS)


def to_json(value):
    return json.dumps(without_nan(value), indent=2, allow_nan=False) + "\n"
