"""Seeds the fuzz corpora (git-ignored fuzz/corpus-*/) from the tests' encoder,
the example logs and the published IDLs in ../shared/idls/ when present.

    python3 fuzz/make_corpus.py
"""

from __future__ import annotations

import base64
import hashlib
import json
import sys
from pathlib import Path

FUZZ = Path(__file__).resolve().parent
REPO = FUZZ.parent
sys.path.insert(0, str(REPO / "tests"))

import borsh  # noqa: E402

LAYOUTS = json.loads((FUZZ / "layouts.json").read_text())
EVENTS = [e["name"] for e in LAYOUTS["events"]]


def write(corpus: str, data: bytes) -> None:
    folder = FUZZ / f"corpus-{corpus}"
    folder.mkdir(exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)


def payloads() -> list[bytes]:
    """Fuzz inputs for payload_fuzz: event index byte + body."""
    values = {
        "Scalars": {"bool": True, "u8": 255, "i8": -1, "u16": 513, "i16": -2, "u32": 7, "i32": -7, "f32": 1.5,
                    "u64": 2**63, "i64": -(2**63), "f64": -0.25, "u128": 2**127, "i128": -(2**100), "u256": 2**255 + 1,
                    "i256": -(2**200), "bytes": b"\x00\xff", "string": "héllo ✓", "pubkey": bytes(range(32))},
        "Containers": {"o": 3, "v": ["a", "bc"], "a": [1, 2, 3], "vo": [None, bytes(32)], "aa": [[1, 2], [3, 4]],
                       "ov": [b"x"], "ab": [], "ai": [1, -1]},
        "Tree": {"value": 1, "children": [{"value": 2, "children": []},
                                          {"value": 3, "children": [{"value": 4, "children": []}]}]},
        "List": {"head": 1, "tail": {"head": 2, "tail": None}},
        "Tuple": [7, "t", {"Poly": [[[1, 2], [3, 4]], 9]}],
        "Aliases": {"a": 5, "b": [1, 2], "shape": {"Circle": {"r": 2.0, "label": "c"}},
                    "t": [1, "", {"Nested": ["Dot"]}]},
        "ZeroSized": {"units": [{}] * 1000, "zero": []},
        "Empty": {}, "Unit": {},
    }
    out = []
    for name, value in values.items():
        body = borsh.encode_event(LAYOUTS, name, value)[8:]
        out.append(bytes([EVENTS.index(name)]) + body)
    for index in range(len(EVENTS)):
        for body in (b"", b"\x00" * 16, b"\x01" * 64, b"\x02\x00\x00\x00" * 8, b"\xff" * 40):
            out.append(bytes([index]) + body)
    out.append(bytes([EVENTS.index("Cycles"), 1, 1, 1, 1]))
    out.append(bytes([EVENTS.index("Deep")]) + b"\x01" * 300)
    out.append(bytes([EVENTS.index("Generics"), 1, 1]))
    return out


def disc_line(payload: bytes) -> bytes:
    disc = bytes([payload[0] % len(EVENTS)]) + b"\xf0\xf1\xf2\xf3\xf4\xf5\xf6"
    return b"Program data: " + base64.b64encode(disc + payload[1:])


def main() -> None:
    for p in payloads():
        write("payload", p)
        write("table", p)
        write("log_line", disc_line(p))
    for line in (REPO / "examples" / "logs.txt").read_bytes().splitlines():
        write("log_line", line)
    for extra in (b"Program data: ", b"Program log: \xe2\x80\x83 AAAA\xc2\xa0", b"Program data:   =", b"\xff\xfe"):
        write("log_line", extra)
    write("idl_loader", (FUZZ / "layouts.json").read_bytes())
    write("idl_loader", (REPO / "examples" / "events_idl.json").read_bytes())
    shared = REPO.parent / "shared" / "idls"
    for path in sorted(shared.glob("*.json")) if shared.is_dir() else ():
        write("idl_loader", path.read_bytes())
    # Codama documents, then NUL, a program pick and data: the documents' own
    # instructions' discriminators lead the data.
    for path in sorted((shared / "codama").glob("*.json")) if shared.is_dir() else ():
        write("codama", path.read_bytes())
        for pick, data in ((0, b"\x03" + bytes(8)), (1, b"\x02" + bytes(12)), (0x80, bytes(165)), (0x81, bytes(82))):
            write("codama", b'{"kind":"rootNode"}\0' + bytes([pick]) + data)
    transactions = REPO.parent / "shared" / "transactions"
    import transactions as txs  # the tests' writer of transactions
    for path in sorted(transactions.glob("*.json")) if transactions.is_dir() else ():
        text = path.read_bytes()
        write("rpc_json", text)
        write("rpc_json", json.dumps(json.loads(text), separators=(",", ":")).encode() + b"\n" + text[:200])
        value = json.loads(text)
        value = value[0] if isinstance(value, list) and value else value
        value = value.get("result", value) if isinstance(value, dict) else None
        if isinstance(value, dict) and isinstance(value.get("transaction"), dict):
            v1 = txs.as_v1(value, {"priority_fee": 5000, "heap_size": 65536})
            if v1 is not None:  # the same as version 1, in the wire format
                write("rpc_json", json.dumps(v1, separators=(",", ":")).encode())
    accounts = REPO.parent / "shared" / "accounts"
    for path in sorted(accounts.glob("*/*.json")) if accounts.is_dir() else ():
        write("accounts", path.read_bytes())
    owned = '{"pubkey":"k","account":{"owner":"p","lamports":1,"data":["%s","%s"]}}'
    for data, encoding in (("QgAAAAAAAAAA", "base64"), ("Wg==", "base64"), ("KLUv/QBYSQAAWgE=", "base64+zstd"),
                           ("2Lw", "base58")):
        write("accounts", (owned % (data, encoding)).encode())
    # The walker's input: logs, and "#group program data height" inner instructions.
    ours, other = "Prog1111111111111111111111111111111111111111", "Other333333333333333333333333333333333333333"
    tag = bytes.fromhex("e445a52e51cb9a1d")
    for p in payloads()[:4]:
        event = borsh.b58encode(tag + bytes([p[0]]) + b"\xf0\xf1\xf2\xf3\xf4\xf5\xf6" + p[1:])
        logs = [f"Program {ours} invoke [1]", disc_line(p).decode(), f"Program {other} invoke [2]",
                f"Program {other} success", f"Program {ours} invoke [2]", f"Program {ours} success",
                f"#A P {event} 2", f"Program {ours} consumed 5 of 10 compute units", f"Program {ours} success",
                "Log truncated"]
        write("tx_walk", "\n".join(logs).encode())
    print("corpora:", ", ".join(f"{p.name} {len(list(p.iterdir()))}" for p in sorted(FUZZ.glob("corpus-*"))))


if __name__ == "__main__":
    main()
