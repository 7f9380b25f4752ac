"""One-line conversions of decoded events into pyarrow tables.

    from brisquel import TableDecoder
    from brisquel.arrow import tables

    for name, table in tables(TableDecoder(idl_json), log_lines).items():
        print(name, table.num_rows)

pyarrow is needed here only; `brisquel` itself imports without it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pyarrow

    from brisquel._tables import DecodedEvents


def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError as e:
        raise ImportError(
            "brisquel.arrow needs pyarrow (pip install pyarrow, or your system's python3-pyarrow); "
            "without it, hand the EventTable objects to any other Arrow consumer"
        ) from e
    return pyarrow


def to_pyarrow(events: DecodedEvents) -> dict[Any, pyarrow.Table]:
    """Every table of a DecodedEvents as a pyarrow.Table (no copy), by key."""
    pa = _pyarrow()
    return {key: pa.table(table) for key, table in events.items()}


def tables(decoder: Any, logs: Any) -> dict[Any, pyarrow.Table]:
    """decoder.decode(logs) as a dict of pyarrow tables, one per event (empty ones included)."""
    return to_pyarrow(decoder.decode(logs))
