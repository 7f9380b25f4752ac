"""Log lines that carry random values for the events of a real IDL (current or
legacy type JSON)."""

from __future__ import annotations

import random
from collections.abc import Mapping
from typing import Any

from encoder import borsh

Unsupported = borsh.Unsupported


def event_line(idl: Mapping[str, Any], types: Mapping[str, Any], event: Mapping[str, Any],
               rng: random.Random) -> str:
    """A log line of `event` with random field values; Unsupported when the
    event's types cannot be generated."""
    name = event["name"]
    disc = bytes(event["discriminator"]) if "discriminator" in event else borsh.discriminator(name)
    if "fields" in event:  # legacy: the event lists its own fields
        fields = event["fields"]
    else:
        body = types[name]["type"]
        if body.get("generics"):
            raise Unsupported("generic event")
        fields = body.get("fields")
    try:
        body = borsh.encode_fields(fields, borsh.random_fields(fields, types, rng), types)
    except (KeyError, ValueError, TypeError) as e:
        raise Unsupported(str(e)) from e
    return borsh.log_line(disc + body)
