"""The command line's arguments: its parsers, the scoring flags built from the module's option
table, and the checks made before anything is read or written."""

import argparse
import errno
import os
import stat
import sys

from . import MappingError, check_arguments, score_options, version
from ._models import MODEL_SUFFIXES
from ._stream import model_file

EXAMPLES = """\
examples:
  tarvo examples/2GTP_model.pdb examples/2GTP_native.pdb
  tarvo model.pdb native.cif --mapping BA:AB --json -o result.json
  tarvo antibody_model.pdb complex.cif --groups HL:A
  tarvo rank native.pdb models/ extra_model.cif.gz 'runs/*/model_*.pdb' @more_models.txt
  tarvo rank native.pdb models/ --workers 8 --csv -o ranking.csv
  tarvo rank native.pdb poses/ -o ranking.csv --scores docking_scores.csv --lower-is-better --top 20
  tarvo report ranking.csv --plot ranking.png
"""


class CliError(Exception):
    """A problem to report as one ``tarvo: error:`` line, with the exit status to return."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status

class Parser(argparse.ArgumentParser):
    """Reports usage mistakes as a single line rather than usage text plus message."""

    def error(self, message):
        raise CliError(f"{message} (see '{self.prog} --help')", 2)

class HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Sized to the terminal as argparse sizes it, without importing shutil for that: argparse
    makes a formatter for every option it adds, and shutil's imports (zlib, bz2, lzma) would
    slow every run's start."""

    def __init__(self, prog):
        super().__init__(prog, width=terminal_columns() - 2)


def terminal_columns():
    """COLUMNS, else the width of the terminal on standard output, else 80."""
    try:
        columns = int(os.environ.get("COLUMNS", ""))
        if columns > 0:
            return columns
    except ValueError:
        pass
    try:
        return os.get_terminal_size(sys.__stdout__.fileno()).columns or 80
    except (AttributeError, ValueError, OSError):
        return 80


def new_parser(prog, usage, description):
    return Parser(
        prog=prog,
        usage=usage,
        description=description,
        epilog=EXAMPLES,
        formatter_class=HelpFormatter,
    )


def pair_parser():
    parser = new_parser(
        "tarvo",
        "tarvo MODEL NATIVE [options]\n       tarvo rank NATIVE MODELS... [options]\n"
        "       tarvo report FILE [options]",
        (
            "Score a predicted complex (MODEL) against the experimental structure (NATIVE): "
            "the best chain mapping, then fnat, fnonnat, F1, iRMSD, LRMSD, clashes and Tarvo "
            "for every native interface, and their mean GlobalTarvo with its quality class "
            "(Incorrect < 0.23 <= Acceptable < 0.49 <= Medium < 0.80 <= High). "
            "PDB and mmCIF files are read, plain or gzip-compressed. "
            "To rank many models against one native, see 'tarvo rank --help'; to show a ranking "
            "written by 'tarvo rank -o' again, 'tarvo report --help'."
        ),
    )
    parser.add_argument("model", metavar="MODEL", help="the model structure file")
    parser.add_argument("native", metavar="NATIVE", help="the native (reference) structure file")
    add_scoring_options(parser)
    add_output_options(
        parser, json_what="the module's result dictionary", csv_rows="one row per interface",
        file_help="write the report to FILE instead of standard output, e.g. -o scores.json",
    )
    parser.add_argument("--version", action="version", version=f"tarvo {version()}")
    return parser


def rank_parser():
    parser = new_parser(
        "tarvo rank",
        "tarvo rank NATIVE MODELS... [options]",
        (
            "Score many models against one native in parallel and list them best first by "
            "GlobalTarvo over all native interfaces (GlobalTarvo_all: an interface the model "
            "leaves unscored counts 0), with the Tarvo and the CAPRI class of each, then a "
            "summary. Models that cannot be scored are listed after the others with their "
            "error; they never stop the run, but make the exit status 1. "
            "A progress bar is drawn on stderr when it is a terminal."
        ),
    )
    parser.add_argument("native", metavar="NATIVE", help="the native (reference) structure file")
    parser.add_argument(
        "models", metavar="MODELS", nargs="+",
        help=(
            "model files; a directory stands for its structure files "
            f"({', '.join('*' + s for s in MODEL_SUFFIXES)}), a quoted glob such as "
            "'runs/*.pdb' for its matches, and @FILE for the paths listed in FILE, one per line "
            "(blank lines and lines starting with # are skipped)"
        ),
    )
    add_scoring_options(parser)
    add_output_options(
        parser,
        json_what="the module's outcome dictionaries, best first",
        csv_rows="one row per model",
        file_help="write one row per model to FILE as soon as it is scored (CSV, or JSON Lines "
                  "with --jsonl), flushed, so that a stopped run keeps every finished row; the "
                  "ranked table still goes to standard output",
    )
    parser.add_argument(
        "--resume", action="store_true",
        help="with -o: score only the models not yet in FILE and append their rows; the "
             "ranking then covers every row of FILE",
    )
    parser.add_argument(
        "--all-models", action="store_true",
        help="score every MODEL of a multi-model file as its own entry, named PATH#N (N from 1, "
             "in file order); without it only the first model of such files is scored",
    )
    add_view_options(parser)
    cluster = parser.add_mutually_exclusive_group()
    cluster.add_argument(
        "--scheduler", metavar="ADDRESS",
        help="score on the Dask cluster whose scheduler is at ADDRESS, e.g. tcp://10.0.0.5:8786 "
             "(needs: pip install 'tarvo[dask]')",
    )
    cluster.add_argument(
        "--workers", metavar="N", type=positive_int,
        help="score on N local worker processes that share this machine's processors (or "
             "--threads), each scoring chunks of models on its share, e.g. --workers 2; chunks "
             "start small and grow toward half a second of this machine's work. For crash "
             "isolation: a model that crashes its worker or runs it out of memory fails alone "
             "('worker failed: ...'), a new worker takes over and the run goes on. The workers "
             "start as forks of this command, in under a millisecond each; a run takes a few per "
             "cent longer than in this process (each chunk reads the native again and sends its "
             "outcomes back), less the more models it has",
    )
    return parser


def report_parser():
    parser = new_parser(
        "tarvo report",
        "tarvo report FILE [--top N] [--plot FILE] [--scores FILE.csv ...]",
        (
            "Show the ranking, the summary and, with --plot, the figure of a result file that "
            "'tarvo rank -o' wrote (CSV or JSON Lines, one row per model or per interface, "
            "complete or stopped: an incomplete last row is skipped), without scoring again."
        ),
    )
    parser.add_argument("file", metavar="FILE", help="the output of tarvo rank -o")
    add_view_options(parser)
    return parser


def add_view_options(parser):
    """The options of what a ranking shows, shared by rank and report."""
    group = parser.add_argument_group("ranking and summary")
    group.add_argument(
        "--top", metavar="N", type=positive_count,
        help="list only the best N models in the table (files keep every row; the summary counts all)",
    )
    group.add_argument(
        "--plot", metavar="FILE",
        help="draw the ranking into FILE (.png, .svg or .pdf): fnat against iRMSD and LRMSD by "
             "CAPRI class, and the ranked GlobalTarvo_all curve by Tarvo class, the best models "
             "numbered (needs: pip install 'tarvo[plot]')",
    )
    group.add_argument(
        "--scores", metavar="FILE.csv",
        help="the docking program's own scores: a CSV file with a column of model paths as rank "
             "names them and a column of scores; adds the success counts (models of at least "
             "acceptable CAPRI class among the program's top 1, 5, 10 and 100) and the Spearman "
             "correlation of the program's score with GlobalTarvo",
    )
    group.add_argument(
        "--scores-column", metavar="NAME",
        help="the column of scores in --scores (default: one named score, total_score or energy, "
             "or else the only numeric column)",
    )
    group.add_argument(
        "--model-column", metavar="NAME",
        help="the column of model paths in --scores (default: one named model, path, file, pose, "
             "decoy or name, or else the first column)",
    )
    group.add_argument(
        "--lower-is-better", action="store_true",
        help="in --scores, lower scores are better, as with energies (default: higher is better)",
    )


def add_scoring_options(parser):
    """One flag per scoring option of the module, as its option table describes it."""
    group = parser.add_argument_group("scoring options")
    for name, default, placeholder, help_text in score_options:
        # The underscore spelling is accepted too: it is the module's keyword.
        flags = dict.fromkeys(("--" + name.replace("_", "-"), "--" + name))
        if default is False:
            group.add_argument(*flags, action="store_true", help=help_text)
        elif default == 0:
            group.add_argument(*flags, metavar=placeholder, type=non_negative_int, default=0, help=help_text)
        else:
            group.add_argument(*flags, metavar=placeholder, help=help_text)


def add_output_options(parser, json_what, csv_rows, file_help):
    group = parser.add_argument_group("output")
    formats = group.add_mutually_exclusive_group()
    formats.add_argument(
        "--json", action="store_true",
        help=f"print {json_what} as JSON, NaN written as null",
    )
    formats.add_argument("--csv", action="store_true", help=f"print CSV, {csv_rows}")
    formats.add_argument("--jsonl", action="store_true", help="JSON Lines: one JSON object per row")
    group.add_argument(
        "--per-interface", action="store_true",
        help="one row per model and interface: model, native, mapping, interface, fnat, fnonnat, "
             "F1, iRMSD, LRMSD, clashes, Tarvo (CSV, or JSON Lines with --jsonl)",
    )
    group.add_argument("-o", "--output", metavar="FILE", help=file_help)
    parser.add_argument(
        "--threads", metavar="N", type=positive_int,
        help="use at most N threads (default: every processor; the environment variable "
             "TARVO_NUM_THREADS does the same)",
    )


def non_negative_int(text):
    return bounded_int(text, 0, "a whole number from 0 to 2**64 - 1", highest=2**64 - 1)


def positive_count(text):
    return bounded_int(text, 1, "a whole number from 1", highest=2**63)


def positive_int(text):
    return bounded_int(text, 1, "a whole number from 1 to 4096", highest=4096)


def bounded_int(text, lowest, wanted, highest):
    try:
        value = int(text)
    except ValueError:
        value = lowest - 1
    if not lowest <= value <= highest:
        raise argparse.ArgumentTypeError(f"{text!r} is not {wanted}")
    return value


def scoring_options(args):
    """The module's options; a bad text option is a usage error, found before any file is read."""
    options = {name: getattr(args, name) for name, *_ in score_options}
    texts = [name for name, default, *_ in score_options if default is None]
    try:
        # Each text is checked with the ones after it left out, so that the error names its flag.
        for checked, name in enumerate(texts, start=1):
            flag = "--" + name.replace("_", "-")
            check_arguments("score_pairs", [], **{**options, **dict.fromkeys(texts[checked:])})
    except MappingError as error:
        raise CliError(f"{flag}: {error}", 2) from None
    except UnicodeError:
        raise CliError(f"{flag}: the text is not valid UTF-8", 2) from None
    except (OverflowError, ValueError) as error:
        raise CliError(str(error), 2) from None
    return options


def require_file(path):
    # Anything readable but a directory: pipes such as <(zcat model.pdb.gz) and /dev/stdin too.
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        reason = "symbolic link loop" if error.errno == errno.ELOOP else "no such file"
        raise CliError(f"{path}: {reason}", 2) from None
    if stat.S_ISDIR(mode):
        raise CliError(f"{path}: is a directory, not a structure file", 2)


def check_outputs(outputs, inputs):
    """Refuses, before anything is opened, an output file that is an input or another output.

    `outputs` maps each output option to its file (or None), `inputs` lists
    (what, path) pairs. Files are compared by identity, so that no other
    spelling of a path and no link gets past; pipes and devices are not files
    that writing would destroy.
    """
    if not any(outputs.values()):
        return
    taken = {}
    for what, path in inputs:
        taken.setdefault(file_identity(path), f"{what} {path}")
    for flag, path in outputs.items():
        identity = file_identity(path) if path is not None else None
        if identity is None:
            continue
        if identity in taken:
            raise CliError(f"{flag} {path}: that file is {taken[identity]}; choose another output file", 2)
        taken[identity] = f"the output of {flag}"


def file_identity(path):
    """(device, inode) of a regular file, the resolved path of a file yet to be made, else None."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return model_file(path)
    except OSError:
        return None
    return (status.st_dev, status.st_ino) if stat.S_ISREG(status.st_mode) else None
