"""Rows written as models are scored, so that a stopped run keeps what it finished."""

import csv
import json
import os

from ._records import to_records
from ._report import model_row, without_nan

INTERFACE_COLUMNS = ("model", "native", "mapping", "interface", "fnat", "fnonnat", "F1",
                     "iRMSD", "LRMSD", "clashes", "Tarvo")


def interface_rows(outcome):
    """One row per interface of a scored model."""
    return [
        {"mapping": record["best_mapping_str"], **{key: record[key] for key in INTERFACE_COLUMNS if key in record}}
        for record in to_records(outcome)
    ]


def outcome_rows(outcome, per_interface):
    if not per_interface:
        return [model_row(outcome)]
    return interface_rows(outcome) if outcome["ok"] else []


class RowWriter:
    """CSV with a header, or JSON Lines (NaN as null), onto an open text stream."""

    def __init__(self, stream, columns, jsonl, header):
        self.stream = stream
        self.jsonl = jsonl
        self.columns = columns
        self.csv = None if jsonl else csv.DictWriter(stream, fieldnames=columns, lineterminator="\n")
        if header and self.csv:
            self.csv.writeheader()

    def write(self, rows):
        for row in without_nan(rows):
            if self.jsonl:
                self.stream.write(json.dumps({key: row.get(key) for key in self.columns}) + "\n")
            else:
                self.csv.writerow(row)
        self.stream.flush()


def open_stream(path, columns, jsonl, resume):
    """Opens the output before any scoring; with `resume` an existing file is appended to.

    Returns the writer and the models the file already holds.
    """
    done = models_in(path, jsonl) if resume and os.path.exists(path) else set()
    appending = resume and os.path.exists(path) and os.path.getsize(path) > 0
    handle = open(path, "a" if resume else "w", encoding="utf-8", newline="",
                  errors="surrogateescape")
    return RowWriter(handle, columns, jsonl, header=not appending), done


def models_in(path, jsonl):
    """The models named by the rows of an earlier run's output."""
    with open(path, encoding="utf-8", newline="", errors="surrogateescape") as handle:
        if jsonl:
            return {json.loads(line)["model"] for line in handle if line.strip()}
        return {row["model"] for row in csv.DictReader(handle)}
