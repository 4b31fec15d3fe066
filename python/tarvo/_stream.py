"""Rows written as models are scored, so that a stopped run keeps what it finished."""

import csv
import json
import os

from ._output import RowWriter


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
