"""Fetching from a node into the tables of an export, exactly once and resumable.

Work comes in units (a run of slots, a page of an address's history, an
account snapshot). A unit is fetched and decoded whole into parts under
DIR/.fetch-staging/<unit>/, then listed there (`parts.json`, written last);
only a listed unit is put in place: its parts renamed into the datasets, then
the unit marked done in the manifest (DIR/_fetch.json, replaced atomically),
then its staging folder removed. A unit killed before it is listed is fetched
again from nothing; one killed after is put in place again (the renames of
parts already moved are skipped). So every row lands once, however a run ends.

The manifest also holds the options that shape the rows: a run with others
on the same folder is refused. Slots without a block (not listed by getBlocks,
or answered -32007/-32009) are recorded as skipped.
"""

from __future__ import annotations

import hashlib
import json
import os
import shutil
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import asdict, dataclass, field
from functools import lru_cache
from pathlib import Path
from typing import Any, Literal, cast

import pyarrow as pa

from brisquel import AccountDecoder, ReadError, TransactionDecoder
from brisquel._part_writer import PartWriters, tag_dir
from brisquel._rpc import (CLEANED_UP, SKIPPED_CODES, VERSION_NOT_SUPPORTED, Client, NodeError, RpcError, Stats,
                           Transient, result_text)

MANIFEST = "_fetch.json"
HEAD_UNITS = 1_000_000_000  # followed history: units numbered from here (pages from 0)
STAGING = ".fetch-staging"
MAX_TX_VERSION = 1  # the highest transaction version the readers read
SUMMARY_TABLES = ("transactions", "balances")
EVENTS, CALLS, ACCOUNTS = "events", "calls", "accounts"


class FetchError(Exception):
    """The run cannot go on (or start): a clear message for the person."""


class Secret:
    """The node's URL: travels to workers, never shows. Only the host is in its repr."""

    def __init__(self, url: str) -> None:
        self._url = url

    def reveal(self) -> str:
        return self._url

    @property
    def host(self) -> str:
        from brisquel._rpc import host_of
        return host_of(self._url)

    def __repr__(self) -> str:
        return f"<RPC URL of {self.host}>"

    __str__ = __repr__


@dataclass(frozen=True)
class Options:
    """What shapes the rows, all pinned by the manifest (the URL is not: another
    node with the same chain gives the same rows)."""

    source: str                                  # "slots", "address" or "accounts"
    idls: tuple[str, ...] = ()
    first: int | None = None                     # slots
    last: int | None = None                      # slots; None: follow the chain
    address: str | None = None
    before: str | None = None
    until: str | None = None
    program: str | None = None
    filters: tuple[tuple[str, Any], ...] = ()
    commitment: str = "finalized"
    include_failed: bool = False
    short_events: str = "null"
    calls: bool = True
    chunk: int = 100                             # slots per unit, or signatures per page

    def pinned(self) -> dict[str, Any]:
        out = asdict(self)
        out["idls"] = [hashlib.sha256(t.encode()).hexdigest()[:16] for t in self.idls]
        out["filters"] = [list(f) for f in self.filters]
        if self.source == "slots":
            out.pop("last")  # a followed range may be given an end later, and the reverse
        held: dict[str, Any] = json.loads(json.dumps(out))  # as the manifest holds it
        return held


@dataclass
class Tuning:
    """What does not shape the rows: load on the node, retries, scale."""

    rps: float | None = None
    concurrency: int = 4
    batch: int = 100
    timeout: float = 60.0
    retries: int = 8
    max_body: int = 512 << 20
    poll: float = 0.4  # follow: how often the node is asked for new slots


@dataclass
class Unit:
    """One piece of work: slots first..last, or page `index` of a history (after
    signature `cursor`, its first signature number `offset`), or the snapshot."""

    name: str
    first: int = 0
    last: int = 0
    cursor: str | None = None
    offset: int = 0


@dataclass
class UnitResult:
    unit: Unit
    parts: list[str] = field(default_factory=list)
    rows: dict[str, int] = field(default_factory=dict)
    skipped: list[int] = field(default_factory=list)
    blocks: int = 0
    next_cursor: str | None = None  # history: the page's last signature (None: the history ends here)
    signatures: int = 0
    top: str | None = None  # history: the newest signature read (page 0, or newer ones followed)


# --- decoders, one set per process -----------------------------------------

@lru_cache(maxsize=4)
def _tx_decoder(idls: tuple[str, ...], short_events: str) -> TransactionDecoder:
    return TransactionDecoder(list(idls), short_events=cast(Literal["skip", "null"], short_events))  # the decoder checks it


@lru_cache(maxsize=4)
def _account_decoder(idls: tuple[str, ...]) -> AccountDecoder:
    return AccountDecoder(list(idls))


def schemas(options: Options) -> dict[str, pa.Schema]:
    """Every dataset folder of a run, with its schema."""
    out: dict[str, pa.Schema] = {}
    if options.source == "accounts":
        accounts = _account_decoder(options.idls)
        empty = accounts.decode_tables("[]")
        out.update({tag_dir((ACCOUNTS, k)): pa.schema(accounts.schema(k)) for k in empty})
        out[tag_dir((ACCOUNTS, None))] = pa.schema(empty.errors.schema)
        return out
    dec = _tx_decoder(options.idls, options.short_events)
    events, calls, summary = dec.block_tables("[]")
    out.update({tag_dir((EVENTS, k)): pa.schema(dec.schema(k)) for k in events})
    out[tag_dir((EVENTS, None))] = pa.schema(events.errors.schema)
    if options.calls:
        out.update({tag_dir((CALLS, k)): pa.schema(dec.call_schema(k)) for k in calls})
        out[tag_dir((CALLS, None))] = pa.schema(calls.errors.schema)
    out.update({name: pa.schema(summary[name].schema) for name in SUMMARY_TABLES})
    return out


def _tables(options: Options, body: bytes, start: int = 0, slot: int | None = None) -> dict[str, pa.Table]:
    """The tables of one answer (a block, or transactions), keyed by folder.
    Raises Transient for text that is not JSON (cut short, malformed), NodeError
    for what cannot be read (too deep, too many transactions)."""
    dec = _tx_decoder(options.idls, options.short_events)
    try:
        events, calls, summary = dec.block_tables(body, include_failed=options.include_failed, start=start,
                                                  slot=slot)
    except ReadError as e:
        _read_failure(e, body)
        raise
    # Only tables with rows become pyarrow tables: most events and calls have none in a block.
    found = [(tag_dir((EVENTS, k)), t) for k, t in events.items()] + [(tag_dir((EVENTS, None)), events.errors)]
    if options.calls:
        found += [(tag_dir((CALLS, k)), t) for k, t in calls.items()] + [(tag_dir((CALLS, None)), calls.errors)]
    found += [(name, summary[name]) for name in SUMMARY_TABLES]
    return {folder: pa.table(t) for folder, t in found if len(t)}


def _read_failure(e: ReadError, body: bytes) -> None:
    if e.kind in ("invalid_json", "truncated"):
        raise Transient(f"an answer that is not whole JSON ({e.reason})") from None
    if e.kind == "rpc_error":
        from brisquel._rpc import raise_error
        try:
            raise_error(json.loads(body))
        except ValueError:
            raise Transient("an answer that is not JSON") from None
    raise NodeError(f"an answer that cannot be used: {e.reason}") from None


# --- the units ---------------------------------------------------------------

def _block_params(options: Options, slot: int) -> list[Any]:
    return [slot, {"encoding": "base64", "transactionDetails": "full", "rewards": False,
                   "maxSupportedTransactionVersion": MAX_TX_VERSION, "commitment": _block_commitment(options)}]


def _block_commitment(options: Options) -> str:
    # getBlock takes confirmed or finalized, not processed.
    return "confirmed" if options.commitment == "processed" else options.commitment


def _in_order(pool: ThreadPoolExecutor, window: int, work: Callable[[Any], Any], items: list[Any]) -> Iterator[Any]:
    """work(item) for each item on the pool, at most `window` at once, results in item order."""
    pending: list[Future[Any]] = []
    it = iter(items)
    try:
        for item in it:
            pending.append(pool.submit(work, item))
            if len(pending) >= window:
                yield pending.pop(0).result()
        while pending:
            yield pending.pop(0).result()
    finally:
        for f in pending:
            f.cancel()


class Fetcher:
    """Runs units against one node, in this process."""

    def __init__(self, options: Options, tuning: Tuning, url: Secret, out: Path, stats: Stats | None = None) -> None:
        self.options = options
        self.tuning = tuning
        self.out = out
        self.stats = stats or Stats()
        self.client = Client(url.reveal(), rps=tuning.rps, connections=tuning.concurrency, timeout=tuning.timeout,
                             retries=tuning.retries, max_body=tuning.max_body, stats=self.stats)
        self.host = self.client.host
        self._pool = ThreadPoolExecutor(max(1, tuning.concurrency), thread_name_prefix="brisquel-fetch")

    def close(self) -> None:
        self._pool.shutdown(wait=True, cancel_futures=True)

    # -- slots --
    def blocks(self, first: int, last: int) -> list[int]:
        body = self.client.call("getBlocks", [first, last, {"commitment": _block_commitment(self.options)}],
                                f"getBlocks {first}..{last}")
        slots = json.loads(body)["result"]
        if not isinstance(slots, list) or not all(isinstance(s, int) and first <= s <= last for s in slots):
            raise NodeError(f"{self.host}: getBlocks {first}..{last} answered slots outside the range")
        return sorted(set(slots))

    def tip(self) -> int:
        body = self.client.call("getSlot", [{"commitment": self.options.commitment}])
        slot = json.loads(body)["result"]
        if not isinstance(slot, int):
            raise NodeError(f"{self.host}: getSlot answered {slot!r}")
        return slot

    def _block(self, slot: int) -> dict[str, pa.Table] | None:
        """The tables of one block, or None for a skipped slot."""
        options = self.options
        try:
            tables: dict[str, pa.Table] = self.client.call("getBlock", _block_params(options, slot),
                                                           f"getBlock {slot}",
                                                           parse=lambda body: _tables(options, body, slot=slot))
            return tables
        except RpcError as e:
            if e.code in SKIPPED_CODES:
                return None
            if e.code == CLEANED_UP:
                raise NodeError(f"{self.host} no longer keeps slot {slot}: its first available slot is "
                                f"{self._first_available()} (start there, or use a node that keeps history)") from None
            if e.code == VERSION_NOT_SUPPORTED:
                raise NodeError(f"slot {slot} holds a transaction of a version above {MAX_TX_VERSION}, which this "
                                f"brisquel cannot read; a newer brisquel is needed ({self.host}: {e.message})") from None
            raise NodeError(f"{self.host}: getBlock {slot}: error {e.code}: {e.message}") from None
        except NodeError as e:
            raise NodeError(f"slot {slot}: {e}") from None

    def _first_available(self) -> str:
        try:
            return str(json.loads(self.client.call("getFirstAvailableBlock", []))["result"])
        except (NodeError, RpcError, ValueError, KeyError):
            return "unknown (getFirstAvailableBlock failed)"

    def slots_unit(self, unit: Unit, writers: PartWriters, result: UnitResult) -> None:
        listed = self.blocks(unit.first, unit.last)
        result.skipped = sorted(set(range(unit.first, unit.last + 1)) - set(listed))
        for slot, tables in zip(listed, _in_order(self._pool, self.tuning.concurrency, self._block, listed)):
            if tables is None:
                result.skipped.append(slot)
                continue
            result.blocks += 1
            _add(writers, result, tables)
        result.skipped.sort()

    # -- an address's history --
    def _signatures(self, before: str | None, until: str | None, what: str) -> list[str]:
        """One page of an address's signatures, newest first."""
        config: dict[str, Any] = {"limit": self.options.chunk, "commitment": _block_commitment(self.options)}
        if before:
            config["before"] = before
        if until:
            config["until"] = until
        body = self.client.call("getSignaturesForAddress", [self.options.address, config], what)
        found = json.loads(body)["result"]
        signatures = [s["signature"] for s in found if isinstance(s, dict) and isinstance(s.get("signature"), str)]
        if len(signatures) != len(found):
            raise NodeError(f"{self.host}: getSignaturesForAddress answered entries without a signature")
        return signatures

    def history_unit(self, unit: Unit, writers: PartWriters, result: UnitResult) -> None:
        options = self.options
        if unit.name.startswith("head-"):
            # Followed: every signature newer than the newest one read (unit.cursor), newest first.
            signatures: list[str] = []
            while True:
                page = self._signatures(signatures[-1] if signatures else None, unit.cursor,
                                        f"getSignaturesForAddress after {unit.cursor}")
                signatures += page
                if len(page) < options.chunk:
                    break
            result.top = signatures[0] if signatures else unit.cursor
            signatures.reverse()  # counted on in the order they came
            at = unit.offset
        else:
            signatures = self._signatures(unit.cursor, options.until, f"getSignaturesForAddress page {unit.first}")
            result.next_cursor = signatures[-1] if len(signatures) == options.chunk else None
            at = unit.offset
            if unit.first == 0:
                result.top = signatures[0] if signatures else None
        result.signatures = len(signatures)
        params = [[s, {"encoding": "base64", "commitment": _block_commitment(options),
                       "maxSupportedTransactionVersion": MAX_TX_VERSION}] for s in signatures]
        batches = [params[i:i + self.tuning.batch] for i in range(0, len(params), self.tuning.batch)]
        for texts in _in_order(self._pool, self.tuning.concurrency, self._transactions, batches):
            tables = _tables(options, b"[" + b",".join(texts) + b"]", at)
            at += len(texts)
            _add(writers, result, tables)

    def _transactions(self, params: list[list[Any]]) -> list[bytes]:
        """The getTransaction results of `params`, in a batch, or in smaller
        ones (down to single calls) where the node refuses it."""
        try:
            texts = self.client.batch("getTransaction", params) if len(params) > 1 else \
                [self.client.call("getTransaction", params[0], parse=result_text)]
        except RpcError as e:
            if len(params) > 1 and e.code in (413, -32600, -32601, None, -32603):
                half = len(params) // 2
                return self._transactions(params[:half]) + self._transactions(params[half:])
            if e.code == VERSION_NOT_SUPPORTED:
                raise NodeError(f"the history holds a transaction of a version above {MAX_TX_VERSION}, which this "
                                f"brisquel cannot read ({self.host}: {e.message})") from None
            raise NodeError(f"{self.host}: getTransaction: error {e.code}: {e.message}") from None
        for p, text in zip(params, texts):
            if text.strip() == b"null":
                raise NodeError(f"{self.host}: getTransaction {p[0]} found nothing, though the history lists it")
        return texts

    # -- an account snapshot --
    def accounts_unit(self, unit: Unit, writers: PartWriters, result: UnitResult) -> None:
        options = self.options
        config: dict[str, Any] = {"encoding": "base64+zstd", "withContext": True,
                                  "commitment": options.commitment}
        if options.filters:
            config["filters"] = [_filter(kind, value) for kind, value in options.filters]
        try:
            body = self.client.call("getProgramAccounts", [options.program, config], "getProgramAccounts")
        except RpcError as e:
            if e.code != -32602:
                raise NodeError(f"{self.host}: getProgramAccounts: error {e.code}: {e.message}") from None
            config["encoding"] = "base64"  # a node without zstd
            body = self.client.call("getProgramAccounts", [options.program, config], "getProgramAccounts")
        try:
            decoded = _account_decoder(options.idls).decode_tables(body)
        except ReadError as e:
            raise NodeError(f"{self.host}: getProgramAccounts: an answer that cannot be used: {e.reason}") from None
        tables = {tag_dir((ACCOUNTS, k)): pa.table(t) for k, t in decoded.items()}
        tables[tag_dir((ACCOUNTS, None))] = pa.table(decoded.errors)
        _add(writers, result, tables)

    # -- one unit, staged --
    def run(self, unit: Unit) -> UnitResult:
        staging = self.out / STAGING / unit.name
        shutil.rmtree(staging, ignore_errors=True)  # what a killed try left
        staging.mkdir(parents=True)
        # One name per unit (units never overlap): a unit put in place again replaces its parts.
        writers = PartWriters(staging, unit.first)
        result = UnitResult(unit)
        try:
            {"slots": self.slots_unit, "address": self.history_unit,
             "accounts": self.accounts_unit}[self.options.source](unit, writers, result)
            result.parts = writers.close()
        except BaseException:
            writers.discard()
            shutil.rmtree(staging, ignore_errors=True)
            raise
        _write_json(staging / "parts.json", _result_json(result))
        return result


def _filter(kind: str, value: Any) -> dict[str, Any]:
    if kind == "dataSize":
        return {"dataSize": value}
    offset, data = value
    return {"memcmp": {"offset": offset, "bytes": data}}


def _add(writers: PartWriters, result: UnitResult, tables: dict[str, pa.Table]) -> None:
    for folder, table in tables.items():
        if table.num_rows:
            writers.add(folder, table)
            result.rows[folder] = result.rows.get(folder, 0) + table.num_rows


def _result_json(r: UnitResult) -> dict[str, Any]:
    return {"unit": asdict(r.unit), "parts": r.parts, "rows": r.rows, "skipped": r.skipped, "blocks": r.blocks,
            "next_cursor": r.next_cursor, "signatures": r.signatures, "top": r.top}


def _result_of(d: dict[str, Any]) -> UnitResult:
    return UnitResult(Unit(**d["unit"]), d["parts"], d["rows"], d["skipped"], d["blocks"], d["next_cursor"],
                      d["signatures"], d["top"])


def _write_json(path: Path, value: Any) -> None:
    temporary = path.with_name(f".{path.name}.tmp")
    with open(temporary, "w") as f:
        json.dump(value, f, separators=(",", ":"))
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, path)


# --- the manifest --------------------------------------------------------------

class Manifest:
    """DIR/_fetch.json: the pinned options and the finished work, replaced whole
    after each unit."""

    def __init__(self, out: Path, options: Options) -> None:
        self.path = out / MANIFEST
        self.out = out
        pinned = options.pinned()
        self.data: dict[str, Any]
        if self.path.exists():
            try:
                self.data = json.loads(self.path.read_text())
            except ValueError:
                raise FetchError(f"{self.path} cannot be read: this folder's fetch cannot be resumed") from None
            theirs = self.data.get("options", {})
            if theirs != pinned:
                changed = sorted(k for k in set(theirs) | set(pinned) if theirs.get(k) != pinned.get(k))
                raise FetchError(f"{out} holds a fetch with other options ({', '.join(changed)} differ); "
                                 "give another --out, or the same options to resume it")
        else:
            self.data = {"format": 1, "options": pinned, "done": [], "skipped": [], "rows": {}, "blocks": 0,
                         "signatures": 0, "cursor": None, "complete": False, "top": None}

    def save(self) -> None:
        _write_json(self.path, self.data)

    def done(self, unit: Unit) -> bool:
        return any(a <= unit.first and unit.last <= b for a, b in self.data["done"])

    def next_slot(self, first: int) -> int:
        """The first slot (or page) after the run of finished work that starts at `first`."""
        at = first
        for a, b in sorted(self.data["done"]):
            if a <= at <= b:
                at = b + 1
        return at

    def record(self, r: UnitResult) -> None:
        d = self.data
        d["done"] = _merged(d["done"] + [[r.unit.first, r.unit.last]])
        d["skipped"] = sorted(set(d["skipped"]) | set(r.skipped))
        for folder, n in r.rows.items():
            d["rows"][folder] = d["rows"].get(folder, 0) + n
        d["blocks"] += r.blocks
        d["signatures"] += r.signatures
        if r.unit.name.startswith("page-"):
            d["cursor"] = r.next_cursor
            d["complete"] = r.next_cursor is None
            if r.unit.first == 0:
                d["top"] = r.top
        if r.unit.name.startswith("head-"):
            d["top"] = r.top
        if r.unit.name == "accounts":
            d["complete"] = True
        self.save()


def _merged(ranges: list[list[int]]) -> list[list[int]]:
    out: list[list[int]] = []
    for a, b in sorted(ranges):
        if out and a <= out[-1][1] + 1:
            out[-1][1] = max(out[-1][1], b)
        else:
            out.append([a, b])
    return out


def commit(out: Path, manifest: Manifest, result: UnitResult) -> None:
    """Puts a listed unit's parts in place, then marks it done, then drops its staging."""
    staging = out / STAGING / result.unit.name
    for part in result.parts:
        target = out / part
        target.parent.mkdir(parents=True, exist_ok=True)
        try:
            os.replace(staging / part, target)
        except FileNotFoundError:
            if not target.exists():
                raise
    manifest.record(result)
    shutil.rmtree(staging, ignore_errors=True)


def discard(out: Path, unit: Unit) -> None:
    """Drops what a unit staged, unrecorded."""
    shutil.rmtree(out / STAGING / unit.name, ignore_errors=True)


def recover(out: Path, manifest: Manifest) -> list[UnitResult]:
    """Finishes what a run that died had listed, and drops what it had not."""
    finished: list[UnitResult] = []
    root = out / STAGING
    if not root.is_dir():
        return finished
    for staging in sorted(root.iterdir()):
        listing = staging / "parts.json"
        result = _result_of(json.loads(listing.read_text())) if listing.exists() else None
        if result is None or manifest.done(result.unit):
            shutil.rmtree(staging, ignore_errors=True)
            continue
        commit(out, manifest, result)
        finished.append(result)
    return finished


def prepare(out: Path, options: Options) -> Manifest:
    """The manifest of `out` (refusing other options), with the work left by a
    dead run finished."""
    out.mkdir(parents=True, exist_ok=True)
    manifest = Manifest(out, options)
    if not manifest.path.exists():
        manifest.save()
    recover(out, manifest)
    return manifest


def slot_units(options: Options, manifest: Manifest, first: int, last: int) -> list[Unit]:
    """The slots of first..last not done yet, as units of at most `chunk` slots
    (on boundaries counted from the range's start). Units never overlap finished
    work, whatever runs (followed or not) did it."""
    units: list[Unit] = []
    base = options.first or 0
    at = first
    for a, b in [*sorted(manifest.data["done"]), [last + 1, last + 1]]:
        end = min(a - 1, last)
        while at <= end:
            stop = min(end, at + options.chunk - 1 - (at - base) % options.chunk)
            units.append(Unit(f"slots-{at}", at, stop))
            at = stop + 1
        at = max(at, b + 1)
        if at > last:
            break
    return units
