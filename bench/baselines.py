"""The floors a batch is compared with: loading the same Python objects from
marshal (exactly the result's objects), and, as peers, from JSON and
MessagePack texts of the same events."""

from __future__ import annotations

import json
import marshal
from collections.abc import Callable
from typing import Any

import msgspec

_I64_MIN, _U64_MAX = -(2**63), 2**64 - 1


def _json_ready(value: Any) -> Any:
    # JSON has no byte strings: they travel as hex text.
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, dict):
        return {k: _json_ready(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_ready(v) for v in value]
    return value


def _msgpack_ready(value: Any) -> Any:
    # MessagePack integers stop at 64 bits: wider ones travel as decimal text.
    if isinstance(value, int) and not isinstance(value, bool) and not _I64_MIN <= value <= _U64_MAX:
        return str(value)
    if isinstance(value, dict):
        return {k: _msgpack_ready(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_msgpack_ready(v) for v in value]
    return value


def loaders(result: list[Any]) -> dict[str, Callable[[], Any]]:
    """name -> a call that builds the objects of `result` from its serialised form."""
    marshalled = marshal.dumps(result)
    json_text = json.dumps(_json_ready(result))
    packed = msgspec.msgpack.encode(_msgpack_ready(result))
    decode_msgpack = msgspec.msgpack.Decoder().decode
    return {
        "marshal": lambda: marshal.loads(marshalled),
        "json": lambda: json.loads(json_text),
        "msgpack": lambda: decode_msgpack(packed),
    }
