"""Help for legacy (pre-0.30) IDL documents."""

from __future__ import annotations

import json
from typing import Any


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"not JSON: {name}")


def with_program_address(idl_json: str, address: str) -> str:
    """Return `idl_json` with `address` as the program address of a legacy IDL.

    Legacy documents name their program in `metadata.address`, and many
    published ones leave it out, which `EventDecoder` refuses. This puts
    `address` there, creating `metadata` when it is absent or null. The text is
    returned unchanged when it is not valid JSON, is not a JSON object, is a
    current document (its `metadata.spec` is a string), already has a string
    `metadata.address`, or has a `metadata` that is not an object.
    """
    try:
        document = json.loads(idl_json, parse_constant=_refuse_constant)
    except ValueError:
        return idl_json
    if not isinstance(document, dict):
        return idl_json
    metadata = document.get("metadata")
    if metadata is None:
        metadata = document["metadata"] = {}
    if not isinstance(metadata, dict):
        return idl_json
    if isinstance(metadata.get("spec"), str) or isinstance(metadata.get("address"), str):
        return idl_json
    metadata["address"] = address
    return json.dumps(document, ensure_ascii=False)
