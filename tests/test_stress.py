"""One decoder shared by many threads, and memory that stays flat over many
batches, failing lines included."""

from __future__ import annotations

import gc
import json
import sys
import threading
import tracemalloc

from borsh import discriminator, encode_event, log_line
from brisquel import EventDecoder
from conftest import enum, make_idl, struct

IDL = make_idl([
    struct("Trade", [
        {"name": "owner", "type": "pubkey"}, {"name": "amount", "type": "u64"}, {"name": "pnl", "type": "i128"},
        {"name": "big", "type": "u256"}, {"name": "note", "type": "string"},
        {"name": "legs", "type": {"vec": {"defined": {"name": "Leg"}}}},
        {"name": "side", "type": {"defined": {"name": "Side"}}},
    ]),
    struct("Leg", [{"name": "price", "type": "f64"}, {"name": "tag", "type": {"option": "bytes"}}]),
    enum("Side", [{"name": "Bid"}, {"name": "Ask", "fields": ["u8"]}]),
], ["Trade"])


def batch(n: int = 50) -> list[str]:
    lines = []
    for i in range(n):
        value = {"owner": bytes([i]) * 32, "amount": i * 1000, "pnl": -i * 10**30, "big": 2**200 + i,
                 "note": f"trade {i} ✓", "legs": [{"price": i / 3, "tag": bytes(i % 4) or None}] * (i % 3),
                 "side": "Bid" if i % 2 else {"Ask": [i % 256]}}
        payload = encode_event(IDL, "Trade", value)
        lines += ["Program log: Instruction: Trade", log_line(payload)]
        # Lines that fail at different depths, releasing partial objects on the way.
        lines.append(log_line(payload[: len(payload) * (i % 7 + 1) // 8]))
        index_at = -1 if i % 2 else -2  # enum index out of range
        lines.append(log_line(payload[:index_at] + b"\x09" + payload[len(payload) + index_at + 1:]))
    bad_utf8 = discriminator("Trade") + payload[8:].replace(b"trade", b"\xff\xfe\xfd\xfc\xfb")
    lines += [log_line(bad_utf8), "Program data: !!!!", "Program data: "]
    return lines


def test_threads_share_one_decoder():
    decoder = EventDecoder(json.dumps(IDL))
    lines = batch()
    expected = decoder.parse_logs(lines)
    assert len(expected) == 50
    threads, barrier, failures = 8, threading.Barrier(8), []

    def work():
        barrier.wait()
        for _ in range(40):
            if decoder.parse_logs(lines) != expected or decoder.event_names != ["Trade"]:
                failures.append(1)

    pool = [threading.Thread(target=work) for _ in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    assert failures == []


def test_memory_stays_flat():
    lines = batch()
    text = json.dumps(IDL)
    key = sys.intern("amount")

    def round_():
        decoder = EventDecoder(text)
        for _ in range(5):
            decoder.parse_logs(lines)
        try:
            EventDecoder(text[:-1])
        except ValueError:
            pass
        try:
            decoder.parse_logs(lines + [None])
        except TypeError:
            pass

    for _ in range(20):
        round_()
    gc.collect()
    refs = sys.getrefcount(key)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(200):
            round_()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024, grown
    assert sys.getrefcount(key) == refs


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_native_memory_stays_flat():
    # tracemalloc does not see the C++ tables: watch the resident size instead.
    text, lines = json.dumps(IDL), batch(4)

    def rounds(n):
        for _ in range(n):
            EventDecoder(text).parse_logs(lines)

    rounds(300)
    before = rss_bytes()
    rounds(20000)
    assert rss_bytes() - before < 8 * 2**20


# Without 256-bit values nothing in decoding runs Python code, so a list batch
# is read in place where the interpreter lock allows it.
PLAIN_IDL = make_idl([
    struct("Fill", [{"name": "who", "type": "pubkey"}, {"name": "qty", "type": "u64"},
                    {"name": "memo", "type": "string"}, {"name": "marks", "type": {"vec": "u16"}}]),
], ["Fill"])


def fill_line(i: int, tail: str = "") -> str:
    value = {"who": bytes([i % 251]) * 32, "qty": i, "memo": f"fill {i} ✓", "marks": list(range(i % 5))}
    return log_line(encode_event(PLAIN_IDL, "Fill", value)) + tail


def test_threads_meet_a_list_that_changes_and_new_decoders():
    text = json.dumps(PLAIN_IDL)
    pool = [fill_line(i) for i in range(64)]
    known = {json.dumps(v, sort_keys=True, default=str) for v in EventDecoder(text).parse_logs(pool)}
    assert len(known) == 64
    shared = pool[:32]
    stop = threading.Event()
    failures: list[object] = []
    barrier = threading.Barrier(7)

    def mutate():
        barrier.wait()
        n = 0
        while not stop.is_set():
            if n % 3 == 0:
                shared.insert(0, pool[n % 64])
            elif n % 3 == 1 and shared:
                del shared[0]
            else:
                shared.append(pool[(n * 7) % 64])
            if len(shared) > 200:
                del shared[100:]
            n += 1

    def decode(t: int):
        barrier.wait()
        for n in range(300):
            # Fresh non-ASCII text every time: its UTF-8 form is made while
            # other threads decode.
            own = [fill_line(t * 1000 + n, "\u3000"), "Program log: é" + str(n)]
            decoder = EventDecoder(text) if n % 50 == 0 else shared_decoder
            got = decoder.parse_logs(shared)
            if any(json.dumps(v, sort_keys=True, default=str) not in known for v in got):
                failures.append(("foreign row", t, n))
            mine = decoder.parse_logs(own)
            if [f["qty"] for _, f in mine] != [t * 1000 + n]:
                failures.append(("own batch", t, n, mine))

    shared_decoder = EventDecoder(text)
    threads = [threading.Thread(target=mutate)] + [threading.Thread(target=decode, args=(t,)) for t in range(6)]
    for th in threads:
        th.start()
    for th in threads[1:]:
        th.join()
    stop.set()
    threads[0].join()
    assert failures == []
