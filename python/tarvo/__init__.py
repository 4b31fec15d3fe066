"""Interface scores of predicted complexes: the functions of the extension module _tarvo_rs."""

from _tarvo_rs import (
    Structure,
    load_PDB,
    run_on_all_native_interfaces,
    score,
    score_one_vs_many,
    score_pairs,
    version,
)

__all__ = [
    "Structure",
    "load_PDB",
    "run_on_all_native_interfaces",
    "score",
    "score_one_vs_many",
    "score_pairs",
    "version",
]
__version__ = version()
