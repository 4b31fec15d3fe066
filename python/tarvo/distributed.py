"""Scoring of many structure pairs on a Dask cluster.

The input is cut into chunks and each chunk runs the module's own batch
function on a worker, so every worker scores its chunk on its whole core pool.
Outcomes are the module's outcome dictionaries, in input order; an item that
fails keeps its error in its own dictionary, as in the module.

The module holds the interpreter lock for a whole chunk, so a worker cannot
answer its scheduler meanwhile: chunks should take seconds, not minutes.
"""

import functools

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
    return _stream(client, futures, chunk_size)


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


def _stream(client, futures, chunk_size):
    """Yields each chunk's outcomes once, when the chunk is done.

    Only the chunk keys are kept here, so a finished chunk's result is
    released on the cluster as soon as it has been yielded.
    """
    first_index = {future.key: n * chunk_size for n, future in enumerate(futures)}
    completed = as_completed(futures, loop=client.loop, with_results=True)
    del futures
    for future, outcomes in completed:
        yield from enumerate(outcomes, first_index[future.key])


def _in_order(stream):
    outcomes = dict(stream)
    return [outcomes[index] for index in range(len(outcomes))]
