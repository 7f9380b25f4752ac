"""Parquet parts of an export: one per dataset folder per source, in the form
every engine reads exactly.

Integers wider than 64 bits are Arrow decimals of 39 digits in the tables, but
no common engine reads such a Parquet decimal exactly (DuckDB reads DOUBLE,
Spark stops at 38 digits): in Parquet they are their decimal text, marked
`brisquel.encoding=decimal` as `wide_ints="string"` marks it, wherever they
are nested."""

from __future__ import annotations

import os
import uuid
from collections import Counter
from pathlib import Path
from urllib.parse import quote

import pyarrow as pa
import pyarrow.parquet as pq

from brisquel._sources import EVENTS, SUMMARY_TAGS, Key, Tag

ERRORS_DIR = "_errors"  # beside a kind's programs: no program address starts with "_"
_STATISTICS = ("_tx", "_row", "_slot", "_block_time")
ROW_GROUP_ROWS = 1 << 16     # rows of an event gathered into one row group
WAITING_BYTES = 64 << 20     # rows waiting for their row group, all events together
_ENCODING = b"brisquel.encoding"


def key_dir(key: Key, kind: str = EVENTS) -> str:
    """The dataset folder of an event key (or, of kind "calls", an instruction
    key), relative to the output folder: <kind>/<program>/<name>, so that a
    call and an event never share one."""
    return f"{kind}/{_safe_name(key[0])}/{_safe_name(key[1])}"


def errors_dir(kind: str = EVENTS) -> str:
    """The folder of the rows of a kind that did not decode, relative to the output folder."""
    return f"{kind}/{ERRORS_DIR}"


def tag_dir(tag: Tag) -> str:
    kind, key = tag
    if tag in SUMMARY_TAGS:
        return kind  # DIR/transactions, DIR/balances
    return errors_dir(kind) if key is None else key_dir(key, kind)


def _safe_name(text: str) -> str:
    # Names come from IDLs: nothing that climbs out of the folder or hides in it.
    name = quote(text, safe="#-_+=,@")
    return "%2E" + name[1:] if name.startswith(".") else name or "%00"


def _parquet_field(field: pa.Field) -> pa.Field:
    t = field.type
    if pa.types.is_decimal(t) and t.precision > 38:
        return pa.field(field.name, pa.string(), field.nullable, {**(field.metadata or {}), _ENCODING: b"decimal"})
    if pa.types.is_struct(t):
        children = [_parquet_field(t.field(i)) for i in range(t.num_fields)]
        t = pa.struct(children)
    elif pa.types.is_fixed_size_list(t):
        t = pa.list_(_parquet_field(t.value_field), t.list_size)
    elif pa.types.is_list(t):
        t = pa.list_(_parquet_field(t.value_field))
    elif pa.types.is_large_list(t):
        t = pa.large_list(_parquet_field(t.value_field))
    else:
        return field
    return field if t == field.type else field.with_type(t)


def parquet_schema(schema: pa.Schema) -> pa.Schema:
    """The schema of `schema`'s rows as an export writes them."""
    return pa.schema([_parquet_field(f) for f in schema], schema.metadata)


def parquet_table(table: pa.Table) -> pa.Table:
    """`table` with its wide integers as text."""
    target = parquet_schema(table.schema)
    return table if target.equals(table.schema, check_metadata=True) else table.cast(target)


def _dictionary_columns(schema: pa.Schema) -> list[str]:
    """The Parquet paths of the leaves whose values repeat: text (but numbers as
    text), binary and dictionary columns."""
    paths: list[str] = []

    def walk(path: str, field: pa.Field) -> None:
        ty = field.type
        if pa.types.is_struct(ty):
            for child in ty:
                walk(f"{path}.{child.name}", child)
        elif pa.types.is_list(ty) or pa.types.is_large_list(ty) or pa.types.is_fixed_size_list(ty):
            walk(f"{path}.list.element", ty.value_field)
        elif (pa.types.is_string(ty) or pa.types.is_large_string(ty) or pa.types.is_binary(ty)
              or pa.types.is_fixed_size_binary(ty) or pa.types.is_dictionary(ty)):
            if (field.metadata or {}).get(_ENCODING) != b"decimal":
                paths.append(path)

    for f in schema:
        walk(f.name, f)
    return paths


class PartWriters:
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
        if self._rows[folder] >= ROW_GROUP_ROWS:
            self._flush(folder)
        while self._bytes.total() > WAITING_BYTES:
            self._flush(self._bytes.most_common(1)[0][0])

    def _flush(self, folder: str) -> None:
        tables = self._pending.pop(folder, [])
        del self._rows[folder], self._bytes[folder]
        if not tables:
            return
        table = parquet_table(pa.concat_tables(tables))
        if folder not in self._writers:
            directory = self._staging
            for name in Path(folder).parts:
                # One level at a time: when the run gave up and removed the staging
                # folder, this fails rather than make it again.
                directory = directory / name
                directory.mkdir(exist_ok=True)
            temporary = directory / f".{self._name}.{uuid.uuid4().hex[:8]}.tmp"
            schema = table.schema
            # Statistics where they prune row groups (slots, times, positions), and
            # dictionaries where values repeat (keys, signatures, names): amounts and
            # prices rarely do, and for them both cost a third of the writing.
            stats = [name for name in _STATISTICS if name in schema.names]
            writer = pq.ParquetWriter(temporary, schema, write_statistics=stats,
                                      use_dictionary=_dictionary_columns(schema))
            self._writers[folder] = (writer, temporary)
        self._writers[folder][0].write_table(table)

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
