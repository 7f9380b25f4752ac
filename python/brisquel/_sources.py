"""One input of an export, decoded into Arrow tables a bounded piece at a time.

A file of JSON lines is read in pieces of about `chunk_bytes` that end at a
line end, each decoded natively by a TransactionDecoder; a Parquet file is read
a batch of rows at a time from one row group, its logs column decoded by one
TableDecoder per IDL. Context columns count from the start of the file (`_tx`
for JSON, `_row` for Parquet), and read errors name the file and its true line.

A decoding makes datasets of one or two kinds: "events" and, from JSON
transactions, "calls" (instruction calls); or, from account snapshots (RPC JSON
or Parquet with owner and data columns), "accounts", decoded by an
AccountDecoder. Each kind has one table per key and one of the rows that did
not decode. A dataset is named by its Tag, (kind, key), the key None for that
kind's errors.
"""

from __future__ import annotations

import hashlib
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from brisquel import (AccountDecoder, DecodedCalls, DecodedEvents, IdlError, TableDecoder, TransactionDecoder,
                      with_program_address)
from brisquel._common import reason
from brisquel._json_pieces import SourceError, json_pieces

CHUNK_BYTES = 64 << 20      # a JSON piece: bounds the input and the tables a worker holds at once
PARQUET_BATCH_ROWS = 4096   # rows of a Parquet file decoded at once

Key = tuple[str, str]  # (program address, event key, instruction or account type)
EVENTS, CALLS, ACCOUNTS = "events", "calls", "accounts"
Tag = tuple[str, Key | None]  # (kind, key); the key None: the kind's rows that did not decode
# The tables that need no IDL, one each, made where events and calls are read
# from JSON transactions: each the one dataset of its kind.
TRANSACTIONS, BALANCES = "transactions", "balances"
SUMMARY_TAGS: tuple[Tag, ...] = ((TRANSACTIONS, ("", TRANSACTIONS)), (BALANCES, ("", BALANCES)))


@dataclass(frozen=True)
class Decoding:
    """What decoding needs, and all a worker is sent: the IDL texts and the options."""

    format: str                     # "jsonl" or "parquet"
    idls: tuple[str, ...]
    short_events: str = "null"
    include_failed: bool = False
    logs_column: str = "logMessages"
    keep: tuple[str, ...] = ()
    keep_types: tuple[pa.DataType, ...] = ()
    chunk_bytes: int = CHUNK_BYTES
    kinds: tuple[str, ...] = (EVENTS,)  # what is decoded: events, calls (JSON only), or both; or accounts
    zero_copy: tuple[tuple[object, object], ...] = ()       # accounts: AccountDecoder's zero_copy, as pairs
    old_versions: bool = False                              # accounts
    addresses: tuple[tuple[object, object], ...] = ()       # the decoders' addresses, as pairs

    @cached_property
    def digest(self) -> str:
        fields = (self.format, self.idls, self.short_events, self.include_failed, self.logs_column, self.keep,
                  tuple(map(str, self.keep_types)), self.chunk_bytes, self.kinds, self.zero_copy, self.old_versions,
                  self.addresses)
        return hashlib.sha256(repr(fields).encode("utf-8", "surrogatepass")).hexdigest()[:32]

    def __dask_tokenize__(self) -> str:
        return self.digest


# A source: (path, row group or None for the whole file, index of its first row in the file).
Source = tuple[str, int | None, int]


@dataclass
class Piece:
    """The rows one piece of input gave: a table per tag, errors included, and
    what it held that has no row, counted by reason (accounts of other owners)."""

    tables: dict[Tag, pa.Table]
    skipped: Counter[str] = field(default_factory=Counter)


@dataclass(eq=False)
class Plan:
    """One read_events (or read_calls) call: what to decode, from where, into which schemas."""

    decoding: Decoding
    sources: list[Source]
    schemas: dict[Tag, pa.Schema]
    frame_names: dict[Tag, str] = field(default_factory=dict)  # of the frames read_events made

    def frame_token(self, tag: Tag) -> str:
        """The token of the frame read_events makes for `tag`."""
        return hashlib.sha256(repr((self.decoding.digest, tag, self.sources)).encode()).hexdigest()[:32]


# --- the decoders of one Decoding ---------------------------------------------

class JsonDecoders:
    """A TransactionDecoder for the IDLs, with the tables' schemas."""

    def __init__(self, decoding: Decoding) -> None:
        self.decoding = decoding
        self.tx = TransactionDecoder(list(decoding.idls), addresses=_checked(decoding.addresses),
                                     short_events=_checked(decoding.short_events))
        self.schemas: dict[Tag, pa.Schema] = {}
        if EVENTS in decoding.kinds:
            empty = self.tx.decode_tables("[]")
            self.schemas.update({(EVENTS, k): pa.schema(self.tx.schema(k)) for k in empty})
            self.schemas[(EVENTS, None)] = pa.schema(empty.errors.schema)
        if CALLS in decoding.kinds:
            calls = self.tx.call_tables("[]")
            self.schemas.update({(CALLS, k): pa.schema(self.tx.call_schema(k)) for k in calls})
            self.schemas[(CALLS, None)] = pa.schema(calls.errors.schema)
        self.summary = decoding.kinds == (EVENTS, CALLS)
        if self.summary:
            summary = self.tx.transaction_tables("[]")
            self.schemas.update({tag: pa.schema(summary[tag[0]].schema) for tag in SUMMARY_TAGS})

    def decode(self, text: bytes, tx_base: int) -> tuple[Piece, int]:
        """The rows of one piece, its transactions counted from `tx_base`, and how many it held."""
        failed, kinds = self.decoding.include_failed, self.decoding.kinds
        tables: dict[Tag, pa.Table] = {}
        if self.summary:  # one reading for events, calls, transactions and balances
            events, calls, summary = self.tx.block_tables(text, include_failed=failed, start=tx_base)
            found: Iterable[tuple[str, DecodedEvents | DecodedCalls]] = zip(kinds, (events, calls))
            tables.update({tag: pa.table(summary[tag[0]]) for tag in SUMMARY_TAGS})
        else:
            decode = self.tx.decode_tables if kinds == (EVENTS,) else self.tx.call_tables
            found = zip(kinds, [decode(text, include_failed=failed, start=tx_base)])
        inputs = 0
        for kind, out in found:
            tables.update({(kind, k): pa.table(t) for k, t in out.items()})
            tables[(kind, None)] = pa.table(out.errors)
            inputs = out.inputs
        return Piece(tables), inputs


# The accounts AccountDecoder counts without a row, as an export's summary names them.
ACCOUNTS_NOT_DECODED = {"other_owner": "accounts of other programs",
                        "no_match": "accounts of no account type of their program",
                        "missing": "accounts missing (null)", "parsed": "accounts given as jsonParsed"}


def zero_copy_pairs(zero_copy: object) -> tuple[tuple[object, object], ...]:
    """AccountDecoder's zero_copy mapping as pairs a Decoding can hold and hash;
    values that are not lists of names stay as they are, for the decoder to refuse."""
    return tuple((key, tuple(names) if isinstance(names, Iterable) and not isinstance(names, (str, bytes)) else names)
                 for key, names in _idl_mapping(zero_copy, "zero_copy", "type names"))


def address_pairs(addresses: object) -> tuple[tuple[object, object], ...]:
    """The decoders' addresses mapping as pairs a Decoding can hold and hash (the decoders check them)."""
    return tuple(_idl_mapping(addresses, "addresses", "program address"))


def _checked(option: Any) -> Any:
    """An option as the user gave it (`addresses` and `zero_copy` as pairs): the decoders check it."""
    return dict(option) if isinstance(option, tuple) else option


def _idl_mapping(mapping: object, name: str, values: str) -> list[tuple[object, object]]:
    if mapping is None:
        return []
    if not isinstance(mapping, Mapping):
        raise TypeError(f"{name}: expected a mapping from IDL index or program name to {values}, "
                        f"not {type(mapping).__name__}")
    return list(mapping.items())


class AccountDecoders:
    """An AccountDecoder for the IDLs, with the tables' schemas. It decodes JSON
    text and Arrow record batches alike."""

    def __init__(self, decoding: Decoding) -> None:
        self.decoding = decoding
        self.accounts = AccountDecoder(list(decoding.idls), addresses=_checked(decoding.addresses),
                                       zero_copy=_checked(decoding.zero_copy), old_versions=decoding.old_versions)
        empty = self.accounts.decode_tables("[]")
        self.schemas: dict[Tag, pa.Schema] = {(ACCOUNTS, k): pa.schema(self.accounts.schema(k)) for k in empty}
        self.schemas[(ACCOUNTS, None)] = pa.schema(empty.errors.schema)

    def decode(self, accounts: object, base: int = 0) -> tuple[Piece, int]:
        """The rows of a piece of text (or a batch) and how many accounts it held."""
        out = self.accounts.decode_tables(accounts)
        tables: dict[Tag, pa.Table] = {(ACCOUNTS, k): pa.table(t) for k, t in out.items()}
        tables[(ACCOUNTS, None)] = pa.table(out.errors)
        counts = out.counts
        skipped = Counter({why: counts[c] for c, why in ACCOUNTS_NOT_DECODED.items() if counts[c]})
        return Piece(tables, skipped), out.inputs


class ParquetDecoders:
    """A TableDecoder per IDL, keyed by the IDL's program address, with the output schemas."""

    def __init__(self, decoding: Decoding) -> None:
        self.decoding = decoding
        if decoding.kinds != (EVENTS,):
            raise ValueError("calls: Parquet logs hold no instructions; calls are read from JSON transactions")
        # The programs' addresses; also refuses two IDLs for one program.
        addresses = TransactionDecoder(list(decoding.idls), addresses=_checked(decoding.addresses)).programs
        self.programs = [(address, _table_decoder(i, with_program_address(idl, address), decoding))
                         for i, (address, idl) in enumerate(zip(addresses, decoding.idls))]
        keep = [pa.field(name, ty) for name, ty in zip(decoding.keep, decoding.keep_types)]
        self.schemas: dict[Tag, pa.Schema] = {}
        for address, decoder in self.programs:
            for name, table in decoder.decode([[]]).items():
                schema = pa.schema(table.schema)
                clash = set(decoding.keep) & set(schema.names)
                if clash:
                    raise ValueError(f"keep: column {sorted(clash)[0]!r} is also a column of event {name!r}")
                fields = list(schema)
                self.schemas[(EVENTS, (address, name))] = pa.schema([*fields[:2], *keep, *fields[2:]], schema.metadata)
        self.errors_schema = pa.schema([pa.field("_row", pa.int64(), False), pa.field("_line", pa.int32(), False),
                                        *keep, pa.field("program", pa.string(), False),
                                        pa.field("event", pa.string(), False), pa.field("message", pa.string(), False),
                                        pa.field("path", pa.string(), True), pa.field("kind", pa.string(), False)])
        self.schemas[(EVENTS, None)] = self.errors_schema

    def decode(self, batch: pa.RecordBatch, row_base: int) -> Piece:
        logs = batch.column(0)
        if _is_text(logs.type):
            # One line per row: each row a transaction of that one line.
            logs = pa.ListArray.from_arrays(pa.array(range(len(logs) + 1), pa.int32()), logs)
        keep = batch.columns[1:]
        tables: dict[Tag, pa.Table] = {}
        errors = []
        for address, decoder in self.programs:
            decoded = decoder.decode(logs)
            for name, table in decoded.items():
                tag = (EVENTS, (address, name))
                tables[tag] = _joined(pa.table(table), keep, row_base, [], self.schemas[tag])
            failed = pa.table(decoded.errors)
            program = pa.array([address] * failed.num_rows, pa.string())
            errors.append(_joined(failed, keep, row_base, [program], self.errors_schema))
        tables[(EVENTS, None)] = pa.concat_tables(errors) if errors else self.errors_schema.empty_table()
        return Piece(tables)


def _table_decoder(index: int, idl: str, decoding: Decoding) -> TableDecoder:
    try:
        return TableDecoder(idl, short_events=_checked(decoding.short_events))
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

Decoders = JsonDecoders | ParquetDecoders | AccountDecoders


def make_decoders(decoding: Decoding) -> Decoders:
    if ACCOUNTS in decoding.kinds:
        return AccountDecoders(decoding)
    return JsonDecoders(decoding) if decoding.format == "jsonl" else ParquetDecoders(decoding)


def pieces(dec: Decoders, source: Source) -> Iterator[Piece]:
    """The pieces of `source` decoded by `dec`, in order. Raises SourceError for
    input that cannot be read (the file, its framing, its columns)."""
    path = source[0]
    decoding = dec.decoding
    try:
        if decoding.format == "jsonl":
            assert not isinstance(dec, ParquetDecoders)
            with open(path, "rb") as f:
                yield from json_pieces(f, path, decoding.chunk_bytes, dec.decode)
        elif isinstance(dec, AccountDecoders):
            yield from _account_parquet_pieces(source, dec)
        else:
            assert isinstance(dec, ParquetDecoders)
            yield from _parquet_pieces(decoding, source, dec)
    except SourceError as e:
        if not e.file:
            raise SourceError(path, e.detail, e.line, e.column, e.kind) from None
        raise
    except OSError as e:
        raise SourceError(path, f"cannot read: {reason(e)}") from None
    except (ValueError, TypeError, pa.ArrowException) as e:
        raise SourceError(path, str(e)) from None


def _batches(f: pq.ParquetFile, row_group: int | None, columns: list[str],
             rows: Callable[[int], int] = lambda group: PARQUET_BATCH_ROWS) -> Iterator[pa.RecordBatch]:
    """The rows of one row group of `f` (None: of all), `rows(group)` at a time."""
    for group in range(f.num_row_groups) if row_group is None else [row_group]:
        yield from f.iter_batches(batch_size=rows(group), row_groups=[group], columns=columns, use_threads=False)


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
        for batch in _batches(f, row_group, [decoding.logs_column, *decoding.keep]):
            batch = _keep_typed(batch, decoding, path)
            yield dec.decode(batch, row)
            row += batch.num_rows


ACCOUNT_COLUMNS = ("pubkey", "owner", "data", "lamports", "slot")  # what AccountDecoder reads of a table


def _account_parquet_pieces(source: Source, dec: AccountDecoders) -> Iterator[Piece]:
    """A Parquet snapshot's accounts: its owner and data columns, and pubkey, lamports and slot where it has them."""
    path, row_group, _ = source
    with pq.ParquetFile(path) as f:
        names = f.schema_arrow.names
        for column in ("owner", "data"):
            if column not in names:
                raise SourceError(path, f"no column {column!r}")
        leaf = next((i for i in range(f.metadata.num_columns) if f.schema.column(i).path == "data"), None)

        def rows(group: int) -> int:
            # Accounts run to 10 MiB each: a batch holds about chunk_bytes of their data.
            meta = f.metadata.row_group(group)
            if leaf is None:  # not a column of bytes: refused by the decoder
                return PARQUET_BATCH_ROWS
            size = max(1, meta.column(leaf).total_uncompressed_size)
            return int(max(1, min(PARQUET_BATCH_ROWS, meta.num_rows * dec.decoding.chunk_bytes // size)))

        for batch in _batches(f, row_group, [c for c in ACCOUNT_COLUMNS if c in names], rows):
            yield dec.decode(batch)[0]


def _is_text(ty: pa.DataType) -> bool:
    return bool(pa.types.is_string(ty) or pa.types.is_large_string(ty) or pa.types.is_string_view(ty))


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
    """A whole source's tables, pieces joined, errors included, and what had no row, by reason."""

    tables: dict[Tag, pa.Table]
    skipped: Counter[str] = field(default_factory=Counter)


def decode_whole(dec: Decoders, source: Source) -> Decoded:
    parts: dict[Tag, list[pa.Table]] = {k: [] for k in dec.schemas}
    skipped: Counter[str] = Counter()
    for piece in pieces(dec, source):
        skipped.update(piece.skipped)
        for k, t in piece.tables.items():
            if t.num_rows:
                parts[k].append(t)
    return Decoded({k: pa.concat_tables(ts) if ts else dec.schemas[k].empty_table() for k, ts in parts.items()},
                   skipped)
