#!/usr/bin/env python3
"""Prints the throughput of scoring on a local Dask cluster against the in-process batch call.

Run with the module and the package importable, for example
PYTHONPATH=build/tarvo-py:python python3 scripts/bench_distributed.py
"""

import time
from pathlib import Path

import _tarvo_rs
from distributed import Client, LocalCluster

from tarvo import distributed as tarvo_dask

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
PAIRS = [(str(EXAMPLES / "2GTP_model.pdb"), str(EXAMPLES / "2GTP_native.pdb"))] * 2000
# Items that fail at once on a missing file: their time is almost all chunk overhead.
FAILING = [(str(EXAMPLES / "missing.pdb"), str(EXAMPLES / "missing.pdb"))] * 2000
CLUSTERS = [(2, 1), (1, 2), (1, 1)]
CHUNK_SIZES = [16, 64, 256]


def cpu_seconds(client):
    """CPU time of this process (client and scheduler) and of every worker process."""
    workers = client.run(time.process_time).values() if client else ()
    return time.process_time() + sum(workers)


def measured(run, client=None):
    """Wall and CPU seconds of one run: the CPU figure does not depend on other load."""
    cpu, start = cpu_seconds(client), time.perf_counter()
    run()
    return time.perf_counter() - start, cpu_seconds(client) - cpu


def report(label, count, seconds, baseline=None):
    """Prints one run; against a baseline run, also its throughput share by wall and by CPU time."""
    wall, cpu = seconds
    share = ""
    if baseline:
        share = f"  {100 * baseline[0] / wall:5.1f}% by wall, {100 * baseline[1] / cpu:5.1f}% by CPU of in-process"
    print(
        f"{label:<46} {count:5d} pairs {wall:7.2f} s {count / wall:7.1f} pairs/s"
        f" {1000 * cpu / count:6.2f} ms CPU/pair{share}",
        flush=True,
    )
    return seconds


def bench_cluster(workers, threads, baseline):
    with LocalCluster(
        n_workers=workers,
        threads_per_worker=threads,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
    ) as cluster, Client(cluster) as client:
        tarvo_dask.score_pairs(PAIRS[:8], client=client, chunk_size=1)
        idle_cpu = measured(lambda: time.sleep(5), client)[1] / 5
        print(f"cluster {workers} worker(s) x {threads} thread(s) idle: {idle_cpu:.3f} CPU s per s")
        for chunk_size in CHUNK_SIZES:
            seconds = measured(
                lambda: tarvo_dask.score_pairs(PAIRS, client=client, chunk_size=chunk_size), client
            )
            label = f"cluster {workers} worker(s) x {threads} thread(s), chunk {chunk_size}"
            report(label, len(PAIRS), seconds, baseline)
        wall, cpu = measured(lambda: tarvo_dask.score_pairs(FAILING, client=client, chunk_size=1), client)
        print(
            f"{'':<46} overhead per chunk: {1000 * wall / len(FAILING):.2f} ms wall,"
            f" {1000 * cpu / len(FAILING):.2f} ms CPU (chunks of 1 failing item)"
        )


def in_chunks(chunk_size):
    for start in range(0, len(PAIRS), chunk_size):
        _tarvo_rs.score_pairs(PAIRS[start : start + chunk_size])


def main():
    _tarvo_rs.score_pairs(PAIRS[:8])
    report("in-process score_pairs, chunks of 64", len(PAIRS), measured(lambda: in_chunks(64)))
    # The in-process figure is taken again before each cluster, so that both
    # see the same background load.
    for workers, threads in CLUSTERS:
        seconds = measured(lambda: _tarvo_rs.score_pairs(PAIRS))
        baseline = report("in-process score_pairs", len(PAIRS), seconds)
        bench_cluster(workers, threads, baseline)


if __name__ == "__main__":
    main()
