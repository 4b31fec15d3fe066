#!/usr/bin/env python3
"""Prints the throughput of scoring on a local Dask cluster against the in-process batch call.

Run with the module and the package importable, for example
PYTHONPATH=build/tarvo-py:python python3 scripts/bench_distributed.py
"""

import statistics
import time
from pathlib import Path

import _tarvo_rs
import dask
from distributed import Client, LocalCluster

from tarvo import distributed as tarvo_dask

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
PAIRS = [(str(EXAMPLES / "2GTP_model.pdb"), str(EXAMPLES / "2GTP_native.pdb"))] * 2000
# Items that fail at once on a missing file: their time is almost all chunk overhead.
FAILING = [(str(EXAMPLES / "missing.pdb"), str(EXAMPLES / "missing.pdb"))] * 2000
# (workers, Dask threads per worker, pool threads per worker (None: every processor), Dask configuration):
# the README's set-up, it with Dask's own worker environment, and two workers of one pool thread each.
CLUSTERS = [
    (1, 1, None, tarvo_dask.WORKER_CONFIG),
    (1, 1, None, {}),
    (2, 1, 1, tarvo_dask.WORKER_CONFIG),
]
CHUNK_SIZES = [64, 256, 1024]
# The README's set-up: the first cluster above, with the chunks it recommends.
RECOMMENDED_CHUNK = 1024
REPEATS = 3


def cpu_seconds(client):
    """CPU time of this process (client and scheduler) and of the worker processes together."""
    workers = client.run(time.process_time).values() if client else ()
    return time.process_time(), sum(workers)


def measured(run, client=None):
    """Wall seconds and (client, workers) CPU seconds of one run: the CPU figures do not depend on other load."""
    cpu, start = cpu_seconds(client), time.perf_counter()
    run()
    wall = time.perf_counter() - start
    return wall, tuple(after - before for after, before in zip(cpu_seconds(client), cpu))


def report(label, count, seconds):
    wall, cpu = seconds
    print(f"{label:<52} {count / wall:7.1f} pairs/s {1000 * sum(cpu) / count:5.2f} ms CPU/pair", flush=True)


def compared(label, count, runs):
    """Prints alternated (in-process, cluster) runs: medians, and the spread of the cluster's share.
    Returns the median share."""
    shares = sorted(alone[0] / on_cluster[0] for alone, on_cluster in runs)
    alone_wall = statistics.median(alone[0] for alone, _ in runs)
    wall = statistics.median(on_cluster[0] for _, on_cluster in runs)
    client_cpu, worker_cpu = (statistics.median(on_cluster[1][side] for _, on_cluster in runs) for side in (0, 1))
    alone_cpu = statistics.median(sum(alone[1]) for alone, _ in runs)
    print(
        f"{label:<52} {count / wall:7.1f} pairs/s against {count / alone_wall:6.1f} in-process:"
        f" {100 * statistics.median(shares):5.1f}% by wall ({100 * shares[0]:.0f}-{100 * shares[-1]:.0f}%);"
        f" {1000 * (client_cpu + worker_cpu) / count:5.2f} ms CPU/pair ({1000 * worker_cpu / count:.2f} workers,"
        f" {1000 * client_cpu / count:.2f} client) against {1000 * alone_cpu / count:.2f}",
        flush=True,
    )
    return statistics.median(shares)


def bench_cluster(workers, threads, pool, config):
    """Prints the cluster's figures; returns its median share of in-process throughput by chunk size."""
    env = {"TARVO_NUM_THREADS": str(pool)} if pool else None
    with dask.config.set(config):
        cluster = LocalCluster(n_workers=workers, threads_per_worker=threads, processes=True, host="127.0.0.1",
                               dashboard_address=None, env=env)
    name = f"{workers} worker(s) x {threads} thread(s), pool {pool or 'all'}{'' if config else ', Dask env'}"
    with cluster, Client(cluster) as client:
        tarvo_dask.score_pairs(PAIRS[:8], client=client, chunk_size=1)
        idle_cpu = sum(measured(lambda: time.sleep(5), client)[1]) / 5
        print(f"{name} idle: {idle_cpu:.3f} CPU s per s")
        shares = {}
        for chunk_size in CHUNK_SIZES:
            # Alternated with the in-process call, so that both see the same background load.
            runs = [
                (measured(lambda: _tarvo_rs.score_pairs(PAIRS)),
                 measured(lambda: tarvo_dask.score_pairs(PAIRS, client=client, chunk_size=chunk_size), client))
                for _ in range(REPEATS)
            ]
            shares[chunk_size] = compared(f"{name}, chunk {chunk_size}", len(PAIRS), runs)
        wall, cpu = measured(lambda: tarvo_dask.score_pairs(FAILING, client=client, chunk_size=1), client)
        print(
            f"{'':<52} overhead per chunk: {1000 * wall / len(FAILING):.2f} ms wall,"
            f" {1000 * sum(cpu) / len(FAILING):.2f} ms CPU (chunks of 1 failing item)"
        )
    return shares


def in_chunks(chunk_size):
    for start in range(0, len(PAIRS), chunk_size):
        _tarvo_rs.score_pairs(PAIRS[start : start + chunk_size])


def main():
    _tarvo_rs.score_pairs(PAIRS[:8])
    report("in-process score_pairs, chunks of 64", len(PAIRS), measured(lambda: in_chunks(64)))
    report("in-process score_pairs", len(PAIRS), measured(lambda: _tarvo_rs.score_pairs(PAIRS)))
    recommended = [bench_cluster(*cluster) for cluster in CLUSTERS][0][RECOMMENDED_CHUNK]
    print(f"\n{'goal':<58}{'measured':>10}{'target':>9}  met")
    print(f"{'Dask, README set-up / in-process throughput':<58}{recommended:>10.2f}{'>= 0.85':>9}"
          f"  {'yes' if recommended >= 0.85 else 'NO'}")


if __name__ == "__main__":
    main()
