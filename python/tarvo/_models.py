"""The model paths a ``tarvo rank`` command line names: files, directories, globs and @lists."""

import os
import stat

MODEL_SUFFIXES = (".pdb", ".cif", ".ent", ".mmcif", ".pdb.gz", ".cif.gz", ".ent.gz", ".mmcif.gz")


class ModelListError(Exception):
    """An argument that names no model file; the message says why."""


def collect_models(arguments):
    models = []
    for argument in arguments:
        if argument.startswith("@"):
            models += read_model_list(argument[1:])
        else:
            models += expand_models(argument)
    if not models:
        raise ModelListError("no model files given")
    return models


def read_model_list(path):
    try:
        # utf-8-sig: a byte-order mark that an editor put first is no part of the first path.
        with open(path, encoding="utf-8-sig", errors="surrogateescape") as handle:
            lines = [line.strip() for line in handle]
    except OSError as error:
        raise ModelListError(f"cannot read model list {path}: {error.strerror}") from None
    models = []
    for line in lines:
        if line and not line.startswith("#"):
            models += expand_models(line)
    return models


def expand_models(argument):
    """Paths named by one argument; a plain path is kept even if missing, so its error is listed."""
    try:
        mode = os.stat(argument).st_mode  # one look serves both questions: thousands of paths come this way
    except (OSError, ValueError):
        mode = None
    if mode is not None and stat.S_ISDIR(mode):
        found = [entry.path for entry in os.scandir(argument) if is_structure_file(entry)]
        if not found:
            raise ModelListError(f"{argument}: no structure files in this directory")
        return sorted(found)
    if mode is None and any(char in argument for char in "*?["):
        import glob  # only here: most paths are no patterns, and the import would slow every run's start

        matches = sorted(glob.glob(argument))
        if not matches:
            raise ModelListError(f"{argument}: no files match this pattern")
        return [path for match in matches for path in expand_models(match)]
    return [argument]


def is_structure_file(entry):
    return entry.is_file() and entry.name.lower().endswith(MODEL_SUFFIXES)


def item_indices(outcomes, first_index):
    """(input index, outcome) of a batch call's outcomes, the first input at `first_index`.

    One outcome per input, or with all_models one per MODEL of each input, in
    file order: each input's outcomes start at model_index 0 (or are its one failure).
    """
    index = first_index - 1
    for outcome in outcomes:
        if outcome.get("model_index", 0) == 0:
            index += 1
        yield index, outcome
