"""Scoring the models of a ranking: on this process's pool, or on a Dask cluster (local worker
processes are in _workers); each yields lists of (input index, outcome)."""

import contextlib
import os
import warnings

from _tarvo_rs import iter_score_one_vs_many

from ._arguments import CliError

# Models per Dask task and per pool thread of its worker: about a fifth of a
# second of work, so that a task's own cost (about 3 ms of processor time, and
# the worker's wait for its next task) stays minor, load stays even and the
# progress bar lively.
DASK_CHUNK_PER_THREAD = 512
# Models held back before the first outcomes go on, so that a native that
# fails every model is told from a few models that fail on their own (see
# cli.check_native_scores); also the first chunk of a local worker. Later
# worker chunks are sized to take about CHUNK_SECONDS each, so that rows reach
# the output and the bar that often, and grow at most CHUNK_GROWTH-fold from one
# chunk to the next, as the first models' pace may mislead.
CHUNK_PER_THREAD = 16
CHUNK_SECONDS = 0.5
CHUNK_GROWTH = 8


def score_locally(args, native, models, options):
    """Yields lists of (input index, outcome) as the module's pool finishes them, in input order; the
    first holds at least CHUNK_PER_THREAD models per pool thread. With all_models an index has an
    outcome per MODEL, all in one list."""
    first = CHUNK_PER_THREAD * pool_threads()
    held_back = []
    for outcomes in iter_score_one_vs_many(native, models, **options):
        if held_back is not None:
            held_back += outcomes
            if len(held_back) < first:
                continue
            outcomes, held_back = held_back, None
        yield outcomes
    if held_back:
        yield held_back


def next_step(step, first, per_model):
    """Models in the next chunk after one that took `per_model` seconds a model: up to CHUNK_GROWTH
    times as many, toward CHUNK_SECONDS a chunk, and never fewer than the first chunk's."""
    return max(first, min(CHUNK_GROWTH * step, int(CHUNK_SECONDS / max(per_model, 1e-6))))


def score_on_dask(args, native, models, options):
    """Yields lists of (input index, outcome) as the cluster at args.scheduler finishes them."""
    try:
        from dask.distributed import Client

        from . import distributed
    except ImportError:
        raise CliError("--scheduler needs Dask: pip install 'tarvo[dask]'", 1) from None
    with contextlib.ExitStack() as opened:
        try:
            client = opened.enter_context(Client(args.scheduler))
        except (OSError, TypeError, ValueError) as error:
            raise CliError(f"cannot start a Dask client: {error}", 1) from None
        # Entered last, so left first: a run stopped early closes its client quietly.
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
    """Each local worker's share of the processors a run may use."""
    return max(1, pool_threads() // workers)


def pool_threads():
    """The threads of the module's pool in this process: TARVO_NUM_THREADS, or one per processor."""
    return int(os.environ.get("TARVO_NUM_THREADS") or os.cpu_count() or 1)


def dask_chunk_size(client):
    """Models per task: DASK_CHUNK_PER_THREAD for each pool thread of the cluster's largest worker."""
    threads = client.run(pool_threads).values()
    return DASK_CHUNK_PER_THREAD * max(threads, default=1)


def quiet_when_stopped(exc_type, exc, traceback):
    """Silences Dask's logs and warnings while a stopped run closes its client."""
    if exc_type is not None:
        import logging  # only here: its import would slow every run's start

        logging.disable(logging.CRITICAL)
        warnings.simplefilter("ignore")
    return False
