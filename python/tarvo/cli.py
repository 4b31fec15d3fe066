"""The ``tarvo`` command line: scores one model, or ranks many models against one native.

All scoring is done by the extension module; this file only reads arguments,
gathers model paths and formats what the module returns.
"""

import argparse
import contextlib
import errno
import logging
import os
import shutil
import signal
import stat
import sys
import tempfile
import time
import warnings

from . import (
    MappingError,
    ModelIndexOutOfRangeError,
    TarvoError,
    check_arguments,
    load_PDB,
    score,
    score_one_vs_many,
    score_options,
    version,
)
from _tarvo_rs import unlike_fixed_pairs
from ._models import MODEL_SUFFIXES, ModelListError, collect_models, item_indices
from ._progress import ProgressBar
from ._output import (
    entries_of_rows,
    model_entry,
    outcomes_text,
    pair_csv,
    quality_class,  # noqa: F401  (part of this module's interface)
    ranked_columns,
    ranked_text,
    rows_text,
    to_json,
)
from ._report import pair_report, printable, rank_report, ranked, unscored_warnings
from ._scores import ScoresError, program_ranking, read_scores
from ._stream import OutputError, ResumeError, model_file, open_row_file, read_row_file

# Models per Dask task and per thread of its worker: about a tenth of a second
# of work, so that scheduling (about 2 ms a task) stays minor, load stays even
# and the progress bar lively.
DASK_CHUNK_PER_THREAD = 64

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


class Terminated(BaseException):
    """SIGTERM, raised in the main thread so that a run stops as on Ctrl-C."""


def raise_terminated(signum, frame):
    raise Terminated


class Parser(argparse.ArgumentParser):
    """Reports usage mistakes as a single line rather than usage text plus message."""

    def error(self, message):
        raise CliError(f"{message} (see '{self.prog} --help')", 2)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    previous_handler = signal.signal(signal.SIGTERM, raise_terminated)
    try:
        if argv[:1] == ["rank"]:
            args = rank_parser().parse_args(argv[1:])
            use_threads(args.threads)
            return run_rank(args)
        if argv[:1] == ["report"]:
            return run_report(report_parser().parse_args(argv[1:]))
        args = pair_parser().parse_args(argv)
        use_threads(args.threads)
        check_outputs({"-o": args.output}, [("the model", args.model), ("the native", args.native)])
        write_output(run_pair(args), args.output)
        return 0
    except CliError as error:
        return report_error(str(error), error.status)
    except (KeyboardInterrupt, Terminated):
        return report_error("interrupted", 130, prefix="tarvo: ")
    except BrokenPipeError:
        # The reader went away (e.g. `tarvo rank ... | head`): say so once, and keep
        # the interpreter's last flush from failing again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return report_error("standard output was closed", 1)
    except Exception as error:  # a fault of ours: still one line, never a traceback
        return report_error(f"internal error: {type(error).__name__}: {error}", 1)
    finally:
        signal.signal(signal.SIGTERM, previous_handler)


def report_error(message, status, prefix="tarvo: error: "):
    with contextlib.suppress(OSError):
        print(f"{prefix}{printable(message)}", file=sys.stderr)
    return status


def use_threads(threads):
    """Bounds the module's pool (and local Dask workers') through the variable the module reads.

    A bad value of the variable is a usage error found at once, not a failure of the first call.
    """
    if threads is not None:
        os.environ["TARVO_NUM_THREADS"] = str(threads)
    value = os.environ.get("TARVO_NUM_THREADS", "")
    if value and not (value.isascii() and value.isdigit() and 1 <= int(value) <= 4096):
        raise CliError(f"TARVO_NUM_THREADS must be a whole number from 1 to 4096, not {value!r}", 2)


# ---------------------------------------------------------------- arguments

def new_parser(prog, usage, description):
    return Parser(
        prog=prog,
        usage=usage,
        description=description,
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
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
        help="score on a local Dask cluster of N worker processes that share this machine's "
             "processors (or --threads), each scoring chunks of 64 models per thread, "
             "e.g. --workers 2 (needs: pip install 'tarvo[dask]')",
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


# ---------------------------------------------------------------- one model

def run_pair(args):
    options = scoring_options(args)
    require_file(args.model)
    require_file(args.native)
    warn_unlike_pairs(args.model, args.native, options)
    try:
        result = score(args.model, args.native, **options)
    except TarvoError as error:
        raise CliError(str(error), 1) from None
    for line in unscored_warnings(result):
        print(line, file=sys.stderr)
    if args.per_interface or args.jsonl:
        outcome = {"model": result["model"], "native": result["native"], "ok": True, "result": result}
        return outcomes_text([outcome], args.per_interface, args.jsonl)
    if args.json:
        return to_json(result)
    if args.csv:
        return pair_csv(result)
    return pair_report(result)


# ---------------------------------------------------------------- many models

def run_rank(args):
    options = scoring_options(args)
    require_file(args.native)
    if args.resume and not args.output:
        raise CliError("--resume needs -o FILE, the output of the run to resume", 2)
    try:
        models = collect_models(args.models)
    except ModelListError as error:
        raise CliError(str(error), 2) from None
    scores = read_program_scores(args)
    check_outputs({"-o": args.output, "--plot": args.plot},
                  [("the native", args.native), *(("the model", model) for model in models),
                   *([("the scores", args.scores)] if args.scores else [])])
    if args.plot:
        check_plot(args.plot)
    with contextlib.ExitStack() as opened:
        native = Native(args.native, opened)
        check_native(native, options)
        if models:
            warn_unlike_pairs(models[0], native.path, options)
            if not args.all_models:
                warn_first_model_only(models[0])
        row_file, done = open_output(args, native, options, opened)
        if done:
            models = [model for model in models if model_file(model) not in done]
        outcomes, write_error = score_all(args, native, models, options, row_file)
    status = 0 if all(outcome["ok"] for outcome in outcomes) else 1
    ordered = ranked(final_entries(args, outcomes))
    write_output(rank_text(args, ordered, len(done), program_of(args, scores, ordered)), None)
    if args.plot:
        status = draw(ordered, args.plot) or status
    if write_error:
        status = report_error(str(write_error), 1)
    return status


def final_entries(args, outcomes):
    """The models to rank: every row of the -o file, earlier runs' too, or else this run's outcomes."""
    if args.output and os.path.isfile(args.output):
        try:
            per_interface, rows = read_row_file(args.output)
        except OutputError as error:
            raise CliError(str(error), 1) from None
        return entries_of_rows(rows, per_interface)
    return [model_entry(outcome) for outcome in outcomes]


def run_report(args):
    scores = read_program_scores(args)
    check_outputs({"--plot": args.plot}, [("the result file", args.file)])
    if args.plot:
        check_plot(args.plot)
    require_file(args.file)
    try:
        per_interface, rows = read_row_file(args.file)
    except OutputError as error:
        raise CliError(str(error), 1) from None
    ordered = ranked(entries_of_rows(rows, per_interface))
    natives = sorted({entry["native"] for entry in ordered})
    native = natives[0] if len(natives) == 1 else ", ".join(natives) or "(no rows)"
    write_output(rank_report(native, ordered, args.top, program_of(args, scores, ordered)), None)
    if args.plot:
        return draw(ordered, args.plot, per_model_points=not per_interface)
    return 0


def read_program_scores(args):
    """The --scores file as read_scores gives it, read before any work; None without --scores."""
    if args.scores is None:
        if args.scores_column or args.model_column or args.lower_is_better:
            raise CliError("--scores-column, --model-column and --lower-is-better need --scores FILE.csv", 2)
        return None
    try:
        return read_scores(args.scores, args.model_column, args.scores_column)
    except ScoresError as error:
        raise CliError(str(error), 2) from None


def program_of(args, scores, ordered):
    if scores is None:
        return None
    _, column, values = scores
    return program_ranking([entry for entry in ordered if entry["ok"]], args.scores, column, values,
                           args.lower_is_better)


class Native:
    """The native as the user named it, and a path that every call of the module can read.

    A pipe or terminal (<(zcat native.pdb.gz), /dev/stdin) can be read only once:
    it is copied to a private file, removed at the end, and results name the pipe.
    """

    def __init__(self, given, opened):
        self.given = self.path = given
        if stat.S_ISREG(os.stat(given).st_mode):
            self.file = model_file(given)
            return
        # /dev/fd/63 resolves to a new pipe on every run: the name given is all there is to compare.
        self.file = os.path.abspath(given)
        fd, self.path = tempfile.mkstemp(prefix="tarvo-native-")
        opened.callback(remove_quietly, self.path)
        try:
            with open(fd, "wb") as copy, open(given, "rb") as source:
                shutil.copyfileobj(source, copy)
        except OSError as error:
            raise CliError(f"cannot read {given}: {error.strerror}", 1) from None

    def named(self, text):
        """`text` naming the native as the user did."""
        return text if self.path == self.given else text.replace(self.path, self.given)

    def named_outcome(self, outcome):
        if self.path == self.given:
            return outcome
        outcome = {**outcome, "native": self.given}
        if not outcome["ok"]:
            outcome["error"] = self.named(outcome["error"])
        return outcome


def remove_quietly(path):
    with contextlib.suppress(OSError):
        os.unlink(path)


def check_native(native, options):
    """A native that cannot be read fails the run once, not once per model."""
    try:
        load_PDB(native.path, small_molecule=options["small_molecule"])
    except TarvoError as error:
        raise CliError(native.named(str(error)), 1) from None


def warn_unlike_pairs(model, native, options):
    """Pairs fixed by --mapping that the search would not have made are scored, but not without a word."""
    # A pipe is read once, by the scoring itself.
    if not (options["mapping"] and os.path.isfile(model) and os.path.isfile(native)):
        return
    try:
        reading = {"small_molecule": options["small_molecule"]}
        pairs = unlike_fixed_pairs(load_PDB(model, **reading), load_PDB(native, **reading), options["mapping"],
                                   options["allowed_mismatches"])
    except TarvoError:
        return  # scoring reports what is wrong with these files
    for native_chain, model_chain, count in pairs:
        print(f"tarvo: warning: --mapping pairs native chain {native_chain} with model chain {model_chain}, "
              f"whose sequences differ at {count} positions (allowed: {options['allowed_mismatches']}); "
              f"scored as given", file=sys.stderr)


def warn_first_model_only(model):
    """Says once that a multi-model file is scored as its first model, judged by the first model file."""
    if not os.path.isfile(model):
        return  # a pipe is read once, by the scoring itself
    try:
        load_PDB(model, n_model=1)  # reading stops after the second model
    except ModelIndexOutOfRangeError:
        return
    except TarvoError:
        return  # scoring reports what is wrong with this file
    report_error(f"{model} holds more than one model: only the first model of each file is scored "
                 f"(--all-models scores every one)", 0, prefix="tarvo: warning: ")


def check_native_scores(native, first_outcomes, options):
    """Ends the run at once when its first models all fail as the native fails against itself."""
    errors = {outcome.get("error") for outcome in first_outcomes}
    if len(errors) != 1 or None in errors:
        return
    try:
        score(native.path, native.path, **options)
    except TarvoError as error:
        if native.named(str(error)) in errors:
            raise CliError(f"{native.given}: {native.named(str(error))}", 1) from None


def check_plot(path):
    """Everything --plot needs, found before any model is scored."""
    from ._plot import plot_format

    try:
        plot_format(path)
    except ValueError as error:
        raise CliError(str(error), 2) from None
    except ImportError as error:
        raise CliError(str(error), 1) from None
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise CliError(f"cannot write {path}: {os.strerror(errno.EISDIR)}", 1)
    if not os.path.isdir(folder):
        raise CliError(f"cannot write {path}: {os.strerror(errno.ENOENT)}", 1)
    if not os.access(path if os.path.exists(path) else folder, os.W_OK):
        raise CliError(f"cannot write {path}: {os.strerror(errno.EACCES)}", 1)


def scoring_flags(options):
    """The scoring options that differ from the defaults, as command-line flags."""
    flags = []
    for name, default, *_ in score_options:
        value = options[name]
        if value is True:
            flags.append("--" + name.replace("_", "-"))
        elif value not in (default, False, None):
            flags.append(f"--{name.replace('_', '-')} {value}")
    return " ".join(flags)


def open_output(args, native, options, opened):
    """The row file of -o, opened and locked before any scoring so that a bad path fails at once.

    Returns it (None without -o) and the model_file of each model it already holds.
    """
    if not args.output:
        return None, set()
    flags = scoring_flags(options) + (" --all-models" if args.all_models else "")
    run = {"native_file": native.file, "options": flags.strip()}
    try:
        row_file, done, cut = open_row_file(args.output, args.per_interface, args.jsonl or args.json,
                                            args.resume, run)
    except OutputError as error:
        raise CliError(str(error), 1) from None
    except ResumeError as error:
        raise CliError(str(error), 2) from None
    opened.callback(row_file.close)
    if cut is not None:
        models = ", ".join(cut) if cut else "its model"
        report_error(f"the last row of {args.output} was incomplete and is cut off: {models} is scored again",
                     0, prefix="tarvo: warning: ")
    return row_file, done


def rank_text(args, ordered, already_done, program):
    if args.output or not (args.json or args.csv or args.jsonl or args.per_interface):
        text = rank_report(args.native, ordered, args.top, program)
        if already_done:
            text += f"\n{already_done} models were already scored in {printable(args.output)}\n"
        return text
    outcomes = [entry["outcome"] for entry in ordered]
    if args.json:
        return to_json(outcomes)
    if not args.per_interface:  # each entry already holds its model's row
        rows = [{**entry, **({"rank": rank} if entry["ok"] else {})} for rank, entry in enumerate(ordered, start=1)]
        return rows_text(rows, ranked_columns(False), args.jsonl)
    return ranked_text(outcomes, args.per_interface, args.jsonl)


def draw(ordered, path, per_model_points=False):
    """Draws the ranking once it is printed; a failure is one error line and exit status 1."""
    try:
        from ._plot import plot_entries

        plot_entries(ordered, path, per_model_points)
        return 0
    except ImportError as error:
        return report_error(str(error), 1)
    except OSError as error:
        return report_error(f"cannot write {path}: {error.strerror}", 1)
    except Exception as error:  # matplotlib's own failures: the ranking is out already
        return report_error(f"cannot draw {path}: {type(error).__name__}: {error}", 1)


def score_all(args, native, models, options, row_file):
    """Scores the models, writing each file's rows as they come; stops at the first write failure.

    Returns the outcomes in input order (with --all-models, one per MODEL of
    each file, named PATH#N) and the OutputError that stopped the run, if any.
    """
    scored = {}
    scorer = score_on_dask if args.scheduler or args.workers else score_locally
    options = {**options, "all_models": True} if args.all_models else options
    write_error = None
    with ProgressBar(len(models), sys.stderr) as bar, \
            contextlib.closing(scorer(args, native.path, models, options)) as chunks:
        for chunk in chunks:
            files = {}
            for index, outcome in chunk:
                files.setdefault(index, []).append(pose_named(native.named_outcome(outcome)))
            if not scored:
                check_native_scores(native, [outcome for _, outcome in chunk], options)
            scored.update(files)
            bar.update(len(scored))
            try:
                for outcomes in files.values():
                    if row_file:
                        row_file.write(outcomes)
            except OutputError as error:
                write_error = error
                break
    return [outcome for index in sorted(scored) for outcome in scored[index]], write_error


def pose_named(outcome):
    """An outcome of one MODEL of a multi-model file, named PATH#N with N counted from 1 as MODEL records are."""
    if "model_index" not in outcome:
        return outcome
    return {**outcome, "model": f"{outcome['model']}#{outcome['model_index'] + 1}"}


# Models in the first call of the module: enough to keep every thread busy.
# Later calls are sized to take about CHUNK_SECONDS each: rows reach the output
# and the bar that often, and the native, read once per call, costs next to nothing.
CHUNK_PER_THREAD = 16
CHUNK_SECONDS = 0.5


def score_locally(args, native, models, options):
    """Yields lists of (input index, outcome); with all_models an index has an outcome per MODEL."""
    first = step = CHUNK_PER_THREAD * int(os.environ.get("TARVO_NUM_THREADS") or os.cpu_count() or 1)
    start = 0
    while start < len(models):
        began = time.monotonic()
        files = models[start:start + step]
        chunk = list(item_indices(score_one_vs_many(native, files, **options), start))
        yield chunk
        start += len(files)
        per_model = (time.monotonic() - began) / len(chunk)
        step = max(first, min(4 * step, int(CHUNK_SECONDS / max(per_model, 1e-6))))


def score_on_dask(args, native, models, options):
    """Yields lists of (input index, outcome) as the cluster finishes them."""
    try:
        from dask.distributed import Client, LocalCluster

        from . import distributed
    except ImportError:
        message = "--scheduler and --workers need Dask: pip install 'tarvo[dask]'"
        raise CliError(message, 1) from None
    with contextlib.ExitStack() as opened:
        try:
            if args.scheduler:
                client = opened.enter_context(Client(args.scheduler))
            else:
                # Workers ignore Ctrl-C, which a terminal sends to them too: this
                # process stops them, and no worker prints its own traceback.
                # Its worker processes read this as they start: a stopped run's cancelled
                # tasks are warnings there, which no user needs.
                os.environ.setdefault("DASK_LOGGING__DISTRIBUTED", "error")
                threads = worker_threads(args.workers)
                with ignored_sigint(), warnings.catch_warnings():
                    # The scheduler's HTTP server moves to a free port when another
                    # cluster holds the usual one: nothing a user has to hear about.
                    warnings.filterwarnings("ignore", message="Port .* is already in use")
                    # No dashboard: a local run should not open a web port.
                    cluster = opened.enter_context(
                        LocalCluster(n_workers=args.workers, threads_per_worker=threads,
                                     env={"TARVO_NUM_THREADS": str(threads)}, dashboard_address=None)
                    )
                client = opened.enter_context(Client(cluster))
        except (OSError, TypeError, ValueError) as error:
            raise CliError(f"cannot start a Dask client: {error}", 1) from None
        # Entered last, so left first: a run stopped early closes the cluster quietly.
        opened.push(quiet_when_stopped)
        scored = distributed.iter_score_one_vs_many(
            native, models, client=client, chunk_size=dask_chunk_size(client), **options
        )
        # One list per model file: its MODELs come together, in one chunk.
        pending = []
        for item in scored:
            if pending and item[0] != pending[0][0]:
                yield pending
                pending = []
            pending.append(item)
        if pending:
            yield pending


def worker_threads(workers):
    """Each local worker's share of the processors a run may use, so that N workers are never slower
    than one process."""
    threads = int(os.environ.get("TARVO_NUM_THREADS") or os.cpu_count() or 1)
    return max(1, threads // workers)


def dask_chunk_size(client):
    """Models per task: DASK_CHUNK_PER_THREAD for each thread of the cluster's largest worker."""
    threads = max(client.nthreads().values(), default=1)
    return DASK_CHUNK_PER_THREAD * threads


@contextlib.contextmanager
def ignored_sigint():
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def quiet_when_stopped(exc_type, exc, traceback):
    """Silences Dask's logs and warnings while a stopped run shuts its cluster down."""
    if exc_type is not None:
        logging.disable(logging.CRITICAL)
        warnings.simplefilter("ignore")
    return False


# ---------------------------------------------------------------- formatting

def write_output(text, path):
    if path is None:
        if sys.stdout is None:
            raise CliError("standard output is closed", 1)
        write_to_stdout(text)
        return
    try:
        with open(path, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
    except OSError as error:
        raise CliError(f"cannot write {path}: {error.strerror}", 1) from None


def write_to_stdout(text):
    """Writes `text` whatever the output's encoding and error mode.

    Names that are not UTF-8 go out as the bytes they stand for, as in -o files;
    the text reports hold none (they escape them).
    """
    stdout = getattr(sys.stdout, "buffer", None)
    if stdout is None:
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    encoding = sys.stdout.encoding or "utf-8"
    try:
        data = text.encode(encoding, "surrogateescape")
    except UnicodeEncodeError:
        data = text.encode(encoding, "backslashreplace")
    sys.stdout.flush()
    stdout.write(data)
    stdout.flush()
