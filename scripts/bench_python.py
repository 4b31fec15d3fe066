#!/usr/bin/env python3
"""Speed of the Python module, printed as figures.

Compares load_PDB with gemmi.read_structure and Biopython's parsers on the same
files, and times score and score_one_vs_many (1 and 2 threads). gemmi and
Biopython are installed here when missing; the package does not need them.

Run after `pip install .`, or with PYTHONPATH=build-py/tarvo-py:python.
"""

import gzip
import importlib
import os
import shutil
import subprocess
import sys
import timeit
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
LOAD_FILES = ["2GTP_native.pdb", "3FN1_native.pdb", "homo24_native.pdb.gz", "2XHE.cif"]
PAIR = (str(EXAMPLES / "2GTP_model.pdb"), str(EXAMPLES / "2GTP_native.pdb"))
BATCH_MODELS = 24


def ensure(module, package):
    try:
        return importlib.import_module(module)
    except ImportError:
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check", package],
                       check=True)
        return importlib.import_module(module)


def best_seconds(call, number):
    """Best of five rounds, per call."""
    return min(timeit.repeat(call, number=number, repeat=5)) / number


def load_comparison(tarvo):
    gemmi = ensure("gemmi", "gemmi")
    ensure("Bio", "biopython")
    from Bio.PDB import MMCIFParser, PDBParser

    pdb_parser, cif_parser = PDBParser(QUIET=True), MMCIFParser(QUIET=True)
    print(f"{'file':<22}{'size kB':>8}{'load_PDB ms':>13}{'gemmi ms':>10}{'gemmi/us':>10}"
          f"{'Biopython ms':>14}{'Bio/us':>8}")
    for name in LOAD_FILES:
        path = str(EXAMPLES / name)
        biopython = cif_parser if name.endswith(".cif") else pdb_parser
        ours = best_seconds(lambda: tarvo.load_PDB(path), 20)
        theirs = best_seconds(lambda: gemmi.read_structure(path), 20)
        opener = gzip.open if name.endswith(".gz") else open  # Biopython reads no gzip itself
        bio = best_seconds(lambda: biopython.get_structure("s", opener(path, "rt")), 2)
        size = os.path.getsize(path) / 1024
        print(f"{name:<22}{size:>8.0f}{ours * 1e3:>13.2f}{theirs * 1e3:>10.2f}{theirs / ours:>10.2f}"
              f"{bio * 1e3:>14.1f}{bio / ours:>8.1f}")


def batch_throughput(cpus):
    """Models per second of score_one_vs_many, in a process pinned to `cpus`."""
    code = (
        "import time, _tarvo_rs as t\n"
        f"model, native = {PAIR!r}\n"
        "t.score_one_vs_many(native, [model])\n"
        "start = time.perf_counter()\n"
        f"out = t.score_one_vs_many(native, [model] * {BATCH_MODELS})\n"
        "elapsed = time.perf_counter() - start\n"
        "assert all(o['ok'] for o in out)\n"
        f"print({BATCH_MODELS} / elapsed)\n"
    )
    command = [sys.executable, "-c", code]
    if shutil.which("taskset"):
        command = ["taskset", "-c", cpus] + command
    done = subprocess.run(command, check=True, capture_output=True, text=True, env=os.environ)
    return float(done.stdout)


def main():
    import _tarvo_rs as tarvo

    print(f"_tarvo_rs {tarvo.version()}, Python {sys.version.split()[0]}, {os.cpu_count()} processors\n")
    load_comparison(tarvo)
    per_pair = best_seconds(lambda: tarvo.score(*PAIR), 5)
    print(f"\nscore, 2GTP model vs native: {per_pair * 1e3:.1f} ms per pair")
    one, two = batch_throughput("0"), batch_throughput("0,1")
    print(f"score_one_vs_many, {BATCH_MODELS} x 2GTP: {one:.1f} models/s on 1 thread, "
          f"{two:.1f} models/s on 2 threads ({two / one:.2f}x)")


if __name__ == "__main__":
    main()
