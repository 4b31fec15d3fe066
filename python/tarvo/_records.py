"""tarvo.to_records and to_frame: flat per-interface records of scores, for tables and pandas.

_output is imported only when they are called: a worker process of tarvo rank --workers, which
imports the package, starts that much sooner.
"""


def to_records(result_or_outcomes):
    """One flat dictionary per (model, interface), keys in RECORD_KEYS order.

    Takes a result of score(), one outcome of score_pairs()/score_one_vs_many(),
    or an iterable of either. A failed outcome gives one record with its error
    and the other fields None; a result without interfaces gives one record
    whose interface is None.
    """
    from ._output import records_of

    if isinstance(result_or_outcomes, dict):
        return records_of(result_or_outcomes)
    if isinstance(result_or_outcomes, (str, bytes)):
        raise TypeError("to_records takes score results or outcomes, not a string")
    try:
        items = iter(result_or_outcomes)
    except TypeError:
        raise TypeError(
            f"to_records takes score results or outcomes, not {type(result_or_outcomes).__name__}"
        ) from None
    records = []
    for item in items:
        if not isinstance(item, dict):
            raise TypeError(f"to_records: items must be result or outcome dicts, not {type(item).__name__}")
        records += records_of(item)
    return records


def to_frame(result_or_outcomes):
    """to_records() as a pandas DataFrame, one row per (model, interface)."""
    try:
        import pandas
    except ImportError as exc:
        raise ImportError("to_frame needs pandas: pip install 'tarvo[pandas]'") from exc
    from ._output import RECORD_KEYS

    return pandas.DataFrame(to_records(result_or_outcomes), columns=list(RECORD_KEYS))
