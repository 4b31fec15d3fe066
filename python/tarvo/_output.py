"""The shapes of what tarvo writes, each column list once, and one writer per format.

To add a column, add it to its list here (a model's column to model_row too): the
rows, the CSV and JSON Lines headers and the text tables that show it all read it
from this module.
"""

import io
import math

# Lower bounds of the quality classes of GlobalTarvo, best first.
QUALITY_CLASSES = ((0.80, "High"), (0.49, "Medium"), (0.23, "Acceptable"))
# The CAPRI classes of an interface, best first: (class, lowest fnat, highest iRMSD, highest LRMSD in Å).
# An interface is of the first class whose fnat bound it meets and one of whose RMSD bounds it meets.
CAPRI_CLASSES = (("High", 0.5, 1.0, 1.0), ("Medium", 0.3, 2.0, 5.0), ("Acceptable", 0.1, 4.0, 10.0))
# Both class scales, worst first.
CLASS_ORDER = ("Incorrect", "Acceptable", "Medium", "High")

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

# What every interface row of a model repeats about the model, so that one such file can be ranked alone.
MODEL_OF_INTERFACE_COLUMNS = (
    "GlobalTarvo_all", "GlobalTarvo", "model_quality", "model_CAPRI", "missing_interfaces", "error",
)

# One row per interface of a scored model (--per-interface), or one row with the error of a failed one.
INTERFACE_COLUMNS = ("model", "native", "mapping", "interface", *(key for key, _, _ in SHOWN_SCORES),
                     "quality", "CAPRI", *MODEL_OF_INTERFACE_COLUMNS)

# One row per model, scored or failed: model_row gives a scored model's values in this order.
MODEL_COLUMNS = (
    "model", "native", "ok", "GlobalTarvo_all", "GlobalTarvo", "quality", "CAPRI", "fnat", "iRMSD", "LRMSD",
    "best_tarvo", "best_mapping_str", "interfaces", "missing_interfaces", "mapping_exact", "mapping_gap", "error",
)

# Values of the rows that are not text, for reading a result file back.
FLOAT_COLUMNS = ("GlobalTarvo_all", "GlobalTarvo", "fnat", "fnonnat", "F1", "iRMSD", "LRMSD", "Tarvo", "best_tarvo",
                 "mapping_gap")
FLAG_COLUMNS = ("ok", "mapping_exact")
COUNT_COLUMNS = ("interfaces", "missing_interfaces", "clashes", "rank")

# What the rows of `tarvo rank -o FILE` add, so that --resume can recognise
# its models however they are named and refuse to mix runs: the model's and
# the native's absolute paths, and the scoring options as command-line flags.
RUN_COLUMNS = ("model_file", "native_file", "options")


def quality_class(global_tarvo):
    if math.isnan(global_tarvo):
        return "no interfaces"
    for lowest, name in QUALITY_CLASSES:
        if global_tarvo >= lowest:
            return name
    return "Incorrect"


def capri_class(fnat, irmsd, lrmsd):
    """The CAPRI class of one interface; an undefined value meets no bound."""
    for name, lowest_fnat, highest_irmsd, highest_lrmsd in CAPRI_CLASSES:
        if fnat >= lowest_fnat and (irmsd <= highest_irmsd or lrmsd <= highest_lrmsd):
            return name
    return "Incorrect"


def model_capri_class(interfaces):
    """The class of the model's best interface, as CAPRI rates a model of a multi-interface target."""
    classes = [capri_class(values["fnat"], values["iRMSD"], values["LRMSD"]) for values in interfaces]
    return max(classes, key=CLASS_ORDER.index) if classes else "no interfaces"


def tarvo_over_all_interfaces(result):
    """GlobalTarvo with every native interface the mapping left unscored counted as 0."""
    count = len(result["best_result"]) + len(result["missing_interfaces"])
    return result["best_tarvo"] / count if count else math.nan


def interface_mean(interfaces, key):
    return defined_mean([values[key] for values in interfaces])


def defined_mean(values):
    """The mean of the values that are defined (an interface may lack an iRMSD); NaN if none is."""
    defined = [value for value in values if value is not None and not math.isnan(value)]
    return math.fsum(defined) / len(defined) if defined else math.nan


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
    """One row per model under MODEL_COLUMNS: its scores, or its error.

    Written out in full rather than built from a table: rank makes one for each of thousands of
    models, and the table's calls cost more than the scores.
    """
    if not outcome["ok"]:
        return {"model": outcome["model"], "native": outcome["native"], "ok": outcome["ok"], "error": outcome["error"]}
    result = outcome["result"]
    interfaces = result["best_result"].values()
    global_tarvo = result["GlobalTarvo"]
    return {
        "model": outcome["model"], "native": outcome["native"], "ok": outcome["ok"],
        "GlobalTarvo_all": tarvo_over_all_interfaces(result),
        "GlobalTarvo": global_tarvo,
        "quality": quality_class(global_tarvo),
        "CAPRI": model_capri_class(interfaces),
        "fnat": interface_mean(interfaces, "fnat"),
        "iRMSD": interface_mean(interfaces, "iRMSD"),
        "LRMSD": interface_mean(interfaces, "LRMSD"),
        "best_tarvo": result["best_tarvo"],
        "best_mapping_str": result["best_mapping_str"],
        "interfaces": len(interfaces),
        "missing_interfaces": len(result["missing_interfaces"]),
        "mapping_exact": result["mapping_exact"],
        "mapping_gap": result["mapping_gap"],
    }


def interface_rows(outcome):
    """The rows of one model, one per interface, each with the model's scores; a failure's is its error."""
    if not outcome["ok"]:
        return [{"model": outcome["model"], "native": outcome["native"], "error": outcome["error"]}]
    model = model_row(outcome)
    of_model = {"GlobalTarvo_all": model["GlobalTarvo_all"], "GlobalTarvo": model["GlobalTarvo"],
                "model_quality": model["quality"], "model_CAPRI": model["CAPRI"],
                "missing_interfaces": model["missing_interfaces"]}
    rows = []
    for record in records_of(outcome):
        classes = {}
        if record["interface"] is not None:
            classes = {"quality": quality_class(record["Tarvo"]),
                       "CAPRI": capri_class(record["fnat"], record["iRMSD"], record["LRMSD"])}
        rows.append({**record, "mapping": record["best_mapping_str"], **classes, **of_model})
    return rows


def outcome_columns(per_interface):
    return INTERFACE_COLUMNS if per_interface else MODEL_COLUMNS


def ranked_columns(per_interface):
    """The rows of a ranking printed whole: scored models with their rank first."""
    return ("rank", *outcome_columns(per_interface))


def output_file_columns(per_interface):
    return (*outcome_columns(per_interface), *RUN_COLUMNS)


def outcome_rows(outcomes, per_interface):
    """One row per model, or one per interface of each model; failures too."""
    if not per_interface:
        return [model_row(outcome) for outcome in outcomes]
    return [row for outcome in outcomes for row in interface_rows(outcome)]


def ranked_outcome_rows(ordered, per_interface):
    """outcome_rows of outcomes in ranked order; the rows of scored models carry their rank."""
    return [{**row, **({"rank": rank} if outcome["ok"] else {})}
            for rank, outcome in enumerate(ordered, start=1)
            for row in outcome_rows([outcome], per_interface)]


# ---------------------------------------------------------------- writers

def finite_or_none(value):
    """A flat value, a non-finite float as None: rows hold no lists or dicts."""
    return None if isinstance(value, float) and not math.isfinite(value) else value


def without_nan(value):
    """A copy, nested dicts and lists too, with every non-finite float replaced by None: null in JSON."""
    if isinstance(value, dict):
        return {key: without_nan(item) for key, item in value.items()}
    if isinstance(value, list):
        return [without_nan(item) for item in value]
    return finite_or_none(value)


def csv_line(values):
    """One CSV row ending in "\n"; a missing or non-finite value is an empty cell, and a cell holding
    "\r", "\n", "," or '"' is quoted (RFC 4180).

    The writer's line end is "\r\n" only so that it quotes a lone "\r" too:
    a name holding one must not split its row when the file is read back.
    A row with nothing to quote is joined directly, as the writer would join it:
    rank writes thousands, and the writer costs more than the row.
    """
    cells = ["" if value is None or isinstance(value, float) and not math.isfinite(value)
             else value if isinstance(value, str) else str(value) for value in values]
    line = ",".join(cells)
    if len(cells) > 1 and line.count(",") == len(cells) - 1 and '"' not in line and "\r" not in line \
            and "\n" not in line:
        return line + "\n"
    import csv  # only here: few rows need quoting, and the import would slow every run's start

    buffer = io.StringIO()
    csv.writer(buffer, lineterminator="\r\n").writerow(cells)
    return buffer.getvalue()[:-2] + "\n"


def rows_text(rows, columns, jsonl=False, header=True):
    """Rows under `columns` as CSV (with a header line unless `header` is false) or JSON Lines.

    A missing or non-finite value is an empty cell, or null.
    """
    lines = [csv_line(columns)] if header and not jsonl else []
    lines += [row_text(row, columns, jsonl) for row in rows]
    return "".join(lines)


def row_text(row, columns, jsonl):
    if jsonl:
        import json  # here, as in every JSON writer and reader: runs that write CSV do without it

        return json.dumps({column: finite_or_none(row.get(column)) for column in columns}) + "\n"
    return csv_line(map(row.get, columns))


def ranked_model_rows_text(ordered, jsonl):
    """rows_text of ranked models under ranked_columns(False), from each entry's "text": its row_text
    under MODEL_COLUMNS, made while later models were scored. The rank goes before it."""
    lines = [] if jsonl else [csv_line(ranked_columns(False))]
    for rank, entry in enumerate(ordered, start=1):
        if jsonl:
            lines.append(f'{{"rank": {rank if entry["ok"] else "null"}, {entry["text"][1:]}')
        else:
            lines.append(f'{rank if entry["ok"] else ""},{entry["text"]}')
    return "".join(lines)


def outcomes_text(outcomes, per_interface, jsonl):
    return rows_text(outcome_rows(outcomes, per_interface), outcome_columns(per_interface), jsonl)


def pair_csv(result):
    # A result without interfaces is a header alone.
    return rows_text(records_of(result) if result["best_result"] else [], PAIR_COLUMNS)


def ranked_text(ordered, per_interface, jsonl):
    return rows_text(ranked_outcome_rows(ordered, per_interface), ranked_columns(per_interface), jsonl)


def to_json(value):
    import json

    return json.dumps(without_nan(value), indent=2, allow_nan=False) + "\n"


# ---------------------------------------------------------------- models, from outcomes or from a file

def model_entry(outcome):
    """A model as rankings, summaries and plots take it: its row, and (fnat, iRMSD, LRMSD) per interface."""
    points = []
    if outcome["ok"]:
        points = [(values["fnat"], values["iRMSD"], values["LRMSD"])
                  for values in outcome["result"]["best_result"].values()]
    return {**model_row(outcome), "points": points, "outcome": outcome}


def typed(row):
    """A row read back from a file (every value a string) with its numbers and flags as written."""
    values = dict(row)
    for key in FLOAT_COLUMNS:
        if key in values:
            values[key] = float(values[key]) if values[key] else math.nan
    for key in COUNT_COLUMNS:
        if values.get(key):
            values[key] = int(values[key])
    for key in FLAG_COLUMNS:
        if isinstance(values.get(key), str):
            values[key] = values[key] == "True"
    return values


def entries_of_rows(rows, per_interface):
    """The model entries of the rows of a result file, in file order.

    Per-model rows give one point per model, its means over its interfaces;
    per-interface rows give one point per interface, as outcomes do.
    """
    rows = [typed(row) for row in rows]
    if not per_interface:
        return [{**row, "points": [(row["fnat"], row["iRMSD"], row["LRMSD"])] if row["ok"] and row["interfaces"]
                 else []} for row in rows]
    models = {}
    for row in rows:
        models.setdefault(row.get("model_file") or row["model"], []).append(row)
    return [entry_of_interface_rows(rows) for rows in models.values()]


def entry_of_interface_rows(rows):
    first = rows[0]
    entry = {"model": first["model"], "native": first["native"], "model_file": first.get("model_file")}
    if first["error"]:
        return {**entry, "ok": False, "error": first["error"], "points": []}
    scored = [row for row in rows if row["interface"]]
    return {
        **entry, "ok": True,
        "GlobalTarvo_all": first["GlobalTarvo_all"], "GlobalTarvo": first["GlobalTarvo"],
        "quality": first["model_quality"], "CAPRI": first["model_CAPRI"],
        **{key: defined_mean(row[key] for row in scored) for key in ("fnat", "iRMSD", "LRMSD")},
        "best_tarvo": math.fsum(row["Tarvo"] for row in scored),
        "best_mapping_str": first["mapping"], "interfaces": len(scored),
        "missing_interfaces": first["missing_interfaces"],
        "points": [(row["fnat"], row["iRMSD"], row["LRMSD"]) for row in scored],
    }
