"""parse_logs: batch conversion, line prefixes, trimming, strict base64 and
discriminator matching."""

from __future__ import annotations

import base64
import collections
import json

import pytest

from borsh import discriminator, encode_event, log_line
from brisquel import EventDecoder
from conftest import make_idl, struct

IDL = make_idl([
    struct("Transfer", [{"name": "amount", "type": "u64"}, {"name": "memo", "type": "string"}]),
    struct("Empty"),
    struct("Byte", [{"name": "b", "type": "u8"}]),
    struct("Pair", ["u8", "u16"]),
], ["Transfer", "Empty", "Byte", "Pair"])
DECODER = EventDecoder(json.dumps(IDL))
TRANSFER = encode_event(IDL, "Transfer", {"amount": 5, "memo": "hi"})
B64 = base64.b64encode(TRANSFER).decode()
EXPECTED = ("Transfer", {"amount": 5, "memo": "hi"})


@pytest.mark.parametrize("line, decoded", [
    ("Program data: " + B64, True),
    ("Program log: " + B64, True),
    ("Program data: \t " + B64 + "\r\n", True),
    ("Program data: \u3000\u00a0" + B64 + "\u2029\u0085", True),
    ("Program data:" + B64, False),          # no space after the colon
    (" Program data: " + B64, False),         # nothing may precede the prefix
    ("\tProgram log: " + B64, False),
    ("program data: " + B64, False),
    ("Program return: " + B64, False),
    ("Program data: " + B64[:-1], False),     # truncated
    ("Program data: " + B64.rstrip("="), False),  # padding dropped
    ("Program data: " + B64[:8] + " " + B64[8:], False),  # inner white space
    ("Program data: \u200b" + B64, False),    # U+200B is not white space
    ("Program data: ", False),
    ("Program log: ", False),
    ("Program log: Instruction: Swap", False),
])
def test_line_forms(line, decoded):
    assert DECODER.parse_logs([line]) == ([EXPECTED] if decoded else [])


def test_only_the_standard_alphabet():
    payload = discriminator("Empty") + bytes(range(256))
    standard, url_safe = base64.b64encode(payload).decode(), base64.urlsafe_b64encode(payload).decode()
    assert standard != url_safe
    assert DECODER.parse_logs(["Program data: " + standard, "Program data: " + url_safe]) == [("Empty", {})]


def test_payload_lengths_and_matching():
    empty, byte = discriminator("Empty"), discriminator("Byte")
    assert DECODER.parse_logs([log_line(empty)]) == [("Empty", {})]
    assert DECODER.parse_logs([log_line(byte)]) == []                 # the u8 is missing
    assert DECODER.parse_logs([log_line(byte + b"\x09\xff\xff")]) == [("Byte", {"b": 9})]  # extra bytes ignored
    assert DECODER.parse_logs([log_line(empty[:7])]) == []            # shorter than a discriminator
    assert DECODER.parse_logs([log_line(b"\0" * 8)]) == []            # unknown discriminator
    assert DECODER.parse_logs([log_line(discriminator("Pair") + b"\x01\x02\x00")]) == [("Pair", [1, 2])]


def test_batch_order_and_failures_in_between():
    lines = [
        "Program X invoke [1]", log_line(TRANSFER), log_line(discriminator("Byte")),
        "Program log: " + B64, "Program X success", log_line(discriminator("Empty")),
    ]
    assert DECODER.parse_logs(lines) == [EXPECTED, EXPECTED, ("Empty", {})]
    assert DECODER.parse_logs(tuple(lines)) == DECODER.parse_logs(lines)
    assert DECODER.parse_logs(collections.deque(lines)) == DECODER.parse_logs(lines)
    assert DECODER.parse_logs([]) == []


def test_first_declared_discriminator_wins():
    disc = list(discriminator("Same"))
    idl = make_idl([struct("A", [{"name": "x", "type": "u32"}]), struct("B", [{"name": "y", "type": "u8"}]),
                    struct("Odd")],
                   [("A", disc), ("B", disc), ("Odd", disc[:7]), ("Odd", [])])
    d = EventDecoder(json.dumps(idl))
    assert d.event_names == ["A", "B", "Odd", "Odd"]
    assert d.parse_logs([log_line(bytes(disc) + b"\1\0\0\0")]) == [("A", {"x": 1})]
    # A decodes first and fails: B is not tried even though it would succeed.
    assert d.parse_logs([log_line(bytes(disc) + b"\1")]) == []
    assert d.parse_logs([log_line(bytes(disc[:7])), log_line(bytes(disc[:7]) + b"\0")]) == []


class BadIter(list):
    def __iter__(self):
        raise TypeError("no iterating")


class BadItems(collections.abc.Sequence):
    def __len__(self):
        raise RuntimeError("length is not needed")

    def __getitem__(self, i):
        if i == 0:
            return log_line(TRANSFER)
        raise ValueError("broken item")


class NoLen(collections.abc.Sequence):
    def __len__(self):
        raise RuntimeError("length is only a hint")

    def __getitem__(self, i):
        if i < 2:
            return log_line(TRANSFER)
        raise IndexError


@pytest.mark.parametrize("logs, error, message", [
    ("Program data: x", TypeError, "argument 'logs': Can't extract `str` to `Vec`"),
    ({"a"}, TypeError, "argument 'logs': 'set' object is not an instance of 'Sequence'"),
    ({"a": 1}, TypeError, "argument 'logs': 'dict' object is not an instance of 'Sequence'"),
    ((x for x in []), TypeError, "argument 'logs': 'generator' object is not an instance of 'Sequence'"),
    (None, TypeError, "argument 'logs': 'None' is not an instance of 'Sequence'"),
    (5, TypeError, "argument 'logs': 'int' object is not an instance of 'Sequence'"),
    (b"ab", TypeError, "argument 'logs': 'int' object is not an instance of 'str'"),
    ([log_line(TRANSFER), None], TypeError, "argument 'logs': 'None' is not an instance of 'str'"),
    ((log_line(TRANSFER), b"x"), TypeError, "argument 'logs': 'bytes' object is not an instance of 'str'"),
    ([BadIter()], TypeError, "argument 'logs': 'BadIter' object is not an instance of 'str'"),
    (BadIter(), TypeError, "argument 'logs': no iterating"),
    (BadItems(), ValueError, "broken item"),
    ([log_line(TRANSFER), "\ud800"], UnicodeEncodeError, None),
])
def test_batch_conversion_errors(logs, error, message):
    with pytest.raises(error) as info:
        DECODER.parse_logs(logs)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


def test_length_failure_is_ignored():
    assert DECODER.parse_logs(NoLen()) == [EXPECTED, EXPECTED]


# The scan of a batch sorts out the lines that may carry an event while it
# checks them. A reference of the line rules, written from the rules rather
# than the code, is held to it over generated batches, in every container and
# on both ways a list is read (in place, and held where decoding may run Python
# code: an IDL with a 256-bit integer).
WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a" \
              "\u2028\u2029\u202f\u205f\u3000"
WIDE_IDL = make_idl([struct("Wide", [{"name": "big", "type": "u256"}])], ["Wide"])
WIDE = EventDecoder(json.dumps(WIDE_IDL))


def reference_payload(line):
    """The event payload a line carries by the rules of a line, or None."""
    for prefix in ("Program data: ", "Program log: "):
        if line.startswith(prefix):
            text = line[len(prefix):].strip(WHITE_SPACE)
            break
    else:
        return None
    try:
        payload = base64.b64decode(text, validate=True)
    except ValueError:
        return None
    if base64.b64encode(payload).decode() != text or len(payload) < 8:
        return None  # not the canonical form, or no room for a discriminator
    return payload


def generated_line(rng):
    payload = rng.choice([
        TRANSFER, encode_event(WIDE_IDL, "Wide", {"big": rng.getrandbits(256)}), discriminator("Empty"),
        discriminator("Byte") + bytes([rng.randrange(256)]), discriminator("Pair") + b"\x01\x02\x00",
        bytes(rng.randrange(256) for _ in range(rng.randrange(12))), discriminator("Wide")[:7],
    ])
    text = base64.b64encode(payload).decode()
    text = rng.choice([text, text, text.rstrip("="), text[:-1], text[:4 * rng.randrange(1, 4)], text + "x",
                       text.replace("A", "-"), "", "Instruction: " + rng.choice(["Swap", "Buy", "Sell1234"])])
    pad = lambda: "".join(rng.choice(WHITE_SPACE + "\u200bx") for _ in range(rng.choice([0, 0, 1, 2])))
    prefix = rng.choice(["Program data: "] * 3 + ["Program log: "] * 2 + [
        "Program data:", "Program X invoke [1]", " Program data: ", "Program d\u00e4ta: ", ""])
    line = prefix + pad() + text + pad()
    return rng.choice([line, line, line + "\U0001f600" * rng.randrange(2), type("Text", (str,), {})(line)])


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("decoder", [DECODER, WIDE], ids=["in_place", "held"])
def test_generated_batches_match_the_line_rules(decoder, seed):
    import random

    rng = random.Random(seed)
    lines = [generated_line(rng) for _ in range([1, 7, 50, 400, 3000, 3000][seed])]
    payloads = [p for p in map(reference_payload, lines) if p is not None]
    assert len(lines) < 50 or len(payloads) > len(lines) // 20
    expected = []
    for payload in payloads:  # each body decoded alone, from a line of the plainest form
        expected += decoder.parse_logs(["Program data: " + base64.b64encode(payload).decode()])
    for logs in (lines, tuple(lines), collections.deque(lines), type("Lines", (list,), {})(lines)):
        assert decoder.parse_logs(logs) == expected
    # A bad item anywhere fails the whole batch with its own error, whatever came before it.
    at = rng.randrange(len(lines) + 1)
    for bad, error, message in ((b"x", TypeError, "argument 'logs': 'bytes' object is not an instance of 'str'"),
                                ("\ud800" + lines[0], UnicodeEncodeError, None)):
        broken = lines[:at] + [bad] + lines[at:] + [None]
        for logs in (broken, tuple(broken), collections.deque(broken)):
            with pytest.raises(error) as info:
                decoder.parse_logs(logs)
            assert message is None or str(info.value) == message


def test_a_large_batch_of_shared_lines():
    lines = ["Program X invoke [1]", "Program log: " + B64, "Program log: Instruction: Swap", log_line(TRANSFER),
             "Program X success"] * 60_000
    assert DECODER.parse_logs(lines) == [EXPECTED] * 120_000
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        DECODER.parse_logs(lines + [3])
