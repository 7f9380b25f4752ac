"""Helpers shared by the module's tests: IDL builders and the test-hook module."""

from __future__ import annotations

import json
import math
import sys
from pathlib import Path
from typing import Any

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import borsh  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
SHARED_IDLS = REPO.parent / "shared" / "idls"


def make_idl(types: list[dict[str, Any]], events: list[str | tuple[str, list[int]]] | None = None) -> dict[str, Any]:
    """A current ("0.1.0") IDL; events by name (discriminator from the name) or
    as (name, discriminator)."""
    event_list = []
    for e in events or []:
        name, disc = (e, list(borsh.discriminator(e))) if isinstance(e, str) else e
        event_list.append({"name": name, "discriminator": disc})
    return {
        "address": "11111111111111111111111111111111",
        "metadata": {"name": "t", "version": "0.1.0", "spec": "0.1.0"},
        "instructions": [],
        "events": event_list,
        "types": types,
    }


def jsonable(value: Any) -> Any:
    """A decoded value as the command line writes it, made by hand: bytes as hex,
    non-finite floats as strings (the reference the native JSON text is held to)."""
    if isinstance(value, dict):
        return {k: jsonable(v) for k, v in value.items()}
    if isinstance(value, list):
        return [jsonable(v) for v in value]
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    return value


def reading_spy(decoder_class: type, readings: list[str]) -> type:
    """A stand-in for `decoder_class` that notes in `readings` the name of each
    method called with an input, for a command that should read it once."""

    class Spy:
        def __init__(self, *args: Any, **kw: Any) -> None:
            self.decoder = decoder_class(*args, **kw)
            self.programs = self.decoder.programs

        def __getattr__(self, name: str) -> Any:
            def read(data: Any, **kw: Any) -> Any:
                readings.append(name)
                return getattr(self.decoder, name)(data, **kw)
            return read

    return Spy


def struct(name: str, fields: Any = None) -> dict[str, Any]:
    body: dict[str, Any] = {"kind": "struct"}
    if fields is not None:
        body["fields"] = fields
    return {"name": name, "type": body}


def enum(name: str, variants: list[dict[str, Any]]) -> dict[str, Any]:
    return {"name": name, "type": {"kind": "enum", "variants": variants}}


def alias(name: str, ty: Any) -> dict[str, Any]:
    return {"name": name, "type": {"kind": "type", "alias": ty}}


def one_field_idl(ty: Any, extra_types: list[dict[str, Any]] = ()) -> dict[str, Any]:
    """An event "E" whose struct has the one field "v" of type `ty`."""
    return make_idl([struct("E", [{"name": "v", "type": ty}]), *extra_types], ["E"])


@pytest.fixture(scope="session")
def hooks():
    return pytest.importorskip("brisquel._brisquel_testing", reason="built without BRISQUEL_TEST_HOOKS")


@pytest.fixture(scope="session")
def decode(hooks):
    """decode(idl, body, event="E") -> ("ok", fields) or ("error", text)."""

    def run(idl: dict[str, Any], body: bytes, event: str = "E"):
        return hooks.decode_event(json.dumps(idl), event, body)

    return run
