"""Events of many files as Dask DataFrames, and their export to Parquet, on one
machine or on a Dask cluster.

    from brisquel.dataset import read_events, write_events

    events = read_events(["day1.jsonl", "day2.jsonl"], [open("my_program.json").read()])
    events[(program, "SwapEvent")].compute()     # a pandas DataFrame (pyarrow dtypes)
    counts = write_events(events, "out")         # out/<program>/<Event>/part-*.parquet

JSON lines (RPC transactions, blocks or responses) are decoded by a
TransactionDecoder, so each event is decoded with its own program's IDL; a
Parquet file's logs column by one TableDecoder per IDL, keyed by the IDL's
address. Frames have one partition per file (per row group for Parquet) and
their schema from the IDLs alone.

With a `distributed.Client` as the current scheduler, the work runs on its
workers; otherwise on Dask's local scheduler. Workers need the input files and
the output folder at the same paths.

Here: the public functions and the frames. Reading lives in _sources, what a
process keeps in _process_cache, the Parquet parts in _part_writer, running an
export in _export.
"""

from __future__ import annotations

import os
import sys
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping
from pathlib import Path
from typing import Any

import pandas as pd
import pyarrow as pa

from brisquel._export import Dataset, ExportSummary, PartitionGraph, SourceResult, run
from brisquel._json_pieces import MAX_VALUE_BYTES, SourceError
from brisquel._part_writer import key_dir  # noqa: F401  (where an event's dataset is written)
from brisquel._process_cache import decoded, decoders
from brisquel._sources import CHUNK_BYTES, Decoding, Key, Plan, Source, plan_parquet

__all__ = ["AccountFrames", "EventFrames", "ExportSummary", "SourceError", "read_accounts", "read_events",
           "write_events"]


def _dask_dataframe() -> Any:
    """dask.dataframe; without dask-expr installed, the legacy one, without its deprecation notice."""
    if "dask.dataframe" not in sys.modules:
        try:
            import dask_expr  # noqa: F401  (when present, dask.dataframe is built on it)
        except ImportError:
            import dask

            dask.config.set({"dataframe.query-planning": False})
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=FutureWarning, module="dask")
        import dask.dataframe

    return dask.dataframe


# --- reading ----------------------------------------------------------------

class EventFrames(Mapping[Key, Any]):
    """A read-only mapping from (program address, event key) to a dask DataFrame,
    one per event the IDLs declare; `errors` holds the event bodies that did not
    decode, `schemas` the Arrow schema of each frame."""

    def __init__(self, plan: Plan, frames: dict[Key, Any], errors: Any) -> None:
        self._plan = plan
        self._frames = frames
        self.errors = errors

    @property
    def schemas(self) -> dict[Key, pa.Schema]:
        return dict(self._plan.schemas)

    @property
    def sources(self) -> list[Source]:
        """What each partition reads: (path, Parquet row group or None, the file's row it starts at)."""
        return list(self._plan.sources)

    def __getitem__(self, key: Key) -> Any:
        return self._frames[key]

    def __iter__(self) -> Iterator[Key]:
        return iter(self._frames)

    def __len__(self) -> int:
        return len(self._frames)

    def __repr__(self) -> str:
        return f"<EventFrames: {len(self)} events, {len(self._plan.sources)} partitions>"


def read_events(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], idls: str | Iterable[str], *,
                format: str = "jsonl", logs_column: str = "logMessages", keep: str | Iterable[str] = (),
                short_events: str | None = None, include_failed: bool = False,
                chunk_bytes: int = CHUNK_BYTES) -> EventFrames:
    """The events of the files at `paths` (folders: the files in them) as dask
    DataFrames, decoded with the IDLs (JSON texts).

    format: "jsonl" (RPC JSON: one value per line, or one value per file) or
    "parquet" (a column `logs_column` of log lines, or lists of them, per
    transaction). keep: Parquet columns copied into every event row, placed
    after `_row` and `_line`. include_failed: JSON only; failed transactions'
    events too. chunk_bytes: JSON files are read in pieces of about this size.
short_events: "null" reads a body that ends where a top-level field of its
event begins as an older, shorter version of the event, the missing fields
null; "skip" counts it among the bodies that did not decode. The default is
"null" for JSON transactions, where each event's program is known, and "skip"
for Parquet logs, matched by discriminator alone.

    Nothing is read but Parquet footers; a file that cannot be read fails when
    its partition is computed, with a SourceError naming it.
    """
    files, texts = _inputs(paths, idls, chunk_bytes)
    kept = (keep,) if isinstance(keep, str) else tuple(dict.fromkeys(keep))
    if format == "jsonl":
        if kept:
            raise ValueError("keep: JSON transactions carry _signature, _slot and _block_time; keep is for Parquet")
        sources: list[Source] = [(f, None, 0) for f in files]
        keep_types: tuple[pa.DataType, ...] = ()
    elif format == "parquet":
        if logs_column in kept:
            raise ValueError(f"keep: {logs_column!r} is the logs column")
        sources, keep_types = _plan_parquet(files, kept)
    else:
        raise ValueError(f"format: 'jsonl' or 'parquet', not {format!r}")
    if short_events is None:
        short_events = "null" if format == "jsonl" else "skip"
    decoding = Decoding(format, texts, short_events, bool(include_failed), logs_column, kept, keep_types, chunk_bytes)
    dec = decoders(decoding)  # refuses bad IDLs and options here, not on a worker
    plan = Plan(decoding, sources, dict(dec.schemas), dec.errors_schema)
    frames = {key: _frame(plan, key) for key in plan.schemas}
    return EventFrames(plan, frames, _frame(plan, None))


class AccountFrames(EventFrames):
    """A read-only mapping from (program address, account type) to a dask
    DataFrame, one per account type the IDLs declare; `errors` holds the
    accounts that did not decode, `schemas` the Arrow schema of each frame."""

    def __repr__(self) -> str:
        return f"<AccountFrames: {len(self)} account types, {len(self._plan.sources)} partitions>"


def read_accounts(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], idls: str | Iterable[str], *,
                  zero_copy: Mapping[int | str, Iterable[str]] | None = None, old_versions: bool = False,
                  chunk_bytes: int = CHUNK_BYTES) -> AccountFrames:
    """The program accounts of the files at `paths` (folders: the files in them)
    as dask DataFrames, one per account type, each account decoded with the IDL
    (JSON text) of the program that owns it, as AccountDecoder decodes them.

    The files hold RPC JSON (getProgramAccounts, getMultipleAccounts or
    getAccountInfo responses or results, {pubkey, account} entries; one value
    per file, or one per line). zero_copy and old_versions: as AccountDecoder
    takes them. write_events writes the frames to `out/accounts/<program>/<Account>/`.
    """
    files, texts = _inputs(paths, idls, chunk_bytes)
    types = tuple((key, names if isinstance(names, str) else tuple(names))  # a str: AccountDecoder refuses it
                  for key, names in (zero_copy or {}).items())
    decoding = Decoding("accounts", texts, chunk_bytes=chunk_bytes, zero_copy=types, old_versions=bool(old_versions))
    dec = decoders(decoding)  # refuses bad IDLs and options here, not on a worker
    plan = Plan(decoding, [(f, None, 0) for f in files], dict(dec.schemas), dec.errors_schema)
    frames = {key: _frame(plan, key) for key in plan.schemas}
    return AccountFrames(plan, frames, _frame(plan, None))


def _inputs(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], idls: str | Iterable[str],
            chunk_bytes: int) -> tuple[list[str], tuple[str, ...]]:
    """The input files and the IDL texts, checked with the piece size."""
    files = input_files(paths)
    if not files:
        raise ValueError("no input files")
    texts = (idls,) if isinstance(idls, str) else tuple(idls)
    if not texts or not all(isinstance(t, str) for t in texts):
        raise TypeError("idls: one IDL JSON text, or a sequence of them")
    if not 1 <= chunk_bytes <= MAX_VALUE_BYTES:
        raise ValueError(f"chunk_bytes: from 1 to {MAX_VALUE_BYTES}")
    return files, texts


def input_files(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    """The paths, each folder replaced by the files in it (sorted, hidden ones left out)."""
    items = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    files: list[str] = []
    for item in items:
        path = os.fspath(item)
        if os.path.isdir(path):
            files += sorted(os.path.join(path, name) for name in os.listdir(path)
                            if not name.startswith(".") and os.path.isfile(os.path.join(path, name)))
        else:
            files.append(path)
    return files


def _plan_parquet(files: list[str], keep: tuple[str, ...]) -> tuple[list[Source], tuple[pa.DataType, ...]]:
    sources: list[Source] = []
    types: dict[str, pa.DataType] = {}
    for path in files:
        found, schema = plan_parquet(path)
        sources += found
        for name in keep:
            if schema is not None and name not in types and name in schema.names:
                types[name] = schema.field(name).type
    # A column no file has: every file fails on it; its type does not matter.
    return sources, tuple(types.get(name, pa.null()) for name in keep)


def _frame(plan: Plan, key: Key | None) -> Any:
    dd = _dask_dataframe()
    schema = plan.errors_schema if key is None else plan.schemas[key]
    meta = schema.empty_table().to_pandas(types_mapper=pd.ArrowDtype)
    label = "brisquel-errors" if key is None else "brisquel-events"
    frame = dd.from_map(_Partition(plan, key), plan.sources, meta=meta, label=label, token=plan.frame_token(key),
                        enforce_metadata=False)
    plan.frame_names[key] = frame._name
    return frame


class _Partition:
    """One event's rows of one source, as pandas with pyarrow dtypes (the Arrow
    types kept exactly). In this process it knows its read_events plan, which
    is how write_events finds where any frame built on it comes from; workers
    get only what decoding needs."""

    def __init__(self, plan: Plan | None, key: Key | None, decoding: Decoding | None = None) -> None:
        self.plan = plan
        self.key = key
        self.decoding = plan.decoding if plan is not None else decoding

    def __reduce__(self) -> tuple[Any, ...]:
        return _Partition, (None, self.key, self.decoding)

    def __call__(self, source: Source) -> pd.DataFrame:
        whole = decoded(self.decoding, source)
        table = whole.errors if self.key is None else whole.tables[self.key]
        return table.to_pandas(types_mapper=pd.ArrowDtype)


def _partitions_of(frame: Any) -> list[_Partition]:
    """The read_events partitions a frame is computed from, found in its graph."""
    found: list[Any] = []
    expr = getattr(frame, "expr", None)
    if expr is not None:  # dask-expr: the operands of its expressions
        for node in expr.walk():
            found += [o for o in getattr(node, "operands", ()) if isinstance(o, _Partition)]
    else:
        graph = frame.__dask_graph__() if hasattr(frame, "__dask_graph__") else None
        for layer in getattr(graph, "layers", {}).values():
            found.append(getattr(layer, "io_func", None))
    return [p for p in found if isinstance(p, _Partition) and p.plan is not None]


# --- writing ----------------------------------------------------------------

def write_events(events: Mapping[Key, Any], out_dir: str | os.PathLike[str], *,
                 progress: Callable[[SourceResult, int, int], None] | None = None) -> ExportSummary:
    """Writes each frame of `events` as a Parquet dataset
    `out_dir/<program>/<Event>/part-NNNNN.parquet` (the folder named by its key),
    and the undecodable bodies of their events to `out_dir/_errors/`. Returns the
    rows written per key.

    The frames are read_events' own (its result, or a sub-mapping of it), or
    frames derived from them partition by partition (column selections,
    filters, new columns), all of one read_events call. Each source is decoded
    once, by one task that writes every dataset's part: read_events' frames a
    piece at a time, derived frames a whole partition at a time.

    Integers wider than 64 bits are written as their decimal text (see the
    README: what engines read). Parts are staged under `out_dir/.staging-*` and
    each dataset replaces the previous one only once every task is done, so a
    run that dies leaves what was there. A file that fails (unreadable, bad
    JSON, missing column) has none of its rows written; it is named in
    `failed`. `progress(result, done, total)` is called as each source is done.
    """
    plan: Plan | None = None
    datasets: list[Dataset] = []
    partitions: dict[Key, list[PartitionGraph]] = {}
    for key, frame in events.items():
        if not (isinstance(key, tuple) and len(key) == 2 and all(isinstance(k, str) for k in key)):
            raise TypeError(f"events: key {key!r} is not a (program, event) pair of str")
        found = _partitions_of(frame)
        if not found:
            raise TypeError(f"events[{key!r}]: not a frame of read_events or derived from one "
                            "(use DataFrame.to_parquet)")
        if any(p.plan is not found[0].plan for p in found) or (plan is not None and found[0].plan is not plan):
            raise ValueError("events: frames of more than one read_events call; write each result on its own")
        plan = found[0].plan
        origins = {p.key for p in found}
        origin = origins.pop() if len(origins) == 1 else None
        if origin is not None and frame._name == plan.frame_names.get(origin):
            datasets.append(Dataset(key, plan.schemas[origin], origin))
            continue
        if frame.npartitions != len(plan.sources):
            raise ValueError(f"events[{key!r}]: {frame.npartitions} partitions, not one per source of read_events "
                             f"({len(plan.sources)})")
        datasets.append(Dataset(key, _schema_of(frame, plan, origin), origin, derived=True))
        partitions[key] = _partition_graphs(frame)
    if plan is None:
        raise ValueError("events: nothing to write")
    return run(plan, datasets, partitions, Path(out_dir), progress)


def _schema_of(frame: Any, plan: Plan, origin: Key | None) -> pa.Schema:
    """A derived frame's Arrow schema: its columns' types, with the field
    metadata of read_events' columns it kept."""
    meta = frame._meta.to_frame() if isinstance(frame._meta, pd.Series) else frame._meta
    schema = pa.Schema.from_pandas(meta, preserve_index=False)
    kept = plan.errors_schema if origin is None else plan.schemas[origin]
    fields = [kept.field(f.name) if f.name in kept.names and kept.field(f.name).type == f.type else f
              for f in schema]
    return pa.schema(fields, kept.metadata)


def _partition_graphs(frame: Any) -> list[PartitionGraph]:
    from dask.optimization import cull

    parts = frame.to_delayed(optimize_graph=True)
    graph = dict(parts[0].__dask_graph__()) if parts else {}
    return [PartitionGraph(cull(graph, [p.key])[0], p.key) for p in parts]

