"""A small Solana JSON-RPC node on the loopback address, for the tests, the
benchmarks and `make demo`.

It serves a chain made from the real transactions of ../shared/transactions,
repeated across slots (each copy with a signature of its own), some re-encoded
as version 1 transactions, with skipped slots; blocks (getBlocks, getBlock),
an address's history (getSignaturesForAddress, getTransaction, in JSON-RPC
batches too) and program accounts (getProgramAccounts). It injects faults on
request: HTTP errors, resets, slow or cut or malformed bodies, JSON-RPC
errors, hostile bodies, refused batches, wrong ids.

    python3 tests/rpc_node.py [--port N] [--slots FIRST:LAST]   # serves until interrupted

Only ever binds 127.0.0.1. `Node` runs it in a thread (`with Node(...) as node:`).
"""

from __future__ import annotations

import base64
import gzip
import hashlib
import json
import socket
import struct
import sys
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import borsh  # noqa: E402
from transactions import _compact, legacy_wire, v1_wire  # noqa: E402

SHARED = HERE.parent.parent / "shared"
TRANSACTIONS = SHARED / "transactions"
ACCOUNTS = SHARED / "accounts"

FIRST_SLOT = 300_000_000
BASE_TIME = 1_730_000_000
WATCHED = "6EF8rrecthR5Dkzon8Nwu78hRvfCKubJ14M5uBEwF6P"  # pump: many of the real transactions invoke it


# --- the transactions -------------------------------------------------------

@dataclass
class Template:
    """A real transaction, able to take another first signature: its wire form
    (with the offset of that signature), its JSON form where known, its meta."""

    wire: bytes
    signature_at: int
    version: Any  # "legacy", 0 or 1
    meta: dict[str, Any]
    message: dict[str, Any] | None = None  # JSON form

    def with_signature(self, signature: bytes, encoding: str) -> dict[str, Any]:
        return json.loads(self.text(signature, encoding))

    def text(self, signature: bytes, encoding: str) -> bytes:
        """The block entry's JSON text: the meta's text is made once, the transaction each time."""
        if not hasattr(self, "_head"):
            self._head = b'{"meta":' + json.dumps(self.meta, separators=(",", ":")).encode() + \
                b',"version":' + json.dumps(self.version).encode() + b',"transaction":'
        if encoding == "json":
            if self.message is None:
                raise ValueError("no json form")
            transaction = json.dumps({"signatures": [borsh.b58encode(signature)], "message": self.message},
                                     separators=(",", ":")).encode()
        else:
            wire = self.wire[:self.signature_at] + signature + self.wire[self.signature_at + 64:]
            transaction = b'["' + base64.b64encode(wire) + b'","base64"]'
        return self._head + transaction + b"}"


def _templates() -> list[Template]:
    out: list[Template] = []
    for path in sorted(TRANSACTIONS.glob("*.json")):
        value = json.loads(path.read_text())
        tx = value.get("result", value) if isinstance(value, dict) else None
        if not isinstance(tx, dict) or not isinstance(tx.get("meta"), dict) or "preBalances" not in tx["meta"]:
            continue
        meta = {k: v for k, v in tx["meta"].items() if k != "rewards"}
        encoded, version = tx["transaction"], tx.get("version", "legacy")
        if isinstance(encoded, list):
            wire = base64.b64decode(encoded[0])
            out.append(Template(wire, 1, version, meta))
            continue
        message = encoded["message"]
        if not all(isinstance(k, str) for k in message["accountKeys"]):
            continue  # jsonParsed
        sigs = encoded["signatures"]
        wire = legacy_wire(message, sigs, v0=version == 0)
        out.append(Template(wire, len(_compact(len(sigs))), version, meta, message))
        loaded = meta.get("loadedAddresses") or {}
        if not message.get("addressTableLookups") and not loaded.get("writable") and not loaded.get("readonly"):
            # The same transaction as version 1 (no lookups there): its signatures last.
            v1 = v1_wire(message, encoded["signatures"])
            out.append(Template(v1, len(v1) - 64 * len(sigs), 1, meta))
    return out


def _signature(slot: int, position: int) -> bytes:
    return hashlib.sha512(f"brisquel-node:{slot}:{position}".encode()).digest()


# --- the chain --------------------------------------------------------------

@dataclass
class Fault:
    """A fault injected into the next `times` requests that match: of method
    `method` (any if None) and, for slot and transaction requests, of `slot`."""

    kind: str
    method: str | None = None
    slot: int | None = None
    times: int = 1
    retry_after: str = "1"
    delay: float = 2.0


@dataclass
class Chain:
    first: int = FIRST_SLOT
    last: int = FIRST_SLOT + 199
    per_block: int = 6              # transactions per block (at most)
    skip_every: int = 7             # every 7th slot has no block
    first_available: int | None = None  # below it: cleaned up (-32001)
    grow_per_second: float = 0.0    # follow: the tip advances from `first` at this rate
    templates: list[Template] = field(default_factory=_templates)

    def __post_init__(self) -> None:
        self.started = time.monotonic()
        self._blocks: dict[tuple[int, str], bytes] = {}
        self._lock = threading.Lock()
        self.served: dict[int, float] = {}  # slot -> when a block of it was first served

    def tip(self) -> int:
        if not self.grow_per_second:
            return self.last
        return min(self.last, self.first + int((time.monotonic() - self.started) * self.grow_per_second))

    def has_block(self, slot: int) -> bool:
        return self.first <= slot <= self.tip() and (slot - self.first) % self.skip_every != self.skip_every - 1

    def entries(self, slot: int) -> list[tuple[bytes, Template]]:
        count = 1 + (slot * 2654435761) % self.per_block
        return [(_signature(slot, i), self.templates[(slot * 31 + i * 7) % len(self.templates)]) for i in range(count)]

    def block(self, slot: int, encoding: str) -> bytes:
        key = (slot, encoding)
        with self._lock:
            cached = self._blocks.get(key)
        if cached is not None:
            return cached
        head = json.dumps({"blockHeight": slot - 1000, "blockTime": self.block_time(slot),
                           "blockhash": borsh.b58encode(hashlib.sha256(b"%d" % slot).digest()),
                           "parentSlot": slot - 1, "previousBlockhash": borsh.b58encode(
                               hashlib.sha256(b"%d" % (slot - 1)).digest()), "rewards": []},
                          separators=(",", ":")).encode()
        body = head[:-1] + b',"transactions":[' + b",".join(t.text(sig, encoding) for sig, t in self.entries(slot)) + \
            b"]}"
        with self._lock:
            if len(self._blocks) > 256:
                self._blocks.clear()
            self._blocks[key] = body
        return body

    def block_time(self, slot: int) -> int:
        return BASE_TIME + (slot - self.first) * 2 // 5

    def max_version(self, slot: int) -> int:
        versions = [t.version for _, t in self.entries(slot)]
        return max((v for v in versions if isinstance(v, int)), default=-1)

    # An address's history: every transaction that invokes WATCHED, newest first.
    def history(self) -> list[tuple[bytes, int, Template]]:
        out = []
        for slot in range(self.tip(), self.first - 1, -1):
            if self.has_block(slot):
                for sig, t in reversed(self.entries(slot)):
                    if any(WATCHED in line for line in t.meta.get("logMessages") or []):
                        out.append((sig, slot, t))
        return out


def _accounts() -> list[dict[str, Any]]:
    """getProgramAccounts entries made from the real account dumps."""
    out = []
    for path in sorted(ACCOUNTS.glob("*/*.json")):
        try:
            value = json.loads(path.read_text())
        except ValueError:
            continue
        value = value.get("result", value) if isinstance(value, dict) else value
        value = value.get("value", value) if isinstance(value, dict) else value
        items = value if isinstance(value, list) else [value]
        for item in items:
            if not isinstance(item, dict):
                continue
            account = item.get("account", item)
            pubkey = item.get("pubkey") or path.stem
            if isinstance(account, dict) and isinstance(account.get("data"), list) and account.get("owner"):
                out.append({"pubkey": pubkey, "account": account})
    return out


# --- the server -------------------------------------------------------------

class RpcError(Exception):
    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code


SKIPPED_MESSAGE = "Slot {} was skipped, or missing due to ledger jump to recent snapshot"


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: "Server"

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def do_POST(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length)
        self.server.requests += 1
        try:
            request = json.loads(raw)
        except ValueError:
            return self._send(200, b'{"jsonrpc":"2.0","error":{"code":-32700,"message":"Parse error"},"id":null}')
        batch = isinstance(request, list)
        calls = request if batch else [request]
        fault = self.server.take_fault(calls, batch)
        if fault is not None and self._inject(fault, calls, batch):
            return
        answers = [self.server.answer(call) for call in calls]
        if fault is not None and fault.kind == "wrong_ids":
            for a in answers:
                a[0]["id"] = 1_000_000 + int(a[0].get("id") or 0) if isinstance(a[0], dict) else None
        body = b"[" + b",".join(_encode(a) for a in answers) + b"]" if batch else _encode(answers[0])
        self._send(200, body)

    def _inject(self, fault: Fault, calls: list[Any], batch: bool) -> bool:
        kind = fault.kind
        if kind in ("429", "500", "502", "503"):
            headers = {"Retry-After": fault.retry_after} if kind == "429" else {}
            self._send(int(kind), b"busy", headers)
            return True
        if kind == "batch_refused":
            self._send(413, b"batch too large")
            return True
        if kind.startswith("rpc"):
            code = int(kind[3:])
            error = {"code": code, "message": self.server.rpc_message(code, calls[0])}
            answer = {"jsonrpc": "2.0", "error": error, "id": calls[0].get("id")}
            self._send(200, json.dumps([answer] * len(calls) if batch else answer).encode())
            return True
        if kind == "wrong_ids":
            return False  # answered, with other ids
        if kind == "slow":
            time.sleep(fault.delay)
            return False
        if kind == "malformed":
            self._send(200, b'{"jsonrpc":"2.0","result":{"blockhash":"x","transactions":[{"transaction":]}')
            return True
        if kind in ("reset", "truncated"):
            body = _encode(self.server.answer(calls[0]))
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            if kind == "reset":
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            return True
        if kind == "deep":
            deep = b"[" * 100_000 + b"]" * 100_000
            self._send(200, b'{"jsonrpc":"2.0","result":{"blockhash":"x","transactions":[{"transaction":["","base64"],'
                       b'"meta":{"logMessages":' + deep + b'}}]},"id":1}')
            return True
        if kind in ("huge", "many"):
            # A body without end (or with 10^9 transactions): sent until the client hangs up.
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            entry = b'{"transaction":["","base64"],"meta":null},' if kind == "many" else b" " * 65536
            head = b'{"jsonrpc":"2.0","id":1,"result":{"blockhash":"x","transactions":['
            chunk = entry * max(1, 65536 // len(entry))
            try:
                self._chunk(head)
                for _ in range(1_000_000_000 // max(1, chunk.count(b"{"))):
                    self._chunk(chunk)
            except OSError:
                pass
            self.close_connection = True
            return True
        raise ValueError(f"unknown fault {kind}")

    def _chunk(self, data: bytes) -> None:
        self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))

    def _send(self, status: int, body: bytes, headers: dict[str, str] | None = None) -> None:
        if "gzip" in (self.headers.get("Accept-Encoding") or "") and len(body) > 1024 and self.server.compress:
            body = gzip.compress(body, 1)
            headers = {**(headers or {}), "Content-Encoding": "gzip"}
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            for k, v in (headers or {}).items():
                self.send_header(k, v)
            self.end_headers()
            self.wfile.write(body)
        except OSError:
            self.close_connection = True


def _encode(answer: tuple[dict[str, Any], bytes | None]) -> bytes:
    envelope, result = answer
    if result is None:
        return json.dumps(envelope, separators=(",", ":")).encode()
    head = json.dumps({**envelope, "result": 0}, separators=(",", ":")).encode()
    return head.replace(b'"result":0', b'"result":' + result)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, chain: Chain, port: int = 0, compress: bool = True) -> None:
        super().__init__(("127.0.0.1", port), Handler)
        self.chain = chain
        self.compress = compress
        self.faults: list[Fault] = []
        self.requests = 0
        self.max_batch: int | None = None
        self._lock = threading.Lock()

    def inject(self, *faults: Fault) -> None:
        with self._lock:
            self.faults.extend(faults)

    def take_fault(self, calls: list[Any], batch: bool) -> Fault | None:
        with self._lock:
            if batch and self.max_batch is not None and len(calls) > self.max_batch:
                return Fault("batch_refused")
            for f in self.faults:
                if f.times <= 0:
                    continue
                if f.method is not None and not any(c.get("method") == f.method for c in calls):
                    continue
                if f.slot is not None and not any(_slot_of(c) == f.slot for c in calls):
                    continue
                f.times -= 1
                return f
        return None

    def rpc_message(self, code: int, call: dict[str, Any]) -> str:
        slot = _slot_of(call)
        return {
            -32001: f"Block {slot} cleaned up, does not exist on node. First available block: "
                    f"{self.chain.first_available or self.chain.first}",
            -32004: f"Block not available for slot {slot}",
            -32005: "Node is behind by 42 slots",
            -32007: SKIPPED_MESSAGE.format(slot),
            -32009: f"Slot {slot} was skipped, or missing in long-term storage",
            -32015: "Transaction version (1) is not supported by the requesting client. Please try the request "
                    "again with the following configuration parameter: \"maxSupportedTransactionVersion\": 1",
        }.get(code, "error")

    def answer(self, call: Any) -> tuple[dict[str, Any], bytes | None]:
        envelope: dict[str, Any] = {"jsonrpc": "2.0", "id": call.get("id") if isinstance(call, dict) else None}
        try:
            method = call["method"]
            params = call.get("params") or []
            result = getattr(self, "rpc_" + method)(*params)
        except RpcError as e:
            envelope["error"] = {"code": e.code, "message": str(e)}
            return envelope, None
        except (AttributeError, KeyError, TypeError, ValueError) as e:
            envelope["error"] = {"code": -32602, "message": f"Invalid params: {e}"}
            return envelope, None
        return envelope, result if isinstance(result, bytes) else json.dumps(result).encode()

    # --- methods ---
    def rpc_getSlot(self, config: dict[str, Any] | None = None) -> int:
        return self.chain.tip()

    def rpc_getFirstAvailableBlock(self) -> int:
        return self.chain.first_available or self.chain.first

    def rpc_getBlocks(self, start: int, end: int | None = None, config: dict[str, Any] | None = None) -> list[int]:
        end = min(end if end is not None else self.chain.tip(), self.chain.tip())
        if end - start > 500_000:
            raise RpcError(-32602, "Slot range too large; max 500000")
        return [s for s in range(max(start, self.chain.first), end + 1) if self.chain.has_block(s)]

    def rpc_getBlock(self, slot: int, config: dict[str, Any] | None = None) -> bytes:
        config = config or {}
        chain = self.chain
        if chain.first_available is not None and slot < chain.first_available:
            raise RpcError(-32001, self.rpc_message(-32001, {"params": [slot]}))
        if slot > chain.tip():
            raise RpcError(-32004, self.rpc_message(-32004, {"params": [slot]}))
        if not chain.has_block(slot):
            raise RpcError(-32007, SKIPPED_MESSAGE.format(slot))
        if chain.max_version(slot) > config.get("maxSupportedTransactionVersion", -1):
            raise RpcError(-32015, self.rpc_message(-32015, {}))
        body = chain.block(slot, config.get("encoding", "json"))
        chain.served.setdefault(slot, time.time())
        return body

    def rpc_getSignaturesForAddress(self, address: str, config: dict[str, Any] | None = None) -> list[Any]:
        config = config or {}
        limit = min(int(config.get("limit", 1000)), 1000)
        history = self.chain.history() if address == WATCHED else []
        names = [borsh.b58encode(sig) for sig, _, _ in history]
        start = names.index(config["before"]) + 1 if config.get("before") in names else 0
        out = []
        for name, (sig, slot, t) in zip(names[start:], history[start:]):
            if name == config.get("until") or len(out) == limit:
                break
            out.append({"signature": name, "slot": slot, "err": t.meta.get("err"), "memo": None,
                        "blockTime": self.chain.block_time(slot), "confirmationStatus": "finalized"})
        return out

    def rpc_getTransaction(self, signature: str, config: dict[str, Any] | None = None) -> Any:
        config = config or {}
        for sig, slot, t in self.chain.history():
            if borsh.b58encode(sig) == signature:
                if isinstance(t.version, int) and t.version > config.get("maxSupportedTransactionVersion", -1):
                    raise RpcError(-32015, self.rpc_message(-32015, {}))
                entry = t.with_signature(sig, config.get("encoding", "json"))
                return {**entry, "slot": slot, "blockTime": self.chain.block_time(slot)}
        return None

    def rpc_getProgramAccounts(self, program: str, config: dict[str, Any] | None = None) -> Any:
        config = config or {}
        accounts = [a for a in _accounts() if a["account"]["owner"] == program]
        for f in config.get("filters") or []:
            if "dataSize" in f:
                accounts = [a for a in accounts if len(base64.b64decode(a["account"]["data"][0])) == f["dataSize"]]
            elif "memcmp" in f:
                offset, want = f["memcmp"]["offset"], borsh.b58decode(f["memcmp"]["bytes"])
                accounts = [a for a in accounts
                            if base64.b64decode(a["account"]["data"][0])[offset:offset + len(want)] == want]
        if config.get("encoding") == "base64+zstd":
            try:
                from compression import zstd  # Python 3.14
            except ImportError:
                raise RpcError(-32602, "Invalid params: unknown encoding base64+zstd") from None
            accounts = [{**a, "account": {**a["account"], "data": [base64.b64encode(zstd.compress(
                base64.b64decode(a["account"]["data"][0]))).decode(), "base64+zstd"]}} for a in accounts]
        if config.get("withContext"):
            return {"context": {"slot": self.chain.tip()}, "value": accounts}
        return accounts


def _slot_of(call: Any) -> int | None:
    params = call.get("params") if isinstance(call, dict) else None
    if params and isinstance(params[0], int):
        return params[0]
    return None


class Node:
    """The node in a thread of this process: `with Node(chain) as node: node.url`."""

    def __init__(self, chain: Chain | None = None, compress: bool = True) -> None:
        self.chain = chain or Chain()
        self.server = Server(self.chain, compress=compress)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        self._thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)

    def __enter__(self) -> "Node":
        self._thread.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.server.shutdown()
        self.server.server_close()
        self._thread.join(5)


def main() -> None:
    import argparse

    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--slots", default=f"{FIRST_SLOT}:{FIRST_SLOT + 199}")
    p.add_argument("--grow", type=float, default=0.0, help="follow: new slots per second")
    p.add_argument("--per-block", type=int, default=6, help="transactions per block, at most")
    p.add_argument("--seconds", type=float, default=3600.0, help="stops by itself after this long")
    p.add_argument("--no-gzip", action="store_true", help="never compress answers")
    args = p.parse_args()
    first, last = (int(x) for x in args.slots.split(":"))
    chain = Chain(first, last, per_block=args.per_block, grow_per_second=args.grow)
    with Node(chain, compress=not args.no_gzip) as node:
        print(node.url, flush=True)
        try:
            time.sleep(args.seconds)
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main()
