# Type stubs of the extension module _tarvo_rs (built from tarvo-py/src).
# The dictionaries it returns keep the key order written here.

from collections.abc import Iterable, Iterator, Sequence
from os import PathLike
from typing import Any, Literal, TypedDict, Union, final

from typing_extensions import NotRequired

# As at run time: the error classes, check_arguments and iter_score_one_vs_many
# are attributes but not listed.
__all__ = [
    "Structure",
    "load_PDB",
    "run_on_all_native_interfaces",
    "score",
    "score_one_vs_many",
    "score_pairs",
    "version",
]

# A file path: a str or an os.PathLike giving one.
Path = Union[str, PathLike[str]]

class InterfaceResult(TypedDict):
    """Scores of one native interface; undefined RMSDs are NaN."""

    Tarvo: float
    F1: float
    iRMSD: float
    LRMSD: float
    fnat: float
    nat_correct: int
    nat_total: int
    fnonnat: float
    nonnat_count: int
    model_total: int
    clashes: int
    len1: int
    len2: int
    class1: str
    class2: str
    chain1: str
    chain2: str
    is_het: bool

class RunResult(TypedDict):
    """One model scored against one native under its best chain mapping."""

    model: str
    native: str
    best_mapping_str: str  # e.g. "BA:AB", or "B2,AA:A,B" when some chain id is longer than one character
    best_tarvo: float
    GlobalTarvo: float
    # keyed by the two native chain ids, e.g. "AB" or "A,BC"; with groups, by the groups text, e.g. "HL:A"
    best_result: dict[str, InterfaceResult]
    best_mapping: dict[str, str]  # native chain -> model chain
    missing_interfaces: list[str]  # native interfaces left unscored: a chain of them has no model chain
    mapping_exact: bool  # the mapping is proven best; else the best found within the work budget
    mapping_gap: float  # at most this much more "best_tarvo" under a better mapping; 0.0 when exact

class ScoredOutcome(TypedDict):
    model: str
    native: str
    model_index: NotRequired[int]  # with all_models=True: which model of the file, 0-based
    ok: Literal[True]
    result: RunResult

class FailedOutcome(TypedDict):
    model: str
    native: str
    model_index: NotRequired[int]
    ok: Literal[False]
    error: str

# One item of score_pairs / score_one_vs_many: "result" when "ok", else "error".
Outcome = Union[ScoredOutcome, FailedOutcome]

class TarvoError(Exception): ...
class IoError(TarvoError, RuntimeError): ...
class ParseError(TarvoError, RuntimeError): ...
class UnknownFormatError(TarvoError, RuntimeError): ...
class ChainNotFoundError(TarvoError, RuntimeError): ...
class ModelIndexOutOfRangeError(TarvoError, RuntimeError): ...
class GeometryError(TarvoError, RuntimeError): ...
class InterfaceSizeMismatchError(TarvoError, RuntimeError): ...
class NoIdenticalNativeChainError(TarvoError, RuntimeError): ...
class MappingError(TarvoError, RuntimeError): ...
class SmallMoleculeUnsupportedError(TarvoError, ValueError): ...

@final
class Structure:
    """A parsed structure: made only by load_PDB, accepted by run_on_all_native_interfaces."""

    @property
    def id(self) -> str: ...
    def chain_ids(self) -> list[str]: ...
    def __contains__(self, chain: str, /) -> bool: ...

def load_PDB(
    path: Path, chains: Sequence[str] = ..., small_molecule: bool = False, n_model: int = 0
) -> Structure: ...
def run_on_all_native_interfaces(
    model: Structure,
    native: Structure,
    chain_map: dict[str, str],
    no_align: bool = False,
    capri_peptide: bool = False,
    low_memory: bool = False,
) -> tuple[dict[tuple[str, str], InterfaceResult], float]: ...
def score(
    model: Path,
    native: Path,
    no_align: bool = False,
    capri_peptide: bool = False,
    small_molecule: bool = False,
    mapping: str | None = None,
    allowed_mismatches: int = 0,
    groups: str | None = None,
    exact: bool = False,
) -> RunResult: ...
def score_one_vs_many(
    native: Path,
    models: Iterable[Path],
    no_align: bool = False,
    capri_peptide: bool = False,
    small_molecule: bool = False,
    mapping: str | None = None,
    allowed_mismatches: int = 0,
    groups: str | None = None,
    exact: bool = False,
    all_models: bool = False,
) -> list[Outcome]: ...
def score_pairs(
    pairs: Sequence[Union[tuple[Path, Path], list[Path]]],
    no_align: bool = False,
    capri_peptide: bool = False,
    small_molecule: bool = False,
    mapping: str | None = None,
    allowed_mismatches: int = 0,
    groups: str | None = None,
    exact: bool = False,
    all_models: bool = False,
) -> list[Outcome]: ...
@final
class OutcomeStream(Iterator[list[tuple[int, Outcome]]]):
    """The iterator of iter_score_one_vs_many; dropping it stops the work."""

    def __next__(self) -> list[tuple[int, Outcome]]: ...

def iter_score_one_vs_many(
    native: Path,
    models: Iterable[Path],
    no_align: bool = False,
    capri_peptide: bool = False,
    small_molecule: bool = False,
    mapping: str | None = None,
    allowed_mismatches: int = 0,
    groups: str | None = None,
    exact: bool = False,
    all_models: bool = False,
) -> OutcomeStream:
    """score_one_vs_many scored in the background: each step gives, in input order, the
    (input index, outcome) of the models finished since the last."""

# The scoring options of score, score_pairs and score_one_vs_many, in signature
# order: (name, default, the command line's placeholder or None for a flag, help).
score_options: tuple[tuple[str, Union[bool, int, None], Union[str, None], str], ...]

def check_arguments(function: str, /, *args: Any, **kwargs: Any) -> None:
    """Reads the arguments as `function` ("score", "score_pairs" or "score_one_vs_many") would,
    without reading a file, and raises what that call raises for them."""

def version() -> str: ...
