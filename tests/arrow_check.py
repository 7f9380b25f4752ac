"""Whether a table row holds the value parse_logs gives, read by the column's
Arrow type and its brisquel.encoding mark, so no IDL is needed to check it."""

from __future__ import annotations

import json
import math
from typing import Any

import borsh
from arrow_reader import table, types
from conftest import jsonable

ENCODING = b"brisquel.encoding"


def encoding(field: Any) -> bytes | None:
    return (field.metadata or {}).get(ENCODING)


def same_row(schema: Any, row: dict[str, Any], fields: Any) -> bool:
    """Whether a to_pylist() row (context columns aside) is `fields`, a dict or list from parse_logs."""
    names = [f.name for f in schema if not f.name.startswith("_")]
    if isinstance(fields, list):
        return names == [str(i) for i in range(len(fields))] and all(
            same(schema.field(n), row[n], v) for n, v in zip(names, fields, strict=True))
    return names == list(fields) and all(same(schema.field(n), row[n], fields[n]) for n in names)


def same(field: Any, got: Any, want: Any) -> bool:
    mark, t = encoding(field), field.type
    if mark == b"json":
        return got is not None and json.loads(got) == json.loads(json.dumps(jsonable(want)))
    if got is None:
        return want is None
    if mark == b"present":
        return got is True and want == {}
    if mark == b"decimal" or types.is_decimal(t):
        return int(got) == want
    if mark == b"option":
        return same(t.field(0), got["value"], want)
    if mark == b"enum":
        data = [(t.field(i), got[t.field(i).name]) for i in range(1, t.num_fields) if got[t.field(i).name] is not None]
        if isinstance(want, str):
            return got["variant"] == want and not data
        ((name, value),) = want.items()
        return got["variant"] == name and len(data) == 1 and same(data[0][0], data[0][1], value)
    if types.is_fixed_size_binary(t):
        return borsh.b58encode(got) == want
    if types.is_list(t) or types.is_fixed_size_list(t):
        return len(got) == len(want) and all(same(t.value_field, g, w) for g, w in zip(got, want))
    if types.is_struct(t):
        if isinstance(want, list):
            return [t.field(i).name for i in range(t.num_fields)] == [str(i) for i in range(len(want))] and all(
                same(t.field(i), got[str(i)], w) for i, w in enumerate(want))
        return [t.field(i).name for i in range(t.num_fields)] == list(want) and all(
            same(t.field(k), got[k], w) for k, w in want.items())
    if isinstance(want, float):
        return got == want or (math.isnan(got) and math.isnan(want))
    return type(got) is type(want) and got == want


def check_tables(decoded: Any, expected: list[tuple[str, Any]], keys: dict[str, str] | None = None) -> None:
    """`decoded` (a DecodedEvents of flat input) holds exactly the rows of
    `expected` (parse_logs' pairs with the line each came from, as
    (line, name, fields)), each in its event's table, in line order."""
    rows: dict[Any, list[tuple[int, Any]]] = {}
    for line, name, fields in expected:
        rows.setdefault((keys or {}).get(name, name), []).append((line, fields))
    for key, events in decoded.items():
        t = table(events)
        got = t.to_pylist()
        want = rows.get(key, [])
        assert [r["_line"] for r in got] == [line for line, _ in want], key
        for row, (line, fields) in zip(got, want):
            assert same_row(t.schema, row, fields), (key, line, row, fields)
