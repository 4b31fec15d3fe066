"""Scoring of many structure pairs on a Dask cluster.

The input is cut into chunks and each chunk runs the module's own batch
function on a worker, so every worker scores its chunk on its whole core pool.
Outcomes are the module's outcome dictionaries, in input order; an item that
fails keeps its error in its own dictionary, as in the module. A chunk whose
worker fails (dies beyond the scheduler's retries, runs out of memory, raises)
fails its own items only: "worker failed: ..." in each, and the run goes on.

The module holds the interpreter lock for a whole chunk, so a worker cannot
answer its scheduler meanwhile: chunks should take seconds, not minutes.
"""

import functools
import os

import _tarvo_rs

try:
    from distributed import as_completed, get_client
except ImportError as exc:
    raise ImportError(
        "tarvo.distributed needs Dask; install it with: pip install 'tarvo[dask]'"
    ) from exc

__all__ = ["iter_score_one_vs_many", "iter_score_pairs", "score_one_vs_many", "score_pairs"]


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
    _tarvo_rs.check_arguments("score_one_vs_many", native, models, **options)
    return _iter_chunks(_tarvo_rs.score_one_vs_many, (native,), models, client, chunk_size, options)


def _iter_chunks(batch, leading, items, client, chunk_size, options):
    """Maps batch(*leading, chunk, **options) over the chunks of `items`."""
    chunks = _chunks(list(items), chunk_size)
    client = _client(client)
    futures = client.map(functools.partial(batch, *leading), chunks, pure=False, **options)
    return _stream(client, futures, chunks, chunk_size, leading)


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


def _stream(client, futures, chunks, chunk_size, leading):
    """Yields each chunk's outcomes once, when the chunk is done.

    Only the chunk keys are kept here, so a finished chunk's result is
    released on the cluster as soon as it has been yielded. A chunk that
    failed as a whole (its worker died beyond the retries, or the batch call
    raised) gives each of its items that failure, so the other chunks go on.
    """
    pending = {future.key: (n * chunk_size, chunk) for n, (future, chunk) in enumerate(zip(futures, chunks))}
    completed = as_completed(futures, loop=client.loop, with_results=True, raise_errors=False)
    del futures
    for future, outcomes in completed:
        first_index, chunk = pending.pop(future.key)
        # Judged by the result, not by future.status, which changes under us
        # when a worker that held this finished chunk dies afterwards.
        if not isinstance(outcomes, list):
            outcomes = [_failed(item, leading, outcomes) for item in chunk]
        yield from enumerate(outcomes, first_index)


def _failed(item, leading, error):
    """The failure outcome of one item, in the module's key order."""
    model, native = (item, leading[0]) if leading else item
    return {"model": os.fspath(model), "native": os.fspath(native), "ok": False,
            "error": f"worker failed: {_describe(error)}"}


def _describe(error):
    # A failed future's result is (type, exception, traceback); a cancelled one's the exception.
    if isinstance(error, tuple) and len(error) == 3:
        error = error[1]
    if isinstance(error, BaseException):
        return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
    return str(error)


def _in_order(stream):
    outcomes = dict(stream)
    return [outcomes[index] for index in range(len(outcomes))]
