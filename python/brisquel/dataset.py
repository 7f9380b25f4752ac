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
"""

from __future__ import annotations

import hashlib
import os
import re
import shutil
import sys
import threading
import time
import uuid
import warnings
import weakref
from collections import Counter, OrderedDict
from collections.abc import Callable, Iterable, Iterator, Mapping
from concurrent.futures import Future
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any
from urllib.parse import quote

import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from brisquel._json_pieces import MAX_VALUE_BYTES, SourceError
from brisquel._sources import CHUNK_BYTES, Decoded, Decoding, Key, Source, decode_whole, decoders, pieces, plan_parquet

__all__ = ["EventFrames", "ExportSummary", "SourceError", "read_events", "write_events"]


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

@dataclass(eq=False)
class _Plan:
    """One read_events call: what to decode, from where, into which schemas."""

    decoding: Decoding
    sources: list[Source]
    schemas: dict[Key, pa.Schema]
    errors_schema: pa.Schema


class _Origins:
    """DataFrame -> (plan, key): how write_events finds where a frame comes from.
    By identity, as frames compare element-wise; an entry goes with its frame."""

    def __init__(self) -> None:
        self._by_id: dict[int, tuple[weakref.ref[Any], tuple[_Plan, Key | None]]] = {}

    def add(self, frame: Any, origin: tuple[_Plan, Key | None]) -> None:
        ident = id(frame)
        self._by_id[ident] = (weakref.ref(frame, lambda _: self._by_id.pop(ident, None)), origin)

    def get(self, frame: Any) -> tuple[_Plan, Key | None] | None:
        entry = self._by_id.get(id(frame))
        return entry[1] if entry is not None and entry[0]() is frame else None


_ORIGINS = _Origins()


class EventFrames(Mapping[Key, Any]):
    """A read-only mapping from (program address, event key) to a dask DataFrame,
    one per event the IDLs declare; `errors` holds the event bodies that did not
    decode, `schemas` the Arrow schema of each frame."""

    def __init__(self, plan: _Plan, frames: dict[Key, Any], errors: Any) -> None:
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
    if short_events is None:
        short_events = "null" if format == "jsonl" else "skip"
    decoding = Decoding(format, texts, short_events, bool(include_failed), logs_column, kept, keep_types, chunk_bytes)
    dec = decoders(decoding)  # refuses bad IDLs and options here, not on a worker
    plan = _Plan(decoding, sources, dict(dec.schemas), dec.errors_schema)
    frames = {key: _frame(plan, key) for key in plan.schemas}
    return EventFrames(plan, frames, _frame(plan, None))


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


def _frame(plan: _Plan, key: Key | None) -> Any:
    dd = _dask_dataframe()
    schema = plan.errors_schema if key is None else plan.schemas[key]
    meta = schema.empty_table().to_pandas(types_mapper=pd.ArrowDtype)
    token = hashlib.sha256(repr((plan.decoding.digest, key, plan.sources)).encode()).hexdigest()[:32]
    label = "brisquel-errors" if key is None else "brisquel-events"
    frame = dd.from_map(_Partition(plan.decoding, key), plan.sources, meta=meta, label=label, token=token,
                        enforce_metadata=False)
    _ORIGINS.add(frame, (plan, key))
    return frame


class _Partition:
    """One event's rows of one source, as pandas with pyarrow dtypes (the Arrow types kept exactly)."""

    def __init__(self, decoding: Decoding, key: Key | None) -> None:
        self.decoding = decoding
        self.key = key

    def __call__(self, source: Source) -> pd.DataFrame:
        decoded = _RECENT.get(self.decoding, source)
        table = decoded.errors if self.key is None else decoded.tables[self.key]
        return table.to_pandas(types_mapper=pd.ArrowDtype)


class _RecentSources:
    """The last few sources decoded in this process: the partitions of every
    event of one file come from one decoding while they are computed together.
    Threads that ask for a source being decoded wait for it."""

    def __init__(self, size: int) -> None:
        self._size = size
        self._lock = threading.Lock()
        self._entries: OrderedDict[tuple[str, Source], Future[Decoded]] = OrderedDict()

    def get(self, decoding: Decoding, source: Source) -> Decoded:
        key = (decoding.digest, source)
        with self._lock:
            entry = self._entries.get(key)
            owner = entry is None
            if entry is None:
                entry = self._entries[key] = Future()
                while len(self._entries) > self._size:
                    self._entries.popitem(last=False)
            self._entries.move_to_end(key)
        if owner:
            try:
                entry.set_result(decode_whole(decoding, source))
            except BaseException as e:
                with self._lock:
                    if self._entries.get(key) is entry:
                        del self._entries[key]
                entry.set_exception(e)
        return entry.result()


_RECENT = _RecentSources(2)


# --- writing ----------------------------------------------------------------

class ExportSummary(dict[Key, int]):
    """Rows written per event key, and what did not make it: `skipped` (rows by
    reason), `failed` (file -> message; none of its rows written)."""

    def __init__(self) -> None:
        super().__init__()
        self.skipped: Counter[str] = Counter()
        self.failed: dict[str, str] = {}
        self.files = 0
        self.seconds = 0.0


@dataclass
class SourceResult:
    """What one source's task did: rows per key, skipped rows by reason, the
    failure if any, and the parts it staged (paths under the staging folder)."""

    path: str
    rows: dict[Key, int]
    skipped: Counter[str] = field(default_factory=Counter)
    error: str | None = None
    parts: list[str] = field(default_factory=list)


ERRORS_DIR = "_errors"
_STATISTICS = ("_tx", "_row", "_slot", "_block_time")
_ROW_GROUP_ROWS = 1 << 16    # rows of an event gathered into one row group
_WAITING_BYTES = 64 << 20    # rows waiting for their row group, all events together


def write_events(events: Mapping[Key, Any], out_dir: str | os.PathLike[str], *,
                 progress: Callable[[SourceResult, int, int], None] | None = None) -> ExportSummary:
    """Writes each frame of `events` (read_events' result, or a sub-mapping of
    it) as a Parquet dataset `out_dir/<program>/<Event>/part-NNNNN.parquet`, and
    the undecodable bodies to `out_dir/_errors/`. Returns the rows written per key.

    Each source is decoded once, by one task that writes every event's part.
    Parts are staged under `out_dir/.staging-*` and each event's dataset
    replaces the previous one only once every task is done, so a run that dies
    leaves what was there. A file that fails (unreadable, bad JSON, missing
    column) has none of its rows written; it is named in `failed`.
    `progress(result, done, total)` is called as each source is done.
    """
    plan, keys = _plan_of(events)
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    run = uuid.uuid4().hex[:12]
    staging = out / f".staging-{run}"
    staging.mkdir()
    try:
        results = _run_tasks(plan, keys, staging, run, progress)
        summary = _commit(plan, keys, out, staging, results)
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    summary.seconds = time.monotonic() - started
    return summary


def _plan_of(events: Mapping[Key, Any]) -> tuple[_Plan, list[Key]]:
    plan: _Plan | None = None
    keys: list[Key] = []
    for name, frame in events.items():
        origin = _ORIGINS.get(frame)
        if origin is None or origin[1] is None:
            raise TypeError(f"events[{name!r}]: not an event frame of read_events (use DataFrame.to_parquet)")
        if plan is not None and origin[0] is not plan:
            raise ValueError("events: frames of more than one read_events call; write each result on its own")
        plan = origin[0]
        keys.append(origin[1])
    if plan is None:
        raise ValueError("events: nothing to write")
    return plan, keys


def _run_tasks(plan: _Plan, keys: list[Key], staging: Path, run: str,
               progress: Callable[[SourceResult, int, int], None] | None) -> list[SourceResult]:
    import dask

    # The decoding (with its IDL texts) is one node of the graph: a worker gets it once.
    decoding = dask.delayed(plan.decoding, name=f"brisquel-decoding-{run}", traverse=False)
    write = dask.delayed(_write_source, pure=False, traverse=False)
    tasks = [write(decoding, source, keys, str(staging), n, dask_key_name=f"brisquel-write-{run}-{n}")
             for n, source in enumerate(plan.sources)]
    total = len(tasks)
    results: list[SourceResult] = []

    def done(result: SourceResult) -> None:
        results.append(result)
        if progress is not None:
            progress(result, len(results), total)

    client = _distributed_client()
    if client is None:
        from dask.callbacks import Callback

        class Progress(Callback):
            def _posttask(self, key: Any, result: Any, dsk: Any, state: Any, worker_id: Any) -> None:
                if isinstance(result, SourceResult):
                    done(result)

        with Progress():
            dask.compute(*tasks)
        return results

    from distributed import as_completed

    futures = client.compute(tasks)
    try:
        for future in as_completed(futures):
            done(future.result())
    except BaseException:
        client.cancel(futures)
        raise
    return results


def _distributed_client() -> Any:
    """The distributed Client that is Dask's current scheduler, if one is."""
    import dask

    if dask.config.get("scheduler", None) != "dask.distributed":
        return None
    from distributed import default_client

    try:
        return default_client()
    except ValueError:
        return None


def _write_source(decoding: Decoding, source: Source, keys: list[Key], staging: str, part: int) -> SourceResult:
    """The task of one source: decode it once, stage a part per event that has rows."""
    schemas = decoders(decoding).schemas
    result = SourceResult(source[0], dict.fromkeys(keys, 0))
    every_key = len(set(keys)) == len(schemas)
    writers = _PartWriters(Path(staging), part)
    try:
        for piece in pieces(decoding, source):
            for key in keys:
                table = piece.tables[key]
                if table.num_rows:
                    writers.add(key_dir(key), table)
                    result.rows[key] += table.num_rows
            errors = piece.errors if every_key else _errors_of(piece.errors, keys)
            if errors.num_rows:
                writers.add(ERRORS_DIR, errors)
                result.skipped.update(_reasons(errors))
    except SourceError as e:
        writers.discard()
        result.error = str(e)
        return result
    except BaseException:
        writers.discard()
        raise
    result.parts = writers.close()
    return result


class _PartWriters:
    """One Parquet part per dataset folder for one source, written to a temporary
    name and renamed when the source is done. Rows wait to make row groups of a
    sensible size, within a bound on what waits across all folders."""

    def __init__(self, staging: Path, part: int) -> None:
        self._staging = staging
        self._name = f"part-{part:05d}.parquet"
        self._writers: dict[str, tuple[pq.ParquetWriter, Path]] = {}
        self._pending: dict[str, list[pa.Table]] = {}
        self._rows: Counter[str] = Counter()
        self._bytes: Counter[str] = Counter()

    def add(self, folder: str, table: pa.Table) -> None:
        self._pending.setdefault(folder, []).append(table)
        self._rows[folder] += table.num_rows
        self._bytes[folder] += table.nbytes
        if self._rows[folder] >= _ROW_GROUP_ROWS:
            self._flush(folder)
        while self._bytes.total() > _WAITING_BYTES:
            self._flush(self._bytes.most_common(1)[0][0])

    def _flush(self, folder: str) -> None:
        tables = self._pending.pop(folder, [])
        del self._rows[folder], self._bytes[folder]
        if not tables:
            return
        if folder not in self._writers:
            if not self._staging.is_dir():  # the run gave up (and removed it): do not make it again
                raise RuntimeError(f"{self._staging} is gone: the export was abandoned")
            directory = self._staging / folder
            directory.mkdir(parents=True, exist_ok=True)
            temporary = directory / f".{self._name}.{uuid.uuid4().hex[:8]}.tmp"
            schema = tables[0].schema
            # Statistics where they prune row groups (slots, times, positions), and
            # dictionaries where values repeat (keys, signatures, names): amounts and
            # prices rarely do, and for them both cost a third of the writing.
            stats = [name for name in _STATISTICS if name in schema.names]
            writer = pq.ParquetWriter(temporary, schema, write_statistics=stats, use_dictionary=_text_columns(schema))
            self._writers[folder] = (writer, temporary)
        self._writers[folder][0].write_table(pa.concat_tables(tables))

    def close(self) -> list[str]:
        for folder in list(self._pending):
            self._flush(folder)
        parts = []
        for folder, (writer, temporary) in self._writers.items():
            writer.close()
            # A task run again (its worker lost) replaces the same name: each row lands once.
            os.replace(temporary, temporary.with_name(self._name))
            parts.append(f"{folder}/{self._name}")
        return parts

    def discard(self) -> None:
        self._pending.clear()
        self._rows.clear()
        self._bytes.clear()
        for writer, temporary in self._writers.values():
            try:
                writer.close()
            except Exception:
                pass
            temporary.unlink(missing_ok=True)


def _text_columns(schema: pa.Schema) -> list[str]:
    """The Parquet paths of the text, binary and dictionary leaves of a schema."""
    paths: list[str] = []

    def walk(path: str, ty: pa.DataType) -> None:
        if pa.types.is_struct(ty):
            for child in ty:
                walk(f"{path}.{child.name}", child.type)
        elif pa.types.is_list(ty) or pa.types.is_large_list(ty) or pa.types.is_fixed_size_list(ty):
            walk(f"{path}.list.element", ty.value_type)
        elif (pa.types.is_string(ty) or pa.types.is_large_string(ty) or pa.types.is_binary(ty)
              or pa.types.is_fixed_size_binary(ty) or pa.types.is_dictionary(ty)):
            paths.append(path)

    for f in schema:
        walk(f.name, f.type)
    return paths


def key_dir(key: Key) -> str:
    """The dataset folder of an event key, relative to the output folder."""
    return f"{_safe_name(key[0])}/{_safe_name(key[1])}"


def _safe_name(text: str) -> str:
    # Names come from IDLs: nothing that climbs out of the folder or hides in it.
    name = quote(text, safe="#-_+=,@")
    return "%2E" + name[1:] if name.startswith(".") else name or "%00"


def _errors_of(errors: pa.Table, keys: list[Key]) -> pa.Table:
    """The error rows of the given event keys only."""
    wanted = pa.array([f"{program}\0{event}" for program, event in keys])
    names = pc.binary_join_element_wise(errors.column("program"), errors.column("event"), "\0")
    return errors.filter(pc.is_in(names, wanted))


def _reasons(errors: pa.Table) -> Counter[str]:
    """Error rows counted by event and message, numbers in messages left out."""
    counts: Counter[str] = Counter()
    grouped = errors.group_by(["event", "message"]).aggregate([([], "count_all")])
    for event, message, count in zip(*(grouped.column(c).to_pylist() for c in ("event", "message", "count_all"))):
        counts[f"{event}: {re.sub(r'[0-9]+', 'N', message)}"] += count
    return counts


def _commit(plan: _Plan, keys: list[Key], out: Path, staging: Path, results: list[SourceResult]) -> ExportSummary:
    """Drops the parts of failed files, then puts each staged dataset in place."""
    summary = ExportSummary()
    summary.update(dict.fromkeys(keys, 0))
    summary.files = len({r.path for r in results})
    for r in results:
        if r.error:
            summary.failed.setdefault(r.path, r.error)
    for r in results:
        if r.path in summary.failed:
            for part in r.parts:
                (staging / part).unlink(missing_ok=True)
            if sum(r.rows.values()):
                summary.skipped["rows of files that failed"] += sum(r.rows.values())
            continue
        for key, rows in r.rows.items():
            summary[key] += rows
        summary.skipped.update(r.skipped)
    replaced = staging / ".replaced"
    datasets = [(key_dir(key), plan.schemas[key]) for key in keys] + [(ERRORS_DIR, plan.errors_schema)]
    for folder, schema in datasets:
        new = staging / folder
        new.mkdir(parents=True, exist_ok=True)
        if not any(new.glob("part-*.parquet")):
            # An event without rows still gets a dataset, with its schema.
            pq.write_table(schema.empty_table(), new / ".empty.tmp")
            os.replace(new / ".empty.tmp", new / "part-00000.parquet")
        final = out / folder
        final.parent.mkdir(parents=True, exist_ok=True)
        if final.exists():
            replaced.mkdir(exist_ok=True)
            os.rename(final, replaced / uuid.uuid4().hex)
        os.rename(new, final)
    return summary
