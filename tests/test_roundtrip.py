"""Random IDL types and values, encoded by tests/borsh.py, decode back to the
same values through parse_logs."""

from __future__ import annotations

import json

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import borsh
from brisquel import EventDecoder, TableDecoder
from conftest import make_idl

INTS = {
    "u8": (0, 2**8 - 1), "i8": (-2**7, 2**7 - 1), "u16": (0, 2**16 - 1), "i16": (-2**15, 2**15 - 1),
    "u32": (0, 2**32 - 1), "i32": (-2**31, 2**31 - 1), "u64": (0, 2**64 - 1), "i64": (-2**63, 2**63 - 1),
    "u128": (0, 2**128 - 1), "i128": (-2**127, 2**127 - 1), "u256": (0, 2**256 - 1), "i256": (-2**255, 2**255 - 1),
}
SCALARS = ["bool", "f32", "f64", "bytes", "string", "pubkey", *INTS]


@st.composite
def idl_type(draw, defs: list, depth: int = 0):
    """A type expression; named definitions it needs are appended to `defs`."""
    if depth >= 3 or draw(st.integers(0, 2)) == 0:
        return draw(st.sampled_from(SCALARS))
    kind = draw(st.sampled_from(["option", "vec", "array", "struct", "tuple", "unit", "enum", "alias"]))
    if kind in ("option", "vec"):
        return {kind: draw(idl_type(defs, depth + 1))}
    if kind == "array":
        return {"array": [draw(idl_type(defs, depth + 1)), draw(st.integers(0, 3))]}
    name = f"T{len(defs)}"
    defs.append(None)  # reserve the name before the body adds its own
    slot = len(defs) - 1
    if kind == "struct":
        body = {"kind": "struct", "fields": draw(named_fields(defs, depth + 1))}
    elif kind == "tuple":
        body = {"kind": "struct", "fields": draw(st.lists(idl_type(defs, depth + 1), min_size=1, max_size=3))}
    elif kind == "unit":
        body = {"kind": "struct"}
    elif kind == "alias":
        body = {"kind": "type", "alias": draw(idl_type(defs, depth + 1))}
    else:
        variants = []
        for i in range(draw(st.integers(1, 4))):
            shape = draw(st.sampled_from(["unit", "named", "tuple"]))
            v = {"name": f"V{i}"}
            if shape == "named":
                v["fields"] = draw(named_fields(defs, depth + 1))
            elif shape == "tuple":
                v["fields"] = draw(st.lists(idl_type(defs, depth + 1), min_size=1, max_size=2))
            variants.append(v)
        body = {"kind": "enum", "variants": variants}
    defs[slot] = {"name": name, "type": body}
    return {"defined": {"name": name}}


@st.composite
def named_fields(draw, defs: list, depth: int):
    n = draw(st.integers(0, 3))
    return [{"name": f"f{i}", "type": draw(idl_type(defs, depth))} for i in range(n)]


def value_of(ty, types: dict) -> st.SearchStrategy:
    """Values of type `ty`, in the shapes the decoder returns."""
    if isinstance(ty, str):
        if ty in INTS:
            return st.integers(*INTS[ty])
        return {
            "bool": st.booleans(),
            "f32": st.floats(width=32, allow_nan=False),
            "f64": st.floats(allow_nan=False),
            "bytes": st.binary(max_size=12),
            "string": st.text(max_size=12),
            "pubkey": st.binary(min_size=32, max_size=32).map(borsh.b58encode),
        }[ty]
    (kind, arg), = ty.items()
    if kind == "option":
        return st.none() | value_of(arg, types)
    if kind == "vec":
        return st.lists(value_of(arg, types), max_size=3)
    if kind == "array":
        return st.lists(value_of(arg[0], types), min_size=arg[1], max_size=arg[1])
    body = types[arg["name"]]["type"]
    if body["kind"] == "type":
        return value_of(body["alias"], types)
    if body["kind"] == "struct":
        return fields_value(body.get("fields"), types)
    options = []
    for v in body["variants"]:
        if "fields" not in v:
            options.append(st.just(v["name"]))
        else:
            options.append(fields_value(v["fields"], types).map(lambda x, n=v["name"]: {n: x}))
    return st.one_of(options)


def fields_value(fields, types: dict) -> st.SearchStrategy:
    if fields is None:
        return st.just({})
    if all(isinstance(f, dict) and "name" in f for f in fields):
        return st.fixed_dictionaries({f["name"]: value_of(f["type"], types) for f in fields})
    return st.tuples(*(value_of(t, types) for t in fields)).map(list)


@st.composite
def event_case(draw):
    defs: list = []
    fields = draw(named_fields(defs, 0)) if draw(st.booleans()) else draw(
        st.lists(idl_type(defs, 0), min_size=1, max_size=3))
    idl = make_idl([{"name": "Ev", "type": {"kind": "struct", "fields": fields}}, *defs], ["Ev"])
    types = borsh.type_table(idl)
    values = draw(st.lists(fields_value(fields, types), min_size=1, max_size=3))
    return idl, values


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(event_case())
def test_random_types_round_trip(case):
    idl, values = case
    decoder = EventDecoder(json.dumps(idl))
    lines = []
    for value in values:
        lines += ["Program log: Instruction: Emit", borsh.log_line(borsh.encode_event(idl, "Ev", value))]
    assert decoder.parse_logs(lines) == [("Ev", v) for v in values]
    # The JSON sink writes, byte for byte, what the command line wrote of the Python values.
    from conftest import jsonable
    tables = TableDecoder(json.dumps(idl))
    assert tables.parse_logs(lines, json_fields=True) == [
        (name, json.dumps(jsonable(v), ensure_ascii=False)) for name, v in tables.parse_logs(lines)]
