from collections.abc import Iterable, ItemsView, Iterator, KeysView, Mapping, Sequence, ValuesView
from typing import Any, Literal, NamedTuple, TypedDict, final, overload

# Per IDL, by its index or its program's name.
type _PerIdl[V] = Mapping[int, V] | Mapping[str, V] | Mapping[int | str, V]

_Logs = Sequence[str] | Sequence[Sequence[str]] | Any  # or an object with __arrow_c_stream__ / __arrow_c_array__

_PathStep = str | int

class Error(ValueError):
    """A failure that input caused. str(e) is the message, then " at <path>" where there is one."""

    path: tuple[_PathStep, ...] | None
    """Where in the value: field and variant names, element indexes, outermost first; None where unknown."""
    offset: int | None
    program: str | None
    item: str | None
    """The event, instruction or account type whose value failed."""

class DecodeError(Error):
    """Bytes that do not decode as their type. str(e) is "reason at pool.reserves[3].amount"."""

    kind: str | None
    """What failed: end_of_buffer, invalid_utf8, enum_out_of_range, too_deep, too_many_zero_sized, ..."""
    reason: str | None
    """The message without the path: what an errors table's `message` holds."""
    offset: int | None
    """Bytes into the body (after the discriminator) where the failing read began."""

class ReadError(Error):
    """A text of transactions that cannot be read. str(e) is "transactions: line N, column M: reason"."""

    input: str | None
    """The argument that held the text: "transactions"."""
    kind: Literal["invalid_json", "truncated", "shape", "rpc_error", "too_large"] | None
    line: int | None
    """1-based line of the value that failed."""
    column: int | None
    """1-based column (in bytes) where that value starts."""
    offset: int | None
    """Byte offset in the text where that value starts."""
    resume_at: int | None
    """JSON lines: the byte offset of the next line, where reading may go on; else None."""
    reason: str | None
    """The message without its position."""

class IdlError(Error):
    """An IDL that cannot be used. str(e) is "idls[N]: reason" (TransactionDecoder) or the reason."""

    index: int | None
    """Its place in `idls`; None for TableDecoder's one IDL."""
    reason: str | None
    """The message without its "idls[N]: " prefix."""
    duplicate_of: int | None
    """The index of an earlier IDL for the same program, when that is the failure."""
    program: str | None
    """That program's address, when two IDLs are for it."""

@final
class Schema:
    """An event table's Arrow schema: pyarrow.schema(s) reads it."""

    @property
    def names(self) -> list[str]: ...
    def __arrow_c_schema__(self) -> object: ...

@final
class EventTable:
    """The rows of one event, readable by any Arrow consumer without a copy."""

    @property
    def name(self) -> Any: ...
    @property
    def column_names(self) -> list[str]: ...
    @property
    def schema(self) -> Schema: ...
    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@final
class DecodedEvents:
    """A read-only mapping from event key to EventTable, in declaration order."""

    @property
    def errors(self) -> EventTable: ...
    @property
    def inputs(self) -> int:
        """How many inputs the call read: transactions, rows of nested input, or lines of flat input."""
    def __getitem__(self, key: Any, /) -> EventTable: ...
    def __iter__(self) -> Iterator[Any]: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...
    def keys(self) -> KeysView[Any]: ...
    def values(self) -> ValuesView[EventTable]: ...
    def items(self) -> ItemsView[Any, EventTable]: ...
    @overload
    def get(self, key: Any, /) -> EventTable | None: ...
    @overload
    def get(self, key: Any, default: Any, /) -> EventTable | Any: ...

@final
class DecodedCalls:
    """A read-only mapping from (program, instruction) to the EventTable of its calls, in declaration order;
    `errors` holds the calls that could not be read or decoded."""

    @property
    def errors(self) -> EventTable: ...
    @property
    def inputs(self) -> int:
        """How many transactions the call read."""
    def __getitem__(self, key: tuple[str, str], /) -> EventTable: ...
    def __iter__(self) -> Iterator[tuple[str, str]]: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...
    def keys(self) -> KeysView[tuple[str, str]]: ...
    def values(self) -> ValuesView[EventTable]: ...
    def items(self) -> ItemsView[tuple[str, str], EventTable]: ...
    @overload
    def get(self, key: tuple[str, str], /) -> EventTable | None: ...
    @overload
    def get(self, key: tuple[str, str], default: Any, /) -> EventTable | Any: ...

@final
class TableDecoder:
    """Decodes Anchor program events from log lines into Arrow tables, one per event.

    Raises IdlError for an IDL that cannot be used."""

    def __new__(
        cls,
        idl_json: str,
        *,
        pubkeys: Literal["base58", "binary"] = "base58",
        wide_ints: Literal["decimal", "string"] = "decimal",
        short_events: Literal["skip", "null"] = "null",
    ) -> TableDecoder: ...
    @property
    def event_names(self) -> list[str]:
        """Names of all events declared in the IDL, in declaration order."""
    def schema(self, name: str, *, nested: bool = False) -> Schema: ...
    def decode(self, logs: _Logs) -> DecodedEvents: ...
    @overload
    def parse_logs(
        self, logs: Sequence[str], *, json_fields: Literal[False] = False
    ) -> list[tuple[str, dict[str, Any] | list[Any]]]:
        """(name, fields) per line that decodes, as EventDecoder.parse_logs makes them, with this decoder's
        short_events; json_fields=True: the fields as JSON text, as the command line writes them."""
    @overload
    def parse_logs(self, logs: Sequence[str], *, json_fields: Literal[True]) -> list[tuple[str, str]]: ...
    @overload
    def parse_logs(
        self, logs: Sequence[str], *, json_fields: bool
    ) -> list[tuple[str, dict[str, Any] | list[Any] | str]]: ...
    @overload
    def parse_logs_counted(
        self, logs: Sequence[str] | bytes | bytearray | memoryview, *, json_fields: Literal[False] = False
    ) -> tuple[list[tuple[str, dict[str, Any] | list[Any]]], dict[str, int]]:
        """(parse_logs' pairs, counts) from one reading. logs: lines, or (bytes-like) RPC JSON text whose
        transactions' log lines are read, failed ones' too (also log-line strings and arrays of them in an
        array, and objects holding logMessages themselves). counts: lines, not_decoded (event bodies) and short
        (of those, older versions that short_events="null" decodes). Raises ReadError for JSON text that cannot
        be read."""
    @overload
    def parse_logs_counted(
        self, logs: Sequence[str] | bytes | bytearray | memoryview, *, json_fields: Literal[True]
    ) -> tuple[list[tuple[str, str]], dict[str, int]]: ...
    @overload
    def parse_logs_counted(
        self, logs: Sequence[str] | bytes | bytearray | memoryview, *, json_fields: bool
    ) -> tuple[list[tuple[str, dict[str, Any] | list[Any] | str]], dict[str, int]]: ...

class TxEvent(NamedTuple):
    """One event of a transaction, with where it was found and its program."""

    tx: int
    signature: str | None
    slot: int | None
    block_time: int | None
    program: str
    instruction: int | None
    inner: int | None
    depth: int | None
    source: Literal["log", "cpi", "log+cpi"]
    truncated: bool
    name: str
    fields: dict[str, Any] | list[Any] | str
    """Python values; JSON text when asked for (json_fields=True)."""

class CallError(NamedTuple):
    """How a call failed: the custom code, its name and message (the IDL's or Codama document's, else, for
    an Anchor program, Anchor's own for codes below 6000), and the runtime's text."""

    code: int | None
    name: str | None
    message: str | None
    text: str | None

class TxCall(NamedTuple):
    """One instruction call of a transaction, with where it was made and what it was given."""

    tx: int
    signature: str | None
    slot: int | None
    block_time: int | None
    program: str | None  # None (with `instruction`) for a transaction that could not be read
    instruction: int | None
    inner: int | None
    depth: int | None
    failed: bool
    error: CallError | None
    name: str | None
    args: dict[str, Any] | str | None
    """Python values; JSON text when asked for (json_fields=True); None for a call that was not decoded."""
    accounts: dict[str, str | None]
    remaining: list[str | None]
    problem: str | None
    path: tuple[_PathStep, ...] | None
    """Where in the arguments decoding failed, when it did."""

_Transactions = str | bytes | Mapping[str, Any] | Sequence[Mapping[str, Any]]

@final
class TransactionDecoder:
    """Decodes the events of whole transactions, each with the IDL of the program that emitted it, and the
    instruction calls to the programs. `idls` may mix Anchor IDLs (current or legacy) and Codama documents
    (one program per program node, keyed by its publicKey).

    Raises IdlError for an IDL that cannot be used; decode, decode_counted, decode_tables, calls,
    call_tables and count raise ReadError for a text that cannot be read."""

    def __new__(
        cls,
        idls: Sequence[str],
        *,
        addresses: _PerIdl[str] | None = None,
        pubkeys: Literal["base58", "binary"] = "base58",
        wide_ints: Literal["decimal", "string"] = "decimal",
        short_events: Literal["skip", "null"] = "null",
    ) -> TransactionDecoder: ...
    @property
    def programs(self) -> list[str]:
        """The programs' addresses in the order of their IDLs (a Codama document gives one per program it holds)."""
    def schema(self, key: tuple[str, str], /) -> Schema: ...
    def count(self, transactions: _Transactions, /) -> int: ...
    def decode(
        self, transactions: _Transactions, *, include_failed: bool = False, dedupe: bool = True, start: int = 0,
        strict: bool = False, json_fields: bool = False,
    ) -> list[TxEvent]:
        """strict: an event that does not decode raises DecodeError instead of being left out; json_fields=True:
        each event's fields as JSON text, as the command line writes them."""
    def decode_counted(
        self, transactions: _Transactions, *, include_failed: bool = False, dedupe: bool = True, start: int = 0,
        json_fields: bool = False,
    ) -> tuple[list[TxEvent], list[TxCall], dict[str, int], dict[str, int]]:
        """(decode's events, calls' calls, counts, problems) from one reading. counts: read, unreadable, matched
        (kept transactions with an event or a call), failed (failed ones calling the programs, left out),
        not_decoded (event bodies) and short (of those, older versions that short_events="null" decodes);
        problems: each unreadable transaction's reason and how many gave it."""
    def decode_tables(
        self, transactions: _Transactions, *, include_failed: bool = False, dedupe: bool = True, start: int = 0
    ) -> DecodedEvents: ...
    def all_tables(
        self, transactions: _Transactions, *, include_failed: bool = False, dedupe: bool = True, start: int = 0
    ) -> tuple[DecodedEvents, DecodedCalls]:
        """decode_tables and call_tables from one reading of the transactions."""
    def transaction_tables(self, transactions: _Transactions, *, start: int = 0) -> dict[str, EventTable]:
        """{"transactions": one row per transaction, "balances": one row per changed balance}; no IDL needed."""
    def block_tables(
        self, transactions: _Transactions, *, include_failed: bool = False, dedupe: bool = True, start: int = 0,
        slot: int | None = None,
    ) -> tuple[DecodedEvents, DecodedCalls, dict[str, EventTable]]:
        """decode_tables, call_tables and transaction_tables from one reading; `slot`: that of blocks that do not
        say theirs (getBlock results do not)."""
    def calls(
        self, transactions: _Transactions, *, include_failed: bool = False, start: int = 0, json_fields: bool = False
    ) -> list[TxCall]:
        """json_fields=True: each call's args as JSON text, as decode writes fields."""
    def call_tables(
        self, transactions: _Transactions, *, include_failed: bool = False, start: int = 0
    ) -> DecodedCalls: ...
    def call_schema(self, key: tuple[str, str], /) -> Schema: ...
    def instruction_names(self, program: str, /) -> list[str]: ...

class AccountState(NamedTuple):
    """One decoded account: where it lives, its owner, and its type's name and fields; one that did not decode
    has fields None and the reason in `problem` (and name None when its data text did not decode)."""

    pubkey: str | None
    owner: str
    lamports: int | None
    slot: int | None
    name: str | None
    fields: dict[str, Any] | list[Any] | str | None
    """Python values; JSON text when asked for (json_fields=True); None for one that did not decode."""
    problem: str | None = None
    path: tuple[_PathStep, ...] | None = None
    """Where in the value it failed: field and variant names, element indexes, outermost first."""

@final
class DecodedAccounts:
    """A read-only mapping from (program, account type) to EventTable, in declaration order."""

    @property
    def errors(self) -> EventTable: ...
    @property
    def inputs(self) -> int:
        """How many accounts the call read, missing ones included."""
    @property
    def counts(self) -> dict[str, int]:
        """decoded, failed, missing, other_owner, parsed, unreadable and no_match."""
    @property
    def other_owners(self) -> dict[str | None, int]:
        """The owners of the accounts of other programs and how many each owns, most first (at most 256)."""
    def __getitem__(self, key: tuple[str, str], /) -> EventTable: ...
    def __iter__(self) -> Iterator[tuple[str, str]]: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...
    def keys(self) -> KeysView[tuple[str, str]]: ...
    def values(self) -> ValuesView[EventTable]: ...
    def items(self) -> ItemsView[tuple[str, str], EventTable]: ...
    @overload
    def get(self, key: tuple[str, str], /) -> EventTable | None: ...
    @overload
    def get(self, key: tuple[str, str], default: Any, /) -> EventTable | Any: ...

_AccountRow = tuple[str | None, str, bytes | bytearray | memoryview] | tuple[Any, ...]
_Accounts = str | bytes | Mapping[str, Any] | Sequence[Mapping[str, Any]] | _AccountRow | Sequence[_AccountRow] | Any

class AccountLayout(TypedDict):
    discriminator: bytes
    zero_copy: bool
    borsh_min_size: int | None
    c_size: int | None

@final
class AccountDecoder:
    """Decodes program accounts, each with the IDL (or Codama document) of the program that owns it.

    Raises IdlError for an IDL that cannot be used; decode and decode_tables raise ReadError for a
    text that cannot be read."""

    def __new__(
        cls,
        idls: Sequence[str],
        *,
        addresses: _PerIdl[str] | None = None,
        zero_copy: _PerIdl[Iterable[str]] | None = None,
        pubkeys: Literal["base58", "binary"] = "base58",
        wide_ints: Literal["decimal", "string"] = "decimal",
        old_versions: bool = False,
    ) -> AccountDecoder: ...
    @property
    def programs(self) -> list[str]:
        """The programs' addresses in the order of their IDLs (a Codama document gives one per program it holds)."""
    @property
    def layouts(self) -> dict[tuple[str, str], AccountLayout]:
        """Per account type: discriminator, zero_copy, and body sizes (Borsh minimum, C layout)."""
    def schema(self, key: tuple[str, str], /) -> Schema: ...
    def decode(self, accounts: _Accounts, *, keep_failed: bool = True, json_fields: bool = False) -> list[AccountState]:
        """json_fields=True: each account's fields as JSON text, as the command line writes them."""
    def decode_counted(
        self, accounts: _Accounts, *, keep_failed: bool = True, json_fields: bool = False
    ) -> tuple[list[AccountState], dict[str, int], dict[str | None, int]]:
        """decode's accounts, decode_tables' counts (with `read` and `short`) and other_owners, from one reading."""
    def decode_tables(self, accounts: _Accounts) -> DecodedAccounts: ...
