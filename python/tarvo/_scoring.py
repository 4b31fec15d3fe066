"""Scoring the models of a ranking: in this process, in calls sized to take about half a
second, or on a Dask cluster (local worker processes are in _workers); each yields lists of
(input index, outcome)."""

import contextlib
import os
import time
import warnings

from . import score_one_vs_many
from ._arguments import CliError
from ._models import item_indices

# Models per Dask task and per pool thread of its worker: about a fifth of a
# second of work, so that a task's own cost (about 3 ms of processor time, and
# the worker's wait for its next task) stays minor, load stays even and the
# progress bar lively.
DASK_CHUNK_PER_THREAD = 512
# Models in the first call of the module: enough to keep every thread busy.
# Later calls are sized to take about CHUNK_SECONDS each, so that rows reach the
# output and the bar that often, and grow at most CHUNK_GROWTH-fold from one call
# to the next, as the first models' pace may mislead. Each call costs a few ms
# of idle threads (the native read and prepared again, the wait for the last model).
CHUNK_PER_THREAD = 16
CHUNK_SECONDS = 0.5
CHUNK_GROWTH = 8


def score_locally(args, native, models, options):
    """Yields lists of (input index, outcome); with all_models an index has an outcome per MODEL."""
    first = step = CHUNK_PER_THREAD * pool_threads()
    start = 0
    while start < len(models):
        began = time.monotonic()
        files = models[start:start + call_size(len(models) - start, first, step)]
        chunk = list(item_indices(score_one_vs_many(native, files, **options), start))
        yield chunk
        start += len(files)
        step = next_step(step, first, (time.monotonic() - began) / len(chunk))


def next_step(step, first, per_model):
    """Models in the next call after one that took `per_model` seconds a model: up to CHUNK_GROWTH
    times as many, toward CHUNK_SECONDS a call, and never fewer than the first call's."""
    return max(first, min(CHUNK_GROWTH * step, int(CHUNK_SECONDS / max(per_model, 1e-6))))


def call_size(left, first, step):
    """Models in the next call, `left` being unscored: `step`, but the last call scores only `first`.

    The outcomes of a call are made into rows while the next call scores, and nothing
    follows the last call to hide that work behind. A rest of less than half a step
    joins the call before the last rather than costing a call of its own.
    """
    if left <= first:
        return left
    rest = left - first
    return rest if rest <= step * 3 // 2 else step


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
