"""Events, instruction calls and account states of many files as Dask
DataFrames, and their export to Parquet, on one machine or on a Dask cluster.

    from brisquel.dataset import read_accounts, read_calls, read_events, write_events

    events = read_events(["day1.jsonl", "day2.jsonl"], [open("my_program.json").read()])
    events[(program, "SwapEvent")].compute()     # a pandas DataFrame (pyarrow dtypes)
    counts = write_events(events, "out")         # out/events/<program>/<Event>/part-*.parquet

    calls = read_calls(["day1.jsonl"], idls)     # the twin: out/calls/<program>/<instruction>/
    both = read_events(files, idls, calls=True)  # both.calls: the calls, decoded in the same pass
    write_events(both, "out")                    # events and calls, one decoding per file

    accounts = read_accounts(["pools.json"], idls)  # account snapshots: (program, account type) -> frame
    write_events(both, "out", accounts=accounts)    # out/accounts/<program>/<Account>/ too, in the same run

JSON lines (RPC transactions, blocks or responses) are decoded by a
TransactionDecoder, so each event is decoded with its own program's IDL; a
Parquet file's logs column by one TableDecoder per IDL, keyed by the IDL's
address; account snapshots by an AccountDecoder. Frames have one partition per
file (per row group for Parquet) and their schema from the IDLs alone.

With a `distributed.Client` as the current scheduler, the work runs on its
workers; otherwise on Dask's local scheduler. Workers need the input files and
the output folder at the same paths.

Here: the public functions and the frames. Reading lives in _sources, what a
process keeps in _process_cache, the Parquet parts in _part_writer, running an
export in _export.
"""

from __future__ import annotations

import errno
import os
import sys
import threading
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import pandas as pd
import pyarrow as pa

from brisquel._export import Dataset, ExportSummary, Job, PartitionGraph, SourceResult, run
from brisquel._json_pieces import MAX_VALUE_BYTES, SourceError
from brisquel._part_writer import errors_dir, key_dir, tag_dir  # noqa: F401  (where a dataset is written)
from brisquel._process_cache import decoded, decoders
from brisquel._sources import (ACCOUNTS, CALLS, CHUNK_BYTES, EVENTS, Decoding, Key, Plan, Source, Tag, address_pairs,
                               plan_parquet, zero_copy_pairs)
from brisquel._sources import SUMMARY_TAGS

if TYPE_CHECKING:
    from brisquel._tables import _PerIdl

__all__ = ["AccountFrames", "CallFrames", "EventFrames", "ExportSummary", "SourceError", "input_files", "read_accounts",
           "read_calls", "read_events", "write_events"]


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
    decode, `schemas` the Arrow schema of each frame; `calls`, when read_events
    was asked for them, the CallFrames of the same decoding."""

    kind = EVENTS

    def __init__(self, plan: Plan, calls: CallFrames | None = None) -> None:
        self._plan = plan
        self._keys = {key: None for kind, key in plan.schemas if kind == self.kind and key}
        # Made when first asked for: with many IDLs, building hundreds of frames takes
        # seconds, and writing the mapping itself needs none of them.
        self._frames: dict[Key | None, Any] = {}
        self._lock = threading.Lock()
        self.calls = calls

    @property
    def errors(self) -> Any:
        return self._frame_of(None)

    def _frame_of(self, key: Key | None) -> Any:
        with self._lock:
            frame = self._frames.get(key)
            if frame is None:
                frame = self._frames[key] = _frame(self._plan, (self.kind, key))
            return frame

    @property
    def schemas(self) -> dict[Key, pa.Schema]:
        return {key: s for (kind, key), s in self._plan.schemas.items() if kind == self.kind and key}

    @property
    def sources(self) -> list[Source]:
        """What each partition reads: (path, Parquet row group or None, the file's row it starts at)."""
        return list(self._plan.sources)

    def __getitem__(self, key: Key) -> Any:
        if key not in self._keys:
            raise KeyError(key)
        return self._frame_of(key)

    def __iter__(self) -> Iterator[Key]:
        return iter(self._keys)

    def __len__(self) -> int:
        return len(self._keys)

    def __repr__(self) -> str:
        return f"<{type(self).__name__}: {len(self)} {self.kind}, {len(self._plan.sources)} partitions>"


class CallFrames(EventFrames):
    """A read-only mapping from (program address, instruction key) to a dask
    DataFrame of its calls, one per instruction the IDLs declare; `errors`
    holds the calls that could not be read or decoded."""

    kind = CALLS

    def __init__(self, plan: Plan) -> None:
        super().__init__(plan)
        self.calls = None


class AccountFrames(EventFrames):
    """A read-only mapping from (program address, account type) to a dask
    DataFrame of its accounts, one per account type the IDLs declare; `errors`
    holds the accounts that matched a type but did not decode, and those whose
    data could not be read."""

    kind = ACCOUNTS


def read_events(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], idls: str | Iterable[str], *,
                format: str = "jsonl", logs_column: str = "logMessages", keep: str | Iterable[str] = (),
                short_events: str = "null", include_failed: bool = False,
                chunk_bytes: int = CHUNK_BYTES, calls: bool = False,
                addresses: _PerIdl[str] | None = None) -> EventFrames:
    """The events of the files at `paths` as dask DataFrames, decoded with the
    IDLs (JSON texts). A folder gives its data files and those of its
    subfolders (see input_files).

    format: "jsonl" (RPC JSON: one value per line, or one value per file) or
    "parquet" (a column `logs_column` of log lines, or lists of them, per
    transaction). keep: Parquet columns copied into every event row, placed
    after `_row` and `_line`. include_failed: JSON only; failed transactions'
    events too. chunk_bytes: JSON files are read in pieces of about this size.
    short_events: "null" (the default) reads a body that ends where a top-level
    field of its event begins as an older, shorter version of the event, the
    missing fields null; "skip" counts it among the bodies that did not decode.

    calls: JSON only; the instruction calls too, as the result's `calls` (see
    read_calls), decoded in the same pass as the events: write_events then
    writes both. addresses: the programs' addresses, as TransactionDecoder
    takes them (a legacy IDL without one needs it).

    A path that does not exist raises FileNotFoundError. Nothing else is read
    but Parquet footers; a file that cannot be read fails when its partition
    is computed, with a SourceError naming it.
    """
    if calls and format != "jsonl":
        raise ValueError("calls: Parquet logs hold no instructions; calls are read from JSON transactions")
    plan = _plan(paths, idls, format, logs_column, keep, short_events, include_failed, chunk_bytes,
                 (EVENTS, CALLS) if calls else (EVENTS,), addresses=address_pairs(addresses))
    return EventFrames(plan, CallFrames(plan) if calls else None)


def read_calls(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], idls: str | Iterable[str], *,
               short_events: str = "null", include_failed: bool = False,
               chunk_bytes: int = CHUNK_BYTES, addresses: _PerIdl[str] | None = None) -> CallFrames:
    """The instruction calls to the IDLs' programs in the JSON transactions of
    the files at `paths`, as dask DataFrames: one per (program, instruction),
    the columns of TransactionDecoder.call_tables; `errors` holds the calls
    that could not be read or decoded. The twin of read_events (see it for the
    arguments); only calls are decoded. include_failed: calls of failed
    transactions too, the failing call carrying the error."""
    return CallFrames(_plan(paths, idls, "jsonl", "logMessages", (), short_events, include_failed, chunk_bytes,
                            (CALLS,), addresses=address_pairs(addresses)))


def read_accounts(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], idls: str | Iterable[str], *,
                  format: str = "jsonl", zero_copy: _PerIdl[Iterable[str]] | None = None,
                  old_versions: bool = False, chunk_bytes: int = CHUNK_BYTES,
                  addresses: _PerIdl[str] | None = None) -> AccountFrames:
    """The program accounts in the snapshots at `paths` (folders: their data
    files, see input_files) as dask DataFrames, one per (program, account type), each account
    decoded with the IDL of the program that owns it: the columns of
    AccountDecoder.decode_tables; `errors` holds the accounts that did not
    decode. The twin of read_events (see it for the arguments).

    format: "jsonl" (RPC JSON as AccountDecoder reads it: getAccountInfo,
    getMultipleAccounts or getProgramAccounts responses or results,
    {pubkey, account} entries, `solana account --output json` dumps; one value
    per file, or one per line) or "parquet" (columns `owner` and `data`, and
    `pubkey`, `lamports` and `slot` where the file has them). zero_copy,
    old_versions and addresses: as AccountDecoder takes them. chunk_bytes: JSON files are
    read in pieces of about this size, Parquet files a batch of rows holding
    about this much account data at a time. Accounts of other programs, or of
    no account type, have no row: write_events counts them in `skipped`.
    """
    return AccountFrames(_plan(paths, idls, format, "logMessages", (), "null", False, chunk_bytes, (ACCOUNTS,),
                               zero_copy_pairs(zero_copy), bool(old_versions), address_pairs(addresses)))


def _plan(paths: Any, idls: Any, format: str, logs_column: str, keep: Any, short_events: str,
          include_failed: bool, chunk_bytes: int, kinds: tuple[str, ...],
          zero_copy: tuple[tuple[object, object], ...] = (), old_versions: bool = False,
          addresses: tuple[tuple[object, object], ...] = ()) -> Plan:
    files = input_files(paths)
    if not files:
        raise ValueError("no input files")
    texts = (idls,) if isinstance(idls, str) else tuple(idls)
    if not texts or not all(isinstance(t, str) for t in texts):
        raise TypeError("idls: one IDL JSON text, or a sequence of them")
    if not 1 <= chunk_bytes <= MAX_VALUE_BYTES:
        raise ValueError(f"chunk_bytes: from 1 to {MAX_VALUE_BYTES}")
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
    decoding = Decoding(format, texts, short_events, bool(include_failed), logs_column, kept, keep_types, chunk_bytes,
                        kinds, zero_copy, old_versions, addresses)
    dec = decoders(decoding)  # refuses bad IDLs and options here, not on a worker
    return Plan(decoding, sources, dict(dec.schemas))


DATA_SUFFIXES = (".json", ".jsonl", ".ndjson", ".parquet", ".pq")  # what a folder's files must end in to be read


@dataclass
class Inputs:
    """The files a list of paths gives, and, per folder among them, what it gave
    and what it held that is not read (relative paths)."""

    files: list[str]
    folders: dict[str, tuple[list[str], list[str]]]  # folder -> (files read, files skipped)


def find_inputs(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> Inputs:
    """The files of `paths` (see input_files), with what each folder gave and skipped."""
    items = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    found = Inputs([], {})
    for item in items:
        path = os.fspath(item)
        if not os.path.isdir(path):
            if not os.path.exists(path):
                raise FileNotFoundError(errno.ENOENT, "No such file or directory", path)
            found.files.append(path)
            continue
        taken: list[str] = []
        skipped: list[str] = []
        for top, folders, names in os.walk(path):
            folders[:] = sorted(f for f in folders if not f.startswith("."))
            for name in sorted(names):
                relative = os.path.relpath(os.path.join(top, name), path)
                if name.startswith("."):
                    continue
                (taken if name.lower().endswith(DATA_SUFFIXES) else skipped).append(relative)
        found.files += [os.path.join(path, f) for f in taken]
        found.folders[path] = (taken, skipped)
    return found


def input_files(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    """The paths, each folder replaced by its data files and those of its
    subfolders, in order: names ending in .json, .jsonl, .ndjson, .parquet or
    .pq (others, such as a README, are not data; hidden ones are left out). A
    file named on its own is read whatever its name. A path that does not
    exist raises FileNotFoundError."""
    return find_inputs(paths).files


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


def _frame(plan: Plan, tag: Tag) -> Any:
    dd = _dask_dataframe()
    meta = plan.schemas[tag].empty_table().to_pandas(types_mapper=pd.ArrowDtype)
    kind, key = tag
    label = f"brisquel-{kind}" if key else f"brisquel-{kind}-errors"
    frame = dd.from_map(_Partition(plan, tag), plan.sources, meta=meta, label=label, token=plan.frame_token(tag),
                        enforce_metadata=False)
    plan.frame_names[tag] = frame._name
    return frame


class _Partition:
    """One dataset's rows of one source, as pandas with pyarrow dtypes (the Arrow
    types kept exactly). In this process it knows its read_events plan, which
    is how write_events finds where any frame built on it comes from; workers
    get only what decoding needs."""

    def __init__(self, plan: Plan | None, key: Tag, decoding: Decoding | None = None) -> None:
        self.plan = plan
        self.key = key
        # Unpickled on a worker: the decoding alone.
        self.decoding = cast(Decoding, plan.decoding if plan is not None else decoding)

    def __reduce__(self) -> tuple[Any, ...]:
        return _Partition, (None, self.key, self.decoding)

    def __call__(self, source: Source) -> pd.DataFrame:
        return decoded(self.decoding, source).tables[self.key].to_pandas(types_mapper=pd.ArrowDtype)


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

_WHAT = {EVENTS: "event", CALLS: "instruction", ACCOUNTS: "account type"}  # a key's second part, by kind
_READER = {EVENTS: "read_events", CALLS: "read_events", ACCOUNTS: "read_accounts"}  # what makes a kind's frames


def write_events(events: Mapping[Key, Any], out_dir: str | os.PathLike[str], *, calls: Mapping[Key, Any] | None = None,
                 accounts: Mapping[Key, Any] | None = None,
                 progress: Callable[[SourceResult, int, int], None] | None = None,
                 skip_failed: bool = False) -> ExportSummary:
    """Writes each frame of `events` as a Parquet dataset
    `out_dir/events/<program>/<Event>/part-NNNNN.parquet` (the folder named by
    its key), and the undecodable bodies of their events to
    `out_dir/events/_errors/`; each frame of `calls` (and of `events.calls`,
    when read_events read calls) as `out_dir/calls/<program>/<instruction>/`,
    the calls that did not decode in `out_dir/calls/_errors/`; each frame of
    `accounts` (read_accounts') as `out_dir/accounts/<program>/<Account>/`, the
    accounts that did not decode in `out_dir/accounts/_errors/`. A result of
    read_calls (read_accounts) given as `events` is written as calls
    (accounts). Returns the rows written per event key, and per instruction key
    in its `calls`, per account type in its `accounts`.

    The frames are read_events' own (its result, or a sub-mapping of it), or
    frames derived from them partition by partition (column selections,
    filters, new columns), the events and calls all of one read_events (or
    read_calls) call, the accounts all of one read_accounts call. Each source
    is decoded once, by one task that writes every dataset's part: read_events'
    frames a piece at a time, derived frames a whole partition at a time.

    Integers wider than 64 bits are written as their decimal text (see the
    README: what engines read). Parts are staged under `out_dir/.staging-*` and
    each dataset replaces the previous one only once every task is done, so a
    run that dies or is interrupted leaves what was there (and the next run
    removes its staging folder). A file that fails (unreadable, bad JSON,
    missing column) is named in `failed`, and then nothing is written: every
    dataset in `out_dir` stays as it was (`written` False). With
    `skip_failed`, the other files' rows are written instead, those of the
    failed files left out (when every file failed, still nothing). A dataset without rows is not written, and one
    that an earlier run wrote under its key is removed. `progress(result,
    done, total)` is called as each source is done.
    """
    if calls is None and isinstance(events, EventFrames):
        calls = events.calls
    groups = [(events.kind if isinstance(events, EventFrames) else EVENTS, "events", events)]
    if calls is not None:
        groups.append((CALLS, "calls", calls))
    if accounts is not None:
        groups.append((ACCOUNTS, "accounts", accounts))
    jobs: dict[bool, Job] = {}  # one plan of transactions, one of account snapshots
    written: dict[Tag, str] = {}
    for kind, argument, frames in groups:
        # A reader's own result: its datasets are its plan's tables, no frame needed.
        own = frames if isinstance(frames, EventFrames) else None
        for key in frames:
            if not (isinstance(key, tuple) and len(key) == 2 and all(isinstance(k, str) for k in key)):
                raise TypeError(f"{argument}: key {key!r} is not a (program, {_WHAT[kind]}) pair of str")
            origin: Tag | None
            if own is not None:
                plan, plans, origin = own._plan, [own._plan], (own.kind, key)
            else:
                frame = frames[key]
                found = _partitions_of(frame)
                if not found:
                    raise TypeError(f"{argument}[{key!r}]: not a frame of {_READER[kind]} or derived from one "
                                    "(use DataFrame.to_parquet)")
                # Partitions made in this process know their plan.
                plan, plans = cast(Plan, found[0].plan), [cast(Plan, p.plan) for p in found]
                origins = {p.key for p in found}
                origin = origins.pop() if len(origins) == 1 else None
            of_accounts = ACCOUNTS in plan.decoding.kinds
            if of_accounts != (kind == ACCOUNTS):
                if kind != EVENTS:
                    raise TypeError(f"{argument}[{key!r}]: not a frame of {_READER[kind]} or derived from one")
                kind = ACCOUNTS  # account frames given as events: accounts they stay
            job = jobs.setdefault(of_accounts, Job(plan))
            if any(p is not plan for p in plans) or job.plan is not plan:
                raise ValueError(f"{argument}: frames of more than one {_READER[kind]} call; write each result on "
                                 "its own")
            tag: Tag = (kind, key)
            if tag in written:
                raise ValueError(f"{argument}[{key!r}]: also given in {written[tag]}; {tag_dir(tag)} is written once")
            written[tag] = argument
            if own is not None or (origin is not None and frame._name == plan.frame_names.get(origin)):
                job.datasets.append(Dataset(key, kind, plan.schemas[cast(Tag, origin)], origin))  # set with `own`
                continue
            if frame.npartitions != len(plan.sources):
                raise ValueError(f"{argument}[{key!r}]: {frame.npartitions} partitions, not one per source of "
                                 f"{_READER[kind]} ({len(plan.sources)})")
            job.datasets.append(Dataset(key, kind, _schema_of(frame, plan, origin or (kind, None)), origin,
                                        derived=True))
            job.partitions[tag] = _partition_graphs(frame)
    if not jobs:
        raise ValueError("events: nothing to write")
    _add_summary(jobs.get(False), events)
    return run(list(jobs.values()), Path(out_dir), progress, skip_failed)


def _add_summary(job: Job | None, events: Mapping[Key, Any]) -> None:
    """A whole read_events result with its calls is written with the
    transactions and balances tables of the same decoding."""
    if job is None or not isinstance(events, EventFrames) or events.calls is None:
        return
    for tag in SUMMARY_TAGS:
        if tag in job.plan.schemas and all(d.tag != tag for d in job.datasets):
            job.datasets.append(Dataset(cast(Key, tag[1]), tag[0], job.plan.schemas[tag], tag))


def _schema_of(frame: Any, plan: Plan, origin: Tag) -> pa.Schema:
    """A derived frame's Arrow schema: its columns' types, with the field
    metadata of read_events' columns it kept."""
    meta = frame._meta.to_frame() if isinstance(frame._meta, pd.Series) else frame._meta
    schema = pa.Schema.from_pandas(meta, preserve_index=False)
    kept = plan.schemas.get(origin)
    if kept is None:
        return schema
    fields = [kept.field(f.name) if f.name in kept.names and kept.field(f.name).type == f.type else f
              for f in schema]
    return pa.schema(fields, kept.metadata)


def _partition_graphs(frame: Any) -> list[PartitionGraph]:
    from dask.optimization import cull

    parts = frame.to_delayed(optimize_graph=True)
    graph = dict(parts[0].__dask_graph__()) if parts else {}
    return [PartitionGraph(cull(graph, [p.key])[0], p.key) for p in parts]

