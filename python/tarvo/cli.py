"""The ``tarvo`` command line: scores one model, or ranks many models against one native.

All scoring is done by the extension module; this file only reads arguments,
gathers model paths and formats what the module returns.
"""

import argparse
import contextlib
import os
import sys

from . import MappingError, TarvoError, check_arguments, score, score_one_vs_many, version
from ._models import MODEL_SUFFIXES, ModelListError, collect_models
from ._report import (
    pair_csv,
    pair_report,
    quality_class,  # noqa: F401  (part of this module's interface)
    rank_csv,
    rank_report,
    ranked,
    to_json,
)

# Models per Dask task: small enough for even load and a lively progress bar,
# large enough that scheduling overhead stays minor next to parsing and scoring.
DASK_CHUNK_SIZE = 32

EXAMPLES = """\
examples:
  tarvo examples/2GTP_model.pdb examples/2GTP_native.pdb
  tarvo model.pdb native.cif --mapping BA:AB --json -o result.json
  tarvo rank native.pdb models/ extra_model.cif.gz 'runs/*/model_*.pdb' @more_models.txt
  tarvo rank native.pdb models/ --workers 8 --csv -o ranking.csv
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


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        if argv[:1] == ["rank"]:
            args = rank_parser().parse_args(argv[1:])
            text, status = run_rank(args)
        else:
            args = pair_parser().parse_args(argv)
            text, status = run_pair(args), 0
        write_output(text, args.output)
        return status
    except CliError as error:
        print(f"tarvo: error: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print("tarvo: interrupted", file=sys.stderr)
        return 130


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
        "tarvo MODEL NATIVE [options]\n       tarvo rank NATIVE MODELS... [options]",
        (
            "Score a predicted complex (MODEL) against the experimental structure (NATIVE): "
            "the best chain mapping, then fnat, fnonnat, F1, iRMSD, LRMSD, clashes and Tarvo "
            "for every native interface, and their mean GlobalTarvo with its quality class "
            "(Incorrect < 0.23 <= Acceptable < 0.49 <= Medium < 0.80 <= High). "
            "PDB and mmCIF files are read, plain or gzip-compressed. "
            "To rank many models against one native, see 'tarvo rank --help'."
        ),
    )
    parser.add_argument("model", metavar="MODEL", help="the model structure file")
    parser.add_argument("native", metavar="NATIVE", help="the native (reference) structure file")
    add_scoring_options(parser)
    add_output_options(
        parser, json_what="the module's result dictionary", csv_rows="one row per interface"
    )
    parser.add_argument("--version", action="version", version=f"tarvo {version()}")
    return parser


def rank_parser():
    parser = new_parser(
        "tarvo rank",
        "tarvo rank NATIVE MODELS... [options]",
        (
            "Score many models against one native in parallel and list them by GlobalTarvo, "
            "best first. Models that cannot be scored are listed after the others with their "
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
    )
    cluster = parser.add_mutually_exclusive_group()
    cluster.add_argument(
        "--scheduler", metavar="ADDRESS",
        help="score on the Dask cluster whose scheduler is at ADDRESS, e.g. tcp://10.0.0.5:8786 "
             "(needs: pip install 'tarvo[dask]')",
    )
    cluster.add_argument(
        "--workers", metavar="N", type=positive_int,
        help="score on a local Dask cluster of N single-threaded worker processes, "
             "e.g. --workers 8 (needs: pip install 'tarvo[dask]')",
    )
    return parser


def add_scoring_options(parser):
    group = parser.add_argument_group("scoring options")
    group.add_argument(
        "--mapping", metavar="TEXT",
        help="fix the chain mapping: model chains, ':', native chains, one character per chain, "
             "'*' as wildcard; e.g. BA:AB maps native A to model B and native B to model A, "
             "AB*:AB* fixes A and B and searches the rest, :AB scores native chains A and B only",
    )
    # Each option also keeps the underscore spelling of its first releases.
    group.add_argument(
        "--allowed-mismatches", "--allowed_mismatches", metavar="N", type=non_negative_int, default=0,
        help="sequence mismatches tolerated for a model chain to stand for a native chain, "
             "e.g. --allowed-mismatches 2 (default: 0)",
    )
    group.add_argument(
        "--no-align", "--no_align", action="store_true",
        help="pair model and native residues by residue number instead of aligning sequences",
    )
    group.add_argument(
        "--capri-peptide", "--capri_peptide", action="store_true",
        help="peptide criteria: contacts within 4 A instead of 5 A, interface residues by "
             "CB (else CA) within 8 A instead of all atoms within 10 A",
    )
    group.add_argument(
        "--small-molecule", "--small_molecule", action="store_true",
        help="read hetero (small-molecule) records too; this build refuses to score "
             "small-molecule chains and says so",
    )


def add_output_options(parser, json_what, csv_rows):
    group = parser.add_argument_group("output")
    formats = group.add_mutually_exclusive_group()
    formats.add_argument(
        "--json", action="store_true",
        help=f"print {json_what} as JSON, NaN written as null",
    )
    formats.add_argument("--csv", action="store_true", help=f"print CSV, {csv_rows}")
    group.add_argument(
        "-o", "--output", metavar="FILE",
        help="write the report to FILE instead of standard output, e.g. -o scores.json",
    )


def non_negative_int(text):
    return bounded_int(text, 0, "a whole number of 0 or more")


def positive_int(text):
    return bounded_int(text, 1, "a whole number of 1 or more")


def bounded_int(text, lowest, wanted):
    try:
        value = int(text)
    except ValueError:
        value = lowest - 1
    if value < lowest:
        raise argparse.ArgumentTypeError(f"{text!r} is not {wanted}")
    return value


def scoring_options(args):
    """The module's options; a bad mapping text is a usage error, found before any file is read."""
    options = {
        "no_align": args.no_align,
        "capri_peptide": args.capri_peptide,
        "small_molecule": args.small_molecule,
        "mapping": args.mapping,
        "allowed_mismatches": args.allowed_mismatches,
    }
    try:
        check_arguments("score_pairs", [], **options)
    except MappingError as error:
        raise CliError(f"--mapping: {error}", 2) from None
    return options


def require_file(path):
    # Anything readable but a directory: pipes such as <(zcat model.pdb.gz) and /dev/stdin too.
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory, not a structure file", 2)
    if not os.path.exists(path):
        raise CliError(f"{path}: no such file", 2)


# ---------------------------------------------------------------- one model

def run_pair(args):
    options = scoring_options(args)
    require_file(args.model)
    require_file(args.native)
    try:
        result = score(args.model, args.native, **options)
    except TarvoError as error:
        raise CliError(str(error), 1) from None
    if args.json:
        return to_json(result)
    if args.csv:
        return pair_csv(result)
    return pair_report(result)


# ---------------------------------------------------------------- many models

def run_rank(args):
    options = scoring_options(args)
    require_file(args.native)
    try:
        models = collect_models(args.models)
    except ModelListError as error:
        raise CliError(str(error), 2) from None
    with ProgressBar(len(models), sys.stderr) as bar:
        if args.scheduler or args.workers:
            outcomes = score_on_dask(args, models, options, bar)
        else:
            outcomes = score_locally(args.native, models, options, bar)
    ordered = ranked(outcomes)
    if args.json:
        text = to_json(ordered)
    elif args.csv:
        text = rank_csv(ordered)
    else:
        text = rank_report(args.native, ordered)
    status = 0 if all(outcome["ok"] for outcome in outcomes) else 1
    return text, status


def score_locally(native, models, options, bar):
    # The module scores a whole call in parallel; calling it chunk by chunk only
    # serves the progress bar, so without one the models go in a single call.
    step = 4 * (os.cpu_count() or 1) if bar.enabled else len(models)
    outcomes = []
    for start in range(0, len(models), step):
        outcomes += score_one_vs_many(native, models[start:start + step], **options)
        bar.update(len(outcomes))
    return outcomes


def score_on_dask(args, models, options, bar):
    try:
        from dask.distributed import Client, LocalCluster

        from . import distributed
    except ImportError:
        message = "--scheduler and --workers need Dask: pip install 'tarvo[dask]'"
        raise CliError(message, 1) from None
    outcomes = [None] * len(models)
    with contextlib.ExitStack() as opened:
        try:
            if args.scheduler:
                client = opened.enter_context(Client(args.scheduler))
            else:
                # No dashboard: a local run should not open a web port.
                cluster = opened.enter_context(
                    LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                 dashboard_address=None)
                )
                client = opened.enter_context(Client(cluster))
        except OSError as error:
            raise CliError(f"cannot start a Dask client: {error}", 1) from None
        scored = distributed.iter_score_one_vs_many(
            args.native, models, client=client, chunk_size=DASK_CHUNK_SIZE, **options
        )
        for done, (index, outcome) in enumerate(scored, start=1):
            outcomes[index] = outcome
            bar.update(done)
    return outcomes


class ProgressBar:
    """A one-line bar redrawn in place on a terminal; does nothing when the stream is not one."""

    WIDTH = 30

    def __init__(self, total, stream):
        self.total = total
        self.stream = stream
        self.enabled = stream.isatty()

    def __enter__(self):
        self.update(0)
        return self

    def __exit__(self, *exc_info):
        if self.enabled:
            self.stream.write("\r\033[K")
            self.stream.flush()

    def update(self, done):
        if not self.enabled:
            return
        filled = self.WIDTH * done // self.total
        bar = "#" * filled + "-" * (self.WIDTH - filled)
        self.stream.write(f"\rscoring [{bar}] {done}/{self.total}")
        self.stream.flush()


# ---------------------------------------------------------------- formatting

def write_output(text, path):
    if path is None:
        sys.stdout.write(text)
        return
    try:
        with open(path, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
    except OSError as error:
        raise CliError(f"cannot write {path}: {error.strerror}", 1) from None
