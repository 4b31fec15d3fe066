"""The file of `tarvo rank -o`: rows written as models are scored, locked, and resumable.

Each model's rows reach the file in one write, and a failed write is cut back
off, so the file holds complete rows only, except after a crash of the machine
or a kill in mid-write: --resume then drops the incomplete last row.
"""

import os
import re
import stat
import types

from ._output import csv_line, outcome_rows, output_file_columns, rows_text


class OutputError(Exception):
    """The file cannot be opened, locked or written; the message names it and says why."""


class ResumeError(Exception):
    """The file is not one this run can append to; the message says what differs."""


def model_file(path):
    """`path` made absolute with its directories resolved.

    The last link is kept: each link to one file is a model of its own.
    """
    head, name = os.path.split(os.path.abspath(path))
    return os.path.join(os.path.realpath(head), name)


class RowFile:
    """The open, locked output file; `run` holds the native_file and options of every row."""

    def __init__(self, path, fd, per_interface, jsonl, run):
        self.path = path
        self.fd = fd
        self.per_interface = per_interface
        self.jsonl = jsonl
        self.run = run
        self.columns = output_file_columns(per_interface)
        self.all_models = "--all-models" in run["options"].split()

    def write(self, outcomes):
        """Writes the rows of one model file's outcomes (one, or one per MODEL) in one write."""
        rows = [{**row, "model_file": model_file(outcome["model"]), **self.run}
                for outcome in outcomes for row in outcome_rows([outcome], self.per_interface)]
        if rows:
            self.write_text(rows_text(rows, self.columns, self.jsonl, header=False))

    def source_file(self, written_model_file):
        """The model file a row's model_file comes from: with --all-models it ends in #N, the MODEL."""
        if self.all_models:
            return re.sub(r"#\d+$", "", written_model_file)
        return written_model_file

    def write_text(self, text):
        """Writes `text` whole, or cuts the file back to where it was and raises OutputError."""
        data = text.encode("utf-8", "surrogateescape")
        start = os.lseek(self.fd, 0, os.SEEK_CUR) if is_regular(self.fd) else None
        try:
            while data:
                data = data[os.write(self.fd, data):]
        except OSError as error:
            if start is not None:
                try:
                    os.ftruncate(self.fd, start)
                    os.lseek(self.fd, start, os.SEEK_SET)
                except OSError:
                    pass
            raise OutputError(f"cannot write {self.path}: {error.strerror}") from None

    def close(self):
        os.close(self.fd)


def is_regular(fd):
    return stat.S_ISREG(os.fstat(fd).st_mode)


def open_row_file(path, per_interface, jsonl, resume, run):
    """Opens and locks the output before any scoring; truncates it, or with `resume` checks it.

    Returns the file, the model_file of each model it already holds, and the
    names of the models whose incomplete rows were cut off (None if none were).
    """
    try:
        # Opened without truncation: a file that another run holds is left as it is.
        fd = os.open(path, (os.O_RDWR if resume else os.O_WRONLY) | os.O_CREAT | os.O_CLOEXEC, 0o666)
    except OSError as error:
        raise OutputError(f"cannot write {path}: {error.strerror}") from None
    try:
        row_file = RowFile(path, fd, per_interface, jsonl, run)
        done, cut = set(), None
        if is_regular(fd):
            lock(fd, path)
            kept = 0
            if resume:
                kept, done, cut = resumable(read_all(fd), row_file)
            os.ftruncate(fd, kept)
            os.lseek(fd, kept, os.SEEK_SET)
            if kept:
                if os.pread(fd, 1, kept - 1) != b"\n":  # a complete last row, its line end missing
                    row_file.write_text("\n")
                return row_file, done, cut
        row_file.write_text(rows_text([], row_file.columns, jsonl))
        return row_file, done, cut
    except BaseException:
        os.close(fd)
        raise


def lock(fd, path):
    import fcntl  # here, as csv and json where rows are read: a run without -o needs none of them

    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise OutputError(f"{path} is being written by another tarvo run") from None
    except OSError as error:
        raise OutputError(f"cannot lock {path}: {error.strerror}") from None


def read_all(fd):
    chunks = []
    while chunk := os.read(fd, 1 << 20):
        chunks.append(chunk)
    return b"".join(chunks)


# ---------------------------------------------------------------- reading back

def read_row_file(path):
    """(per_interface, rows) of a file that `tarvo rank -o` wrote, complete or interrupted.

    Rows are dictionaries of strings, as --resume reads them; an incomplete last row is left out.
    """
    import csv
    import json

    try:
        with open(path, "rb") as handle:
            text = handle.read().decode("utf-8", "surrogateescape")
    except OSError as error:
        raise OutputError(f"cannot read {path}: {error.strerror}") from None
    jsonl = text.lstrip().startswith("{")
    lines = lines_of(text)
    if not lines or (len(lines) == 1 and not lines[0].endswith("\n")):
        return False, []  # stopped before its first row was whole
    if jsonl:
        try:
            found = tuple(json.loads(lines[0]))
        except (ValueError, TypeError):
            found = ()
    else:
        found = next(csv.reader(lines[:1]), [])
    shapes = [per_interface for per_interface in (False, True) if tuple(found) == output_file_columns(per_interface)]
    if not shapes:
        raise OutputError(f"{path}: not an output of tarvo rank -o")
    per_interface = shapes[0]
    columns = output_file_columns(per_interface)
    reader = types.SimpleNamespace(path=path, columns=columns, per_interface=per_interface, jsonl=jsonl,
                                   run={"options": None})
    parse = jsonl_records if jsonl else csv_records
    try:
        records = [record for record, _ in parse(text, reader)]
        if records and records[-1] is None and len(records) > 1 and not jsonl:
            # A last row without its line end is whole when it ends in the run's options, as every row does.
            reader.run["options"] = records[0]["options"]
            records = [record for record, _ in parse(text, reader)]
    except ResumeError:
        raise OutputError(f"{path}: not an output of tarvo rank -o") from None
    return per_interface, [record for record in records if record is not None]


# ---------------------------------------------------------------- resuming

def lines_of(text):
    return re.findall(r"[^\n]*\n|[^\n]+", text)


def resumable(data, row_file):
    """(bytes to keep, model_file of each model kept, names of the models cut off or None)."""
    text = data.decode("utf-8", "surrogateescape")
    parse = jsonl_records if row_file.jsonl else csv_records
    records = list(parse(text, row_file))
    complete = [(record, end) for record, end in records if record is not None]
    cut = None
    if records and records[-1][0] is None:
        # The last row was cut off in mid-write: its model is scored again, and
        # with one row per interface so is the model before it, whose rows may
        # be complete only in part.
        # So are the other MODELs of its file with --all-models, written in the same write.
        partial_model = records[-1][1]
        cut = [partial_model] if partial_model is not None else []
        if complete and (row_file.per_interface or row_file.all_models):
            last = row_file.source_file(complete[-1][0]["model_file"])
            while complete and row_file.source_file(complete[-1][0]["model_file"]) == last:
                cut.append(complete.pop()[0]["model"])
        kept = complete[-1][1] if complete else header_end(text, row_file)
    else:
        kept = len(text)
    for record, _ in complete:
        check_run(record, row_file)
    kept_bytes = len(text[:kept].encode("utf-8", "surrogateescape"))
    cut = list(dict.fromkeys(cut)) if cut is not None else None  # one name per model, not per row
    return kept_bytes, {row_file.source_file(record["model_file"]) for record, _ in complete}, cut


def header_end(text, row_file):
    if row_file.jsonl:
        return 0
    header = csv_line(row_file.columns)
    return len(header) if text.startswith(header) else 0


def csv_records(text, row_file):
    """Yields (record dict, end offset) per complete row, and (None, its model or None) for an incomplete last one."""
    import csv

    columns = row_file.columns
    lines = lines_of(text)
    consumed = 0

    def fed():
        nonlocal consumed
        for line in lines:
            consumed += len(line)
            yield line

    reader = csv.reader(fed(), strict=True)
    try:
        header = next(reader)
    except StopIteration:
        return
    except csv.Error:
        header = None
    if header != list(columns):
        if consumed == len(text) and not text.endswith("\n") and csv_line(columns).startswith(text):
            return  # only the start of the header was written
        raise ResumeError(columns_differ(row_file, header if header is not None else []))
    while True:
        try:
            fields = next(reader)
        except StopIteration:
            return
        except csv.Error:
            if consumed < len(text):
                raise ResumeError(f"cannot resume from {row_file.path}: not an output of tarvo rank "
                                  f"(a row before the last cannot be read)") from None
            fields = []
        at_end = consumed == len(text)
        finished = text.endswith("\n") or fields[-1:] == [row_file.run["options"]]
        if len(fields) == len(columns) and (finished or not at_end):
            yield dict(zip(columns, fields)), consumed
        elif at_end:
            yield None, fields[0] if len(fields) > 1 else None
        else:
            raise ResumeError(f"cannot resume from {row_file.path}: not an output of tarvo rank "
                              f"(a row holds {len(fields)} fields, not {len(columns)})")


def jsonl_records(text, row_file):
    """As csv_records, for JSON Lines: a last line that is not whole JSON is the incomplete row."""
    import json

    lines = lines_of(text)
    end = 0
    for number, line in enumerate(lines, start=1):
        end += len(line)
        try:
            record = json.loads(line)
        except ValueError:
            if number < len(lines):
                raise ResumeError(not_jsonl(row_file, lines[0])) from None
            yield None, model_of_partial_line(line)
            return
        if not isinstance(record, dict) or tuple(record) != row_file.columns:
            raise ResumeError(columns_differ(row_file, list(record) if isinstance(record, dict) else []))
        yield {key: "" if value is None else str(value) for key, value in record.items()}, end


def model_of_partial_line(line):
    import json

    prefix = '{"model": '
    if not line.startswith(prefix):
        return None
    try:
        return json.JSONDecoder().raw_decode(line, len(prefix))[0]
    except ValueError:
        return None


def not_jsonl(row_file, first_line):
    if first_line.lstrip().startswith("{"):
        return f"cannot resume from {row_file.path}: not an output of tarvo rank (a line is not JSON)"
    return f"cannot resume from {row_file.path}: it holds CSV, and this run writes JSON Lines (--jsonl)"


def columns_differ(row_file, found):
    path = row_file.path
    if found[:1] and found[0].lstrip().startswith("{"):
        return f"cannot resume from {path}: it holds JSON Lines, and this run writes CSV (no --jsonl)"
    if tuple(found) == output_file_columns(not row_file.per_interface):
        written, run = ("one row per model", "--per-interface") if row_file.per_interface else \
            ("one row per interface (--per-interface)", "one row per model")
        return f"cannot resume from {path}: it holds {written}, and this run writes {run}"
    return f"cannot resume from {path}: not an output of tarvo rank (its columns are {', '.join(found)})"


def check_run(record, row_file):
    """Refuses a row of another native or other scoring options than this run's."""
    run = row_file.run
    if not same_file(record["native_file"], run["native_file"]):
        raise ResumeError(f"cannot resume from {row_file.path}: it was scored against the native "
                          f"{record['native_file']}, this run against {run['native_file']}")
    if record["options"] != run["options"]:
        raise ResumeError(f"cannot resume from {row_file.path}: it was scored with "
                          f"{options_text(record['options'])}, this run with {options_text(run['options'])}")


def same_file(first, second):
    if first == second:
        return True
    try:
        return os.path.samefile(first, second)
    except OSError:
        return False


def options_text(options):
    return f"the options '{options}'" if options else "the default options"
