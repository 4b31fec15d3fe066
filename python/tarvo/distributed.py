"""Scoring of many structure pairs on a Dask cluster.

The input is cut into chunks and each chunk runs the module's own batch
function on a worker, so every worker scores its chunk on its whole core pool.
Outcomes are the module's outcome dictionaries, in input order; an item that
fails keeps its error in its own dictionary, as in the module. A chunk whose
worker fails (dies beyond the scheduler's retries, runs out of memory, raises)
is split in halves and sent again, down to single items, so that only an
item that itself fails gets "worker failed: ..." and the run goes on.

Workers should start with WORKER_CONFIG in force (see its comment): with
Dask's own default a pair costs half as much again on a worker as in-process.
"""

import collections
import collections.abc
import functools

import _tarvo_rs

from ._models import item_indices
from ._worker import error_text, worker_failure

try:
    from distributed import as_completed, get_client
except ImportError as exc:
    raise ImportError(
        "tarvo.distributed needs Dask; install it with: pip install 'tarvo[dask]'"
    ) from exc

__all__ = ["WORKER_CONFIG", "iter_score_one_vs_many", "iter_score_pairs", "score_one_vs_many", "score_pairs"]

# Dask configuration for the processes that start workers (LocalCluster, or a
# worker's nanny), in force when they start them. Dask's nannies give workers
# MALLOC_TRIM_THRESHOLD_=65536, which makes glibc map every block of 128 KiB or
# more (each pair's distance matrices) afresh and unmap it when freed: each pair
# faults its memory in anew, 0.5 ms of system time on top of 1.3 ms of work.
WORKER_CONFIG = {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}


def score_pairs(pairs, client=None, chunk_size=64, **options):
    """Scores (model path, native path) pairs on the cluster; outcomes in input order."""
    return _in_order(iter_score_pairs(pairs, client, chunk_size, **options))


def score_one_vs_many(native, models, client=None, chunk_size=64, **options):
    """Scores many model paths against one native on the cluster; outcomes in input order."""
    return _in_order(iter_score_one_vs_many(native, models, client, chunk_size, **options))


def iter_score_pairs(pairs, client=None, chunk_size=64, **options):
    """Yields (input index, outcome) as chunks finish. Arguments fail here, before any work is sent."""
    _tarvo_rs.check_arguments("score_pairs", pairs, **options)
    return _iter_chunks(_tarvo_rs.score_pairs, (), pairs, client, chunk_size, options)


def iter_score_one_vs_many(native, models, client=None, chunk_size=64, **options):
    """Yields (input index, outcome) as chunks finish. Arguments fail here, before any work is sent."""
    models = _reusable(models)
    _tarvo_rs.check_arguments("score_one_vs_many", native, models, **options)
    return _iter_chunks(_tarvo_rs.score_one_vs_many, (native,), models, client, chunk_size, options)


def _reusable(items):
    """A list of an iterator's items: the argument check would otherwise use them up.

    (score_pairs needs a sequence, as in the module, so its check uses up nothing.)
    """
    return list(items) if isinstance(items, collections.abc.Iterator) else items


def _iter_chunks(batch, leading, items, client, chunk_size, options):
    """Maps batch(*leading, chunk, **options) over the chunks of `items`."""
    chunks = _chunks(list(items), chunk_size)
    client = _client(client)

    def submit(parts):
        return client.map(functools.partial(batch, *leading), parts, pure=False, **options)

    starts = range(0, len(chunks) * chunk_size, chunk_size)
    return _stream(client, submit, list(zip(starts, chunks)), leading)


def _chunks(items, chunk_size):
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, not {chunk_size}")
    return [items[start : start + chunk_size] for start in range(0, len(items), chunk_size)]


def _client(client):
    if client is not None:
        return client
    try:
        return get_client()
    except ValueError as exc:
        raise ValueError(
            "no Dask client: pass client=, or create a distributed.Client first"
        ) from exc


def _stream(client, submit, chunks, leading):
    """Yields each item's outcome once, as its chunk is done.

    `chunks` are (first input index, items) pairs. Only the chunk keys are
    kept here, so a finished chunk's result is released on the cluster as
    soon as it has been yielded. A chunk that failed as a whole (its worker
    died beyond the retries, or the batch call raised) may owe it to one bad
    item, or to another chunk that killed the same worker: it is sent again
    in halves, and only a single item that fails gets that failure.
    """
    futures = submit([items for _, items in chunks])
    pending = {future.key: chunk for future, chunk in zip(futures, chunks)}
    completed = as_completed(futures, loop=client.loop, with_results=True, raise_errors=False)
    del futures
    for future, outcomes in completed:
        first_index, items = pending.pop(future.key)
        # Judged by the result, not by future.status, which changes under us
        # when a worker that held this finished chunk dies afterwards.
        if isinstance(outcomes, list):
            yield from item_indices(outcomes, first_index)
        elif len(items) == 1:
            yield first_index, _failed(items[0], leading, outcomes)
        else:
            half = len(items) // 2
            halves = [(first_index, items[:half]), (first_index + half, items[half:])]
            for retry, chunk in zip(submit([items for _, items in halves]), halves):
                pending[retry.key] = chunk
                completed.add(retry)


def _failed(item, leading, error):
    """The failure outcome of one item, in the module's key order."""
    model, native = (item, leading[0]) if leading else item
    return worker_failure(model, native, _describe(error))


def _describe(error):
    # A failed future's result is (type, exception, traceback); a cancelled one's the exception.
    if isinstance(error, tuple) and len(error) == 3:
        error = error[1]
    return error_text(error) if isinstance(error, BaseException) else str(error)


def _in_order(stream):
    """Outcomes by input index; with all_models an input's MODELs stay in file order."""
    by_input = collections.defaultdict(list)
    for index, outcome in stream:
        by_input[index].append(outcome)
    return [outcome for index in sorted(by_input) for outcome in by_input[index]]
