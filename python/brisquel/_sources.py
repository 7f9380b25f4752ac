"""One input of an export, decoded into Arrow tables a bounded piece at a time.

A file of JSON lines is read in pieces of about `chunk_bytes` that end at a
line end, each decoded natively by a TransactionDecoder; a Parquet file is read
a batch of rows at a time from one row group, its logs column decoded by one
TableDecoder per IDL. Context columns count from the start of the file (`_tx`
for JSON, `_row` for Parquet), and read errors name the file and its true line.
"""

from __future__ import annotations

import hashlib
from collections.abc import Iterator
from dataclasses import dataclass, field
from functools import cached_property

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from brisquel import AccountDecoder, IdlError, TableDecoder, TransactionDecoder
from brisquel._common import reason
from brisquel._json_pieces import SourceError, json_pieces

CHUNK_BYTES = 64 << 20      # a JSON piece: bounds the input and the tables a worker holds at once
PARQUET_BATCH_ROWS = 4096   # rows of a Parquet file decoded at once

Key = tuple[str, str]  # (program address, event key)


@dataclass(frozen=True)
class Decoding:
    """What decoding needs, and all a worker is sent: the IDL texts and the options."""

    format: str                     # "jsonl" or "parquet" (events), or "accounts" (RPC JSON of accounts)
    idls: tuple[str, ...]
    short_events: str = "null"
    include_failed: bool = False
    logs_column: str = "logMessages"
    keep: tuple[str, ...] = ()
    keep_types: tuple[pa.DataType, ...] = ()
    chunk_bytes: int = CHUNK_BYTES
    zero_copy: tuple[tuple[int | str, tuple[str, ...]], ...] = ()  # accounts: AccountDecoder's zero_copy
    old_versions: bool = False                                       # accounts

    @cached_property
    def digest(self) -> str:
        fields = (self.format, self.idls, self.short_events, self.include_failed, self.logs_column, self.keep,
                  tuple(map(str, self.keep_types)), self.chunk_bytes, self.zero_copy, self.old_versions)
        return hashlib.sha256(repr(fields).encode("utf-8", "surrogatepass")).hexdigest()[:32]

    def __dask_tokenize__(self) -> str:
        return self.digest


# A source: (path, row group or None for the whole file, index of its first row in the file).
Source = tuple[str, int | None, int]


@dataclass
class Piece:
    """The rows one piece of input gave: a table per event key, the bodies that
    failed, and inputs counted but not decoded, by reason (accounts)."""

    tables: dict[Key, pa.Table]
    errors: pa.Table
    skipped: dict[str, int] = field(default_factory=dict)


@dataclass(eq=False)
class Plan:
    """One read_events call: what to decode, from where, into which schemas."""

    decoding: Decoding
    sources: list[Source]
    schemas: dict[Key, pa.Schema]
    errors_schema: pa.Schema
    frame_names: dict[Key | None, str] = field(default_factory=dict)  # of the frames read_events made

    def frame_token(self, key: Key | None) -> str:
        """The token of the frame read_events makes for `key` (None: the errors)."""
        return hashlib.sha256(repr((self.decoding.digest, key, self.sources)).encode()).hexdigest()[:32]


# --- the decoders of one Decoding ---------------------------------------------

class JsonDecoders:
    """A TransactionDecoder for the IDLs, with the tables' schemas."""

    def __init__(self, decoding: Decoding) -> None:
        self.decoding = decoding
        self.tx = TransactionDecoder(list(decoding.idls), short_events=decoding.short_events)
        empty = self.tx.decode_tables("[]")
        self.schemas: dict[Key, pa.Schema] = {k: pa.schema(self.tx.schema(k)) for k in empty}
        self.errors_schema = pa.schema(empty.errors.schema)

    def decode(self, text: bytes, tx_base: int) -> tuple[Piece, int]:
        """The rows of one piece, its transactions counted from `tx_base`, and how many it held."""
        out = self.tx.decode_tables(text, include_failed=self.decoding.include_failed, start=tx_base)
        tables = {k: pa.table(out[k]) for k in self.schemas}
        return Piece(tables, pa.table(out.errors)), out.inputs


class AccountDecoders:
    """An AccountDecoder for the IDLs, with the tables' schemas."""

    # What AccountDecoder counts without a row: the reasons an export's summary gives.
    SKIPPED = {"missing": "accounts: missing", "other_owner": "accounts: other owners",
               "parsed": "accounts: jsonParsed data", "no_match": "accounts: no discriminator matched"}

    def __init__(self, decoding: Decoding) -> None:
        self.decoding = decoding
        self.accounts = AccountDecoder(list(decoding.idls), zero_copy={k: list(v) for k, v in decoding.zero_copy},
                                       old_versions=decoding.old_versions)
        empty = self.accounts.decode_tables("[]")
        self.schemas: dict[Key, pa.Schema] = {k: pa.schema(self.accounts.schema(k)) for k in empty}
        self.errors_schema = pa.schema(empty.errors.schema)

    def decode(self, text: bytes, base: int) -> tuple[Piece, int]:
        out = self.accounts.decode_tables(text)
        tables = {k: pa.table(out[k]) for k in self.schemas}
        skipped = {why: out.counts[k] for k, why in self.SKIPPED.items() if out.counts[k]}
        return Piece(tables, pa.table(out.errors), skipped), out.inputs


class ParquetDecoders:
    """A TableDecoder per IDL, keyed by the IDL's program address, with the output schemas."""

    def __init__(self, decoding: Decoding) -> None:
        self.decoding = decoding
        addresses = TransactionDecoder(list(decoding.idls)).programs  # also refuses two IDLs for one program
        self.programs = [(address, _table_decoder(i, idl, decoding)) for i, (address, idl)
                         in enumerate(zip(addresses, decoding.idls))]
        keep = [pa.field(name, ty) for name, ty in zip(decoding.keep, decoding.keep_types)]
        self.schemas: dict[Key, pa.Schema] = {}
        for address, decoder in self.programs:
            for name, table in decoder.decode([[]]).items():
                schema = pa.schema(table.schema)
                clash = set(decoding.keep) & set(schema.names)
                if clash:
                    raise ValueError(f"keep: column {sorted(clash)[0]!r} is also a column of event {name!r}")
                fields = list(schema)
                self.schemas[(address, name)] = pa.schema([*fields[:2], *keep, *fields[2:]], schema.metadata)
        self.errors_schema = pa.schema([pa.field("_row", pa.int64(), False), pa.field("_line", pa.int32(), False),
                                        *keep, pa.field("program", pa.string(), False),
                                        pa.field("event", pa.string(), False), pa.field("message", pa.string(), False)])

    def decode(self, batch: pa.RecordBatch, row_base: int) -> Piece:
        logs = batch.column(0)
        if _is_text(logs.type):
            # One line per row: each row a transaction of that one line.
            logs = pa.ListArray.from_arrays(pa.array(range(len(logs) + 1), pa.int32()), logs)
        keep = batch.columns[1:]
        tables: dict[Key, pa.Table] = {}
        errors = []
        for address, decoder in self.programs:
            decoded = decoder.decode(logs)
            for name, table in decoded.items():
                tables[(address, name)] = _joined(pa.table(table), keep, row_base, [], self.schemas[(address, name)])
            failed = pa.table(decoded.errors)
            program = pa.array([address] * failed.num_rows, pa.string())
            errors.append(_joined(failed, keep, row_base, [program], self.errors_schema))
        return Piece(tables, pa.concat_tables(errors) if errors else self.errors_schema.empty_table())


def _table_decoder(index: int, idl: str, decoding: Decoding) -> TableDecoder:
    try:
        return TableDecoder(idl, short_events=decoding.short_events)
    except IdlError as e:  # say which of the IDLs, as TransactionDecoder does
        error = IdlError(f"idls[{index}]: {e.reason}")
        error.index, error.reason = index, e.reason
        raise error from None


def _joined(table: pa.Table, keep: list[pa.Array], row_base: int, extra: list[pa.Array], schema: pa.Schema) -> pa.Table:
    """A nested table's rows with `_row` counted from the file's start and the kept columns of their rows."""
    rows = table.column(0)
    columns = [pc.add(rows, row_base) if row_base else rows, table.column(1)]
    columns += [pc.take(column, rows) for column in keep]
    columns += extra + table.columns[2:]
    return pa.Table.from_arrays(columns, schema=schema)


# --- one source -------------------------------------------------------------

def pieces(dec: JsonDecoders | ParquetDecoders | AccountDecoders, source: Source) -> Iterator[Piece]:
    """The pieces of `source` decoded by `dec`, in order. Raises SourceError for
    input that cannot be read (the file, its framing, its columns)."""
    path = source[0]
    decoding = dec.decoding
    try:
        if decoding.format in ("jsonl", "accounts"):
            assert not isinstance(dec, ParquetDecoders)
            with open(path, "rb") as f:
                yield from json_pieces(f, path, decoding.chunk_bytes, dec.decode)
        else:
            assert isinstance(dec, ParquetDecoders)
            yield from _parquet_pieces(decoding, source, dec)
    except SourceError as e:
        if not e.path:
            raise SourceError(path, e.detail) from None
        raise
    except OSError as e:
        raise SourceError(path, f"cannot read: {reason(e)}") from None
    except (ValueError, TypeError, pa.ArrowException) as e:
        raise SourceError(path, str(e)) from None


def _parquet_pieces(decoding: Decoding, source: Source, dec: ParquetDecoders) -> Iterator[Piece]:
    path, row_group, row = source
    with pq.ParquetFile(path) as f:
        schema = f.schema_arrow
        for column in (decoding.logs_column, *decoding.keep):
            if column not in schema.names:
                raise SourceError(path, f"no column {column!r}")
        logs_type = schema.field(decoding.logs_column).type
        if not _holds_lines(logs_type):
            raise SourceError(path, f"column {decoding.logs_column!r}: expected utf8, large_utf8, string_view or a "
                                    f"list of one of them; found {logs_type}")
        groups = range(f.num_row_groups) if row_group is None else [row_group]
        columns = [decoding.logs_column, *decoding.keep]
        for group in groups:
            for batch in f.iter_batches(batch_size=PARQUET_BATCH_ROWS, row_groups=[group], columns=columns,
                                        use_threads=False):
                batch = _keep_typed(batch, decoding, path)
                yield dec.decode(batch, row)
                row += batch.num_rows


def _is_text(ty: pa.DataType) -> bool:
    return pa.types.is_string(ty) or pa.types.is_large_string(ty) or pa.types.is_string_view(ty)


def _holds_lines(ty: pa.DataType) -> bool:
    """Whether a column of this type holds log lines, one or a list per row, as TableDecoder reads them."""
    return _is_text(ty) or ((pa.types.is_list(ty) or pa.types.is_large_list(ty)) and _is_text(ty.value_type))


def _keep_typed(batch: pa.RecordBatch, decoding: Decoding, path: str) -> pa.RecordBatch:
    """The batch with its kept columns of the types the first file gave them."""
    arrays = list(batch.columns)
    for i, (name, ty) in enumerate(zip(decoding.keep, decoding.keep_types), start=1):
        if arrays[i].type != ty:
            try:
                arrays[i] = arrays[i].cast(ty)
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                raise SourceError(path, f"column {name!r} is {arrays[i].type}, not {ty} as in the first file") from None
    return pa.RecordBatch.from_arrays(arrays, names=batch.schema.names)


def plan_parquet(path: str) -> tuple[list[Source], pa.Schema | None]:
    """A source per row group of a Parquet file, from its footer, and its schema;
    one whole-file source that fails when run if the footer cannot be read (so
    that the file fails alone) or the file has no row groups (its columns are
    still checked)."""
    try:
        meta = pq.read_metadata(path)
        schema = meta.schema.to_arrow_schema()
    except (OSError, pa.ArrowException):
        return [(path, None, 0)], None
    sources: list[Source] = []
    row = 0
    for group in range(meta.num_row_groups):
        sources.append((path, group, row))
        row += meta.row_group(group).num_rows
    return sources or [(path, None, 0)], schema


@dataclass
class Decoded:
    """A whole source's tables, pieces joined, and what was counted but not decoded."""

    tables: dict[Key, pa.Table]
    errors: pa.Table
    skipped: dict[str, int] = field(default_factory=dict)


def decode_whole(dec: JsonDecoders | ParquetDecoders | AccountDecoders, source: Source) -> Decoded:
    parts: dict[Key, list[pa.Table]] = {k: [] for k in dec.schemas}
    errors: list[pa.Table] = []
    skipped: dict[str, int] = {}
    for piece in pieces(dec, source):
        for why, n in piece.skipped.items():
            skipped[why] = skipped.get(why, 0) + n
        for k, t in piece.tables.items():
            if t.num_rows:
                parts[k].append(t)
        if piece.errors.num_rows:
            errors.append(piece.errors)
    tables = {k: pa.concat_tables(ts) if ts else dec.schemas[k].empty_table() for k, ts in parts.items()}
    return Decoded(tables, pa.concat_tables(errors) if errors else dec.errors_schema.empty_table(), skipped)
