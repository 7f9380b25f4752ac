"""What other engines read from an export: every value of every column, read
back by the duckdb command, is the value TransactionDecoder.decode gives for
the same transactions; integers of 128 bits and more come back exact."""

from __future__ import annotations

import json
import re
import shutil
import subprocess
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import borsh
from arrow_check import same_row
from brisquel import TransactionDecoder
from conftest import alias, enum, make_idl, struct
from test_roundtrip import SCALARS, event_case, value_of
from transactions import Call, Tx, encode, key

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
dask = pytest.importorskip("dask")
pytest.importorskip("pandas")
DUCKDB = shutil.which("duckdb")
pytestmark = pytest.mark.skipif(DUCKDB is None, reason="the duckdb command is missing (Debian package duckdb)")

from brisquel.dataset import key_dir, read_events, write_events  # noqa: E402

A = key("every form")
TREE = {"defined": {"name": "Tree"}}
# One field of every column form: scalars, wide integers nested every way, options, lists,
# fixed-size arrays (plain, and nullable as lists), structs named, tuple and empty, enums of
# names and with data, an alias, and a type that contains itself (JSON text).
FORMS = [
    struct("Forms", [
        *({"name": f"s_{t}", "type": t} for t in SCALARS),
        {"name": "opt_u128", "type": {"option": "u128"}},
        {"name": "opt_opt_i128", "type": {"option": {"option": "i128"}}},
        {"name": "vec_i128", "type": {"vec": "i128"}},
        {"name": "arr_u128", "type": {"array": ["u128", 2]}},
        {"name": "opt_arr_u64", "type": {"option": {"array": ["u64", 2]}}},
        {"name": "pair", "type": {"defined": {"name": "Pair"}}},
        {"name": "tup", "type": {"defined": {"name": "Tup"}}},
        {"name": "unit", "type": {"defined": {"name": "Unit"}}},
        {"name": "side", "type": {"defined": {"name": "Side"}}},
        {"name": "action", "type": {"defined": {"name": "Action"}}},
        {"name": "amount", "type": {"defined": {"name": "Amount"}}},
        {"name": "tree", "type": TREE},
    ]),
    struct("Pair", [{"name": "big", "type": "u128"}, {"name": "label", "type": "string"}]),
    struct("Tup", ["i128", "u8"]),
    struct("Unit"),
    enum("Side", [{"name": "Bid"}, {"name": "Ask"}]),
    enum("Action", [{"name": "Idle"}, {"name": "Move", "fields": [{"name": "amount", "type": "u128"}]},
                    {"name": "Burn", "fields": ["i256"]}]),
    alias("Amount", "u128"),
    struct("Tree", [{"name": "children", "type": {"vec": TREE}}]),
]
TREES = st.recursive(st.just({"children": []}), lambda kids: st.builds(lambda c: {"children": c},
                                                                        st.lists(kids, max_size=2)), max_leaves=4)


def forms_values(types: dict) -> st.SearchStrategy:
    fields = FORMS[0]["type"]["fields"]
    return st.fixed_dictionaries({f["name"]: TREES if f["type"] == TREE else value_of(f["type"], types)
                                  for f in fields})


def duckdb_rows(path: str) -> list[dict[str, Any]]:
    out = subprocess.run([DUCKDB, "-json", "-c", f"SELECT * FROM read_parquet('{path}')"], capture_output=True,
                         text=True, timeout=120, check=True).stdout
    return json.loads(out) if out.strip() else []


def from_duckdb(t: Any, v: Any) -> Any:
    """A value of DuckDB's JSON output in the shape pyarrow's to_pylist gives it."""
    if v is None:
        return None
    if pa.types.is_binary(t) or pa.types.is_fixed_size_binary(t):
        return re.sub(r"\\x([0-9A-F]{2})", lambda m: chr(int(m.group(1), 16)), v).encode("latin-1")
    if pa.types.is_integer(t):
        return int(v)  # UBIGINT comes as text
    if pa.types.is_struct(t):
        return {f.name: from_duckdb(f.type, v[f.name]) for f in t}
    if pa.types.is_list(t) or pa.types.is_fixed_size_list(t):
        return [from_duckdb(t.value_type, x) for x in v]
    return v


@settings(max_examples=6, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                                                  HealthCheck.function_scoped_fixture])
@given(data=st.data(), extra=event_case())
def test_duckdb_reads_every_value_of_an_export(tmp_path_factory, data, extra):
    extra_idl, extra_values = extra
    idl = {**make_idl([*FORMS, *extra_idl["types"]], ["Forms", "Ev"]), "address": A}
    forms = data.draw(st.lists(forms_values(borsh.type_table(idl)), min_size=1, max_size=4))
    bodies = [borsh.encode_event(idl, "Forms", v) for v in forms] + [borsh.encode_event(idl, "Ev", v)
                                                                      for v in extra_values]
    how = data.draw(st.lists(st.sampled_from(["log", "cpi", "both"]), min_size=len(bodies), max_size=len(bodies)))
    txs = [encode(Tx([Call(A, [(h, b)])], signature=borsh.b58encode(i.to_bytes(64, "big")), slot=i),
                  data.draw(st.sampled_from(["json", "base64"])))
           for i, (h, b) in enumerate(zip(how, bodies))]
    folder = tmp_path_factory.mktemp("export")
    (source := folder / "txs.jsonl").write_text("".join(json.dumps(t) + "\n" for t in txs))
    idl_json = json.dumps(idl)

    with dask.config.set(scheduler="sync"):
        events = read_events([source], [idl_json])
        write_events(events, folder / "out")
    want: dict[Any, list[Any]] = {k: [] for k in events}
    for e in TransactionDecoder([idl_json]).decode(source.read_text()):
        want[(e.program, e.name)].append(e)
    assert sum(map(len, want.values())) == len(bodies)
    for k, expected in want.items():
        if not expected:  # an event without rows has no dataset
            assert not (folder / "out" / key_dir(k)).exists()
            continue
        part = str(folder / "out" / key_dir(k) / "part-00000.parquet")
        schema = pq.read_schema(part)
        got = duckdb_rows(part)
        assert len(got) == len(expected), k
        for row, e in zip(got, expected):
            row = {f.name: from_duckdb(f.type, row[f.name]) for f in schema}
            assert [row[c] for c in ("_tx", "_signature", "_slot", "_block_time", "_instruction", "_inner", "_depth",
                                     "_source", "_truncated")] == \
                [e.tx, e.signature, e.slot, e.block_time, e.instruction, e.inner, e.depth, e.source, e.truncated]
            assert same_row(schema, row, e.fields), (k, row, e.fields)
