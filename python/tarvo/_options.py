"""Scoring options checked by the module itself, before any work is spread out."""

import _tarvo_rs

# A path that no file can have: the empty text.
_NO_FILE = ""


def check_options(**options):
    """Raises what the module raises for these options, or returns quietly.

    The module reads the mapping text before it opens any file, so a run on a
    path that cannot exist fails with the options' own error if there is one,
    and otherwise with the same I/O error as a run without options.
    """
    try:
        _tarvo_rs.score(_NO_FILE, _NO_FILE, **options)
    except RuntimeError as exc:
        if str(exc) != _missing_file_error():
            raise


def _missing_file_error():
    try:
        _tarvo_rs.score(_NO_FILE, _NO_FILE)
    except RuntimeError as exc:
        return str(exc)
