"""Interface scores of predicted complexes: the functions of the extension module _tarvo_rs."""

from _tarvo_rs import (
    ChainNotFoundError,
    GeometryError,
    InterfaceSizeMismatchError,
    IoError,
    MappingError,
    ModelIndexOutOfRangeError,
    NoIdenticalNativeChainError,
    ParseError,
    SmallMoleculeUnsupportedError,
    Structure,
    TarvoError,
    UnknownFormatError,
    check_arguments,
    iter_score_one_vs_many,
    load_PDB,
    run_on_all_native_interfaces,
    score,
    score_one_vs_many,
    score_options,
    score_pairs,
    version,
)

from ._records import to_frame, to_records  # pandas is imported only when to_frame is called

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
# The error classes are importable from here too; every one derives from
# TarvoError and from RuntimeError (ValueError for the small-molecule refusal).
