"""Flat per-interface records of scores, for tables, CSV rows and pandas."""

from ._report import INTERFACE_KEYS

RECORD_KEYS = (
    "model", "native", "ok", "error", "GlobalTarvo", "best_mapping_str", "interface", *INTERFACE_KEYS,
)


def to_records(result_or_outcomes):
    """One flat dictionary per (model, interface), keys in RECORD_KEYS order.

    Takes a result of score(), one outcome of score_pairs()/score_one_vs_many(),
    or an iterable of either. A failed outcome gives one record with its error
    and the other fields None; a result without interfaces gives one record
    whose interface is None.
    """
    if isinstance(result_or_outcomes, dict):
        return _records_of(result_or_outcomes)
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
        records += _records_of(item)
    return records


def to_frame(result_or_outcomes):
    """to_records() as a pandas DataFrame, one row per (model, interface)."""
    try:
        import pandas
    except ImportError as exc:
        raise ImportError("to_frame needs pandas: pip install 'tarvo[pandas]'") from exc
    return pandas.DataFrame(to_records(result_or_outcomes), columns=list(RECORD_KEYS))


def _records_of(item):
    if "ok" not in item:
        return _result_records(item, item["model"], item["native"])
    if item["ok"]:
        return _result_records(item["result"], item["model"], item["native"])
    record = dict.fromkeys(RECORD_KEYS)
    record.update(model=item["model"], native=item["native"], ok=False, error=item["error"])
    return [record]


def _result_records(result, model, native):
    head = {
        "model": model,
        "native": native,
        "ok": True,
        "error": None,
        "GlobalTarvo": result["GlobalTarvo"],
        "best_mapping_str": result["best_mapping_str"],
    }
    interfaces = result["best_result"]
    if not interfaces:
        return [{**head, "interface": None, **dict.fromkeys(INTERFACE_KEYS)}]
    return [
        {**head, "interface": name, **{key: values[key] for key in INTERFACE_KEYS}}
        for name, values in interfaces.items()
    ]
