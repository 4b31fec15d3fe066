"""The docking program's own scores of the models (--scores): its success counts and its agreement with Tarvo."""

import csv
import dataclasses
import math

from ._stream import model_file

# The top-N sizes of the program's ranking at which docking papers count successes.
SUCCESS_SIZES = (1, 5, 10, 100)
# Column names taken for the model paths and the scores when none is given, first match wins.
MODEL_COLUMN_NAMES = ("model", "path", "file", "pose", "decoy", "name")
SCORE_COLUMN_NAMES = ("score", "total_score", "energy")
# CAPRI classes that count as a success.
SUCCESSFUL = ("Acceptable", "Medium", "High")


class ScoresError(Exception):
    """The scores file cannot be read or its columns cannot be told; the message says which and why."""


@dataclasses.dataclass
class ProgramRanking:
    path: str
    column: str
    lower_is_better: bool
    matched: int  # scored models that have a program score
    scored: int
    successes: list  # (top-N size, models of at least acceptable CAPRI class among them)
    spearman: float


def read_scores(path, model_column=None, score_column=None):
    """(model column, score column, {model name: score}) of a CSV file of the program's scores."""
    try:
        with open(path, encoding="utf-8-sig", errors="surrogateescape", newline="") as handle:
            reader = csv.DictReader(handle)
            header = reader.fieldnames or []
            rows = list(reader)
    except OSError as error:
        raise ScoresError(f"cannot read {path}: {error.strerror}") from None
    except csv.Error as error:
        raise ScoresError(f"{path}: not a CSV file ({error})") from None
    model_column = chosen_column(path, header, model_column, MODEL_COLUMN_NAMES, header[:1], "--model-column")
    others = [name for name in header if name != model_column]
    numeric = [name for name in others if rows and all(is_number(row[name]) for row in rows)]
    score_column = chosen_column(path, header, score_column, SCORE_COLUMN_NAMES,
                                 numeric if len(numeric) == 1 else [], "--scores-column")
    scores = {}
    for line, row in enumerate(rows, start=2):
        if not is_number(row[score_column]):
            raise ScoresError(f"{path}, line {line}: the score {row[score_column]!r} is not a number")
        scores[row[model_column]] = float(row[score_column])
    return model_column, score_column, scores


def chosen_column(path, header, given, names, fallback, flag):
    if given is not None:
        if given not in header:
            raise ScoresError(f"{path} has no column {given!r} (its columns: {', '.join(header)})")
        return given
    lowered = {name.strip().lower(): name for name in header}
    found = [lowered[name] for name in names if name in lowered] or list(fallback)
    if not found:
        raise ScoresError(f"cannot tell which column of {path} to use: name it with {flag} "
                          f"(its columns: {', '.join(header)})")
    return found[0]


def is_number(text):
    try:
        float(text)
    except (TypeError, ValueError):
        return False
    return True


def program_ranking(scored, path, column, scores, lower_is_better):
    """The program's ranking of the scored models that have a program score, judged by their Tarvo entries.

    A score is matched to a model by the name rank gave it, else by the file it names.
    """
    by_name = {}
    for entry in scored:
        by_name.setdefault(entry["model"], entry)
        by_name.setdefault(entry.get("model_file") or model_file(entry["model"]), entry)
    matched = {}
    for name, score in scores.items():
        entry = by_name.get(name) or by_name.get(model_file(name))
        if entry is not None and math.isfinite(score):
            matched[id(entry)] = (score, entry)
    pairs = list(matched.values())
    # Best first by the program's own account; equal scores keep the order of the file.
    ordered = sorted(pairs, key=lambda pair: pair[0] if lower_is_better else -pair[0])
    successes = [(size, sum(entry["CAPRI"] in SUCCESSFUL for _, entry in ordered[:size]))
                 for size in SUCCESS_SIZES]
    # Signed so that a program that ranks as Tarvo does gets a positive correlation.
    sign = -1.0 if lower_is_better else 1.0
    compared = [(sign * score, entry["GlobalTarvo"]) for score, entry in pairs
                if math.isfinite(entry["GlobalTarvo"])]
    rho = spearman([first for first, _ in compared], [second for _, second in compared])
    return ProgramRanking(path, column, lower_is_better, len(pairs), len(scored), successes, rho)


def spearman(first, second):
    """Spearman's rank correlation, ties given their average rank; NaN below two values or without spread."""
    if len(first) < 2:
        return math.nan
    return pearson(average_ranks(first), average_ranks(second))


def average_ranks(values):
    order = sorted(range(len(values)), key=values.__getitem__)
    ranks = [0.0] * len(values)
    start = 0
    while start < len(order):
        end = start
        while end + 1 < len(order) and values[order[end + 1]] == values[order[start]]:
            end += 1
        for position in range(start, end + 1):
            ranks[order[position]] = (start + end) / 2 + 1
        start = end + 1
    return ranks


def pearson(first, second):
    mean_first, mean_second = math.fsum(first) / len(first), math.fsum(second) / len(second)
    covariance = math.fsum((a - mean_first) * (b - mean_second) for a, b in zip(first, second))
    spread = math.sqrt(math.fsum((a - mean_first) ** 2 for a in first) *
                       math.fsum((b - mean_second) ** 2 for b in second))
    return covariance / spread if spread else math.nan
