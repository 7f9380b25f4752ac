"""Legacy (pre-0.30) IDL documents, end to end: converted on load, their events
decoded under snake-case field names with derived discriminators."""

from __future__ import annotations

import hashlib
import json
import pathlib
import random

import pytest

try:
    import brisquel
except ImportError:
    pytest.skip("the brisquel package is not importable", allow_module_level=True)

import borsh

IDLS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "idls"
LEGACY_FILES = sorted(IDLS.glob("*-legacy.json")) if IDLS.is_dir() else []
FILE_PARAMS = [pytest.param(p, id=p.name) for p in LEGACY_FILES] or [
    pytest.param(None, marks=pytest.mark.skip(reason="../shared/idls/ is not available"))
]
NO_ADDRESS = "failed to parse IDL: Program id missing in `idl.metadata.address` field"
ADDRESS = "SwapProg11111111111111111111111111111111111"

KEY_A = borsh.b58encode(bytes(range(32)))
KEY_B = borsh.b58encode(bytes(range(100, 132)))
ZERO_KEY = "1" * 32

SWAP_IDL = {
    "version": "0.3.0",
    "name": "swapper",
    "instructions": [
        {
            "name": "swapExactIn",
            "accounts": [{"name": "userAuthority", "isMut": False, "isSigner": True}],
            "args": [{"name": "amountIn", "type": "u64"}],
        }
    ],
    "types": [
        {
            "name": "PoolKeys",
            "type": {
                "kind": "struct",
                "fields": [{"name": "baseMint", "type": "publicKey"}, {"name": "lpSupply", "type": "u128"}],
            },
        },
        {
            "name": "Side",
            "type": {
                "kind": "enum",
                "variants": [
                    {"name": "Bid"},
                    {"name": "askLimit", "fields": [{"name": "maxPrice", "type": "u64"}]},
                    {"name": "Pair", "fields": ["u8", "bool"]},
                ],
            },
        },
        # Same name as the event below: the event's own layout must win.
        {"name": "SwapDone", "type": {"kind": "struct", "fields": [{"name": "unrelated", "type": "string"}]}},
    ],
    "events": [
        {
            "name": "SwapDone",
            "fields": [
                {"name": "userAuthority", "type": "publicKey", "index": False},
                {"name": "amountIn", "type": "u64", "index": False},
                {"name": "poolKeys", "type": {"defined": "PoolKeys"}, "index": False},
                {"name": "side", "type": {"defined": "Side"}, "index": True},
                {"name": "recentFills", "type": {"vec": {"option": "publicKey"}}, "index": False},
                {"name": "NFTMetadata", "type": {"array": ["u8", 2]}, "index": False},
            ],
        },
        {"name": "Paused", "fields": []},
    ],
    "metadata": {"address": ADDRESS},
}


def swap_fields(side):
    return {
        "userAuthority": KEY_A,
        "amountIn": 2**64 - 1,
        "poolKeys": {"baseMint": KEY_B, "lpSupply": 2**128 - 1},
        "side": side,
        "recentFills": [None, ZERO_KEY],
        "NFTMetadata": [1, 255],
    }


def decoded_swap(side):
    return {
        "user_authority": KEY_A,
        "amount_in": 2**64 - 1,
        "pool_keys": {"base_mint": KEY_B, "lp_supply": 2**128 - 1},
        "side": side,
        "recent_fills": [None, ZERO_KEY],
        "nft_metadata": [1, 255],
    }


def test_legacy_events_decode_with_snake_case_fields_and_derived_discriminators():
    decoder = brisquel.EventDecoder(json.dumps(SWAP_IDL))
    assert decoder.event_names == ["SwapDone", "Paused"]

    swap_disc = hashlib.sha256(b"event:SwapDone").digest()[:8]
    paused_disc = hashlib.sha256(b"event:Paused").digest()[:8]
    types = borsh.type_table(SWAP_IDL)
    swap_layout = borsh.event_fields(SWAP_IDL, "SwapDone")

    def swap_line(side, prefix="Program data: "):
        return borsh.log_line(swap_disc + borsh.encode_fields(swap_layout, swap_fields(side), types), prefix)

    logs = [
        swap_line({"askLimit": {"maxPrice": 7}}),
        "Program log: Instruction: SwapExactIn",
        swap_line("Bid", prefix="Program log: "),
        swap_line({"Pair": [3, True]}),
        borsh.log_line(paused_disc),
        # The camel-case name's discriminator is not the event's.
        borsh.log_line(hashlib.sha256(b"event:swapDone").digest()[:8] + b"\0" * 8),
    ]
    assert decoder.parse_logs(logs) == [
        ("SwapDone", decoded_swap({"askLimit": {"max_price": 7}})),
        ("SwapDone", decoded_swap("Bid")),
        ("SwapDone", decoded_swap({"Pair": [3, True]})),
        ("Paused", {}),
    ]


@pytest.mark.parametrize(
    "metadata",
    [None, "addr", ["addr"], {"origin": "x"}, {"address": 5}],
    ids=["null", "string", "array", "no-address", "numeric-address"],
)
def test_legacy_document_without_an_address_is_refused(metadata):
    document = dict(SWAP_IDL, metadata=metadata)
    with pytest.raises(ValueError) as raised:
        brisquel.EventDecoder(json.dumps(document))
    assert str(raised.value) == NO_ADDRESS


def read_legacy(path):
    text = path.read_text(encoding="utf-8")
    return text, json.loads(text)


def event_names(document):
    return [e["name"] for e in document.get("events") or []]


@pytest.mark.parametrize("path", FILE_PARAMS)
def test_published_legacy_idl_loads_only_with_its_address(path):
    text, document = read_legacy(path)
    metadata = document.get("metadata")
    if isinstance(metadata, dict) and isinstance(metadata.get("address"), str):
        assert brisquel.EventDecoder(text).event_names == event_names(document)
    else:
        with pytest.raises(ValueError) as raised:
            brisquel.EventDecoder(text)
        assert str(raised.value) == NO_ADDRESS


def values_only(value):
    """Decoded and encoded values side by side: field names differ in case, so
    containers are compared by their values in order."""
    if isinstance(value, dict):
        return [values_only(v) for v in value.values()]
    if isinstance(value, list):
        return [values_only(v) for v in value]
    return value


@pytest.mark.parametrize("path", FILE_PARAMS)
def test_published_legacy_idl_decodes_with_a_given_address(path):
    text, _ = read_legacy(path)
    text = brisquel.with_program_address(text, ADDRESS)
    document = json.loads(text)
    decoder = brisquel.EventDecoder(text)
    assert decoder.event_names == event_names(document)

    rng = random.Random(path.name)
    types = borsh.type_table(document)
    lines, expected, unsupported = [], [], []
    for event in document.get("events") or []:
        # Events of one name share the last one's layout, as in the decoder.
        try:
            value = borsh.random_fields(borsh.event_fields(document, event["name"]), types, rng)
        except borsh.Unsupported as e:
            unsupported.append(f"{event['name']}: {e}")
            continue
        lines.append(borsh.log_line(borsh.encode_event(document, event["name"], value)))
        expected.append((event["name"], value))
    if not lines:
        pytest.skip(f"{path.name}: no event the test encoder can make values for "
                    f"({'; '.join(unsupported) or 'no events'})")

    decoded = decoder.parse_logs(lines)
    assert [name for name, _ in decoded] == [name for name, _ in expected]
    for (name, fields), (_, value) in zip(decoded, expected, strict=True):
        assert values_only(fields) == values_only(value), name
        assert all(key == key.lower() and " " not in key for key in fields), name
