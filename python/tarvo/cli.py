"""The ``tarvo`` command line: scores one model, ranks many models against one native, or
reports a ranking already written.

All scoring is done by the extension module; this file runs the commands. Their
arguments are read in _arguments, models are scored in _scoring, rows are shaped
in _output and written in _stream.
"""

import contextlib
import errno
import gc
import os
import signal
import stat
import sys

from . import (
    ModelIndexOutOfRangeError,
    TarvoError,
    load_PDB,
    score,
    score_options,
)
from _tarvo_rs import unlike_fixed_pairs
from ._arguments import (
    CliError,
    check_outputs,
    pair_parser,
    rank_parser,
    report_parser,
    require_file,
    scoring_options,
)
from ._models import ModelListError, collect_models
from ._progress import ProgressBar
from ._output import (
    entries_of_rows,
    model_entry,
    outcomes_text,
    pair_csv,
    quality_class,  # noqa: F401  (part of this module's interface)
    outcome_columns,
    ranked_model_rows_text,
    ranked_text,
    row_text,
    to_json,
)
from ._report import pair_report, printable, rank_report, ranked, unscored_warnings
from ._scoring import score_locally, score_on_dask
from ._stream import OutputError, ResumeError, model_file, open_row_file, read_row_file


class Terminated(BaseException):
    """SIGTERM, raised in the main thread so that a run stops as on Ctrl-C."""


def raise_terminated(signum, frame):
    raise Terminated


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    previous_handler = signal.signal(signal.SIGTERM, raise_terminated)
    try:
        if argv[:1] == ["rank"]:
            args = rank_parser().parse_args(argv[1:])
            use_threads(args.threads)
            with collection_paused(args):
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


@contextlib.contextmanager
def collection_paused(args):
    """Pauses the cyclic garbage collector while a ranking runs on this machine.

    Its outcomes and entries make no reference cycles, and the collector only
    walked them again and again as they grew: 58 ms of processor time for
    10,000 models. Not with Dask, whose client makes garbage cycles as it runs.
    """
    if args.scheduler or not gc.isenabled():
        yield
        return
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def use_threads(threads):
    """Bounds the module's pool (and worker processes' pools) through the variable the module reads.

    A bad value of the variable is a usage error found at once, not a failure of the first call.
    """
    if threads is not None:
        os.environ["TARVO_NUM_THREADS"] = str(threads)
    value = os.environ.get("TARVO_NUM_THREADS", "")
    if value and not (value.isascii() and value.isdigit() and 1 <= int(value) <= 4096):
        raise CliError(f"TARVO_NUM_THREADS must be a whole number from 1 to 4096, not {value!r}", 2)


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
        scorer = chosen_scorer(args, models, opened)
        native = Native(args.native, opened)
        check_native(native, options)
        if models:
            warn_unlike_pairs(models[0], native.path, options)
            if not args.all_models:
                warn_first_model_only(models[0])
        row_file, done = open_output(args, native, options, opened)
        if done:
            models = [model for model in models if model_file(model) not in done]
        entries, write_error = score_all(scorer, args, native, models, options, row_file, entry_maker(args))
    status = 0 if all(entry["ok"] for entry in entries) else 1
    ordered = ranked(final_entries(args, entries))
    write_output(rank_text(args, ordered, len(done), program_of(args, scores, ordered)), None)
    if args.plot:
        status = draw(ordered, args.plot) or status
    if write_error:
        status = report_error(str(write_error), 1)
    return status


def final_entries(args, entries):
    """The models to rank: every row of the -o file, earlier runs' too, or else this run's entries."""
    if args.output and os.path.isfile(args.output):
        try:
            per_interface, rows = read_row_file(args.output)
        except OutputError as error:
            raise CliError(str(error), 1) from None
        return entries_of_rows(rows, per_interface)
    return entries


def entry_maker(args):
    """The model_entry of an outcome; with its row's text (row_text) when the ranking is printed as model rows."""
    if args.output or args.json or args.per_interface or not (args.csv or args.jsonl):
        return model_entry
    columns = outcome_columns(False)

    def entry_with_text(outcome):
        entry = model_entry(outcome)
        entry["text"] = row_text(entry, columns, args.jsonl)
        return entry

    return entry_with_text


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
    from ._scores import ScoresError, read_scores  # only a run with --scores pays for its imports

    try:
        return read_scores(args.scores, args.model_column, args.scores_column)
    except ScoresError as error:
        raise CliError(str(error), 2) from None


def program_of(args, scores, ordered):
    if scores is None:
        return None
    from ._scores import program_ranking

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
        # Imported only here: they would slow the start of every run, for the few with a pipe.
        import shutil
        import tempfile

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
    if not args.per_interface:  # each entry already holds the text of its model's row
        return ranked_model_rows_text(ordered, args.jsonl)
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


def score_all(scorer, args, native, models, options, row_file, make_entry):
    """Scores the models, writing each file's rows as they come; stops at the first write failure.

    Returns the make_entry of each outcome in input order (with --all-models, one per MODEL of
    each file, named PATH#N) and the OutputError that stopped the run, if any. Every scorer
    scores elsewhere (the module's pool, worker processes, a cluster), so entries are made here
    while the models after them score.
    """
    made = {}
    options = {**options, "all_models": True} if args.all_models else options
    write_error = None
    with ProgressBar(len(models), sys.stderr) as bar, \
            contextlib.closing(scorer(args, native.path, models, options)) as chunks:
        for chunk in chunks:
            files = {}
            for index, outcome in chunk:
                files.setdefault(index, []).append(pose_named(native.named_outcome(outcome)))
            if not made:
                check_native_scores(native, [outcome for _, outcome in chunk], options)
            for index, outcomes in files.items():
                made[index] = [make_entry(outcome) for outcome in outcomes]
            bar.update(len(made))
            try:
                for outcomes in files.values():
                    if row_file:
                        row_file.write(outcomes)
            except OutputError as error:
                write_error = error
                break
    return [entry for index in sorted(made) for entry in made[index]], write_error


def chosen_scorer(args, models, opened):
    """score_locally, or the scorer of --scheduler or --workers. The workers of --workers start
    here, to be closed by `opened`: call it before this process scores anything (see _workers)."""
    if args.scheduler:
        return score_on_dask
    if args.workers and models:
        from ._workers import LocalWorkers  # only here: its imports would slow every run's start

        return opened.enter_context(LocalWorkers(args.workers)).score
    return score_locally


def pose_named(outcome):
    """An outcome of one MODEL of a multi-model file, named PATH#N with N counted from 1 as MODEL records are."""
    if "model_index" not in outcome:
        return outcome
    return {**outcome, "model": f"{outcome['model']}#{outcome['model_index'] + 1}"}


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
