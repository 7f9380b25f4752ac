"""The Python boundary holds against what plain Python (and a C caller) can do:
types that cannot be reshaped, objects that were never built, a keyword dict
emptied by another thread mid-call, a capsule renamed by its consumer, a
daemon thread still decoding at exit; and TxEvent hashes as the tuple it is."""

from __future__ import annotations

import ctypes
import re
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import brisquel
import borsh
from brisquel import TableDecoder, TransactionDecoder
from conftest import make_idl, struct
from transactions import Call, Tx, encode, key

TYPES = ["EventDecoder", "EventTable", "Schema", "DecodedEvents", "DecodedCalls", "TableDecoder", "TransactionDecoder"]
# What each type offers, as expressions on an object `o` of it.
USES = {
    "EventDecoder": ["o.event_names", "o.parse_logs([])"],
    "EventTable": ["o.name", "o.column_names", "o.schema", "len(o)", "repr(o)", "o.__arrow_c_stream__()"],
    "Schema": ["o.names", "repr(o)", "o.__arrow_c_schema__()"],
    "DecodedEvents": ["o.errors", "o.inputs", "len(o)", "list(o)", "o.keys()", "o.get(1)", "1 in o", "o[1]"],
    "DecodedCalls": ["o.errors", "o.inputs", "len(o)", "list(o)", "o.items()", "o.get(1)", "1 in o", "repr(o)"],
    "TableDecoder": ["o.event_names", "o.decode([])", "o.schema('E')"],
    "TransactionDecoder": ["o.programs", "o.decode('[]')", "o.count('[]')", "o.schema(1)", "o.calls('[]')",
                           "o.call_tables('[]')", "o.all_tables('[]')", "o.call_schema(1)", "o.instruction_names(1)"],
}
TESTS = str(Path(__file__).resolve().parent)


def run_python(code: str, timeout: int = 300, leaks: bool = True) -> subprocess.CompletedProcess:
    prelude = f"import sys\nsys.path.insert(0, {TESTS!r})\n"
    env = dict(os.environ)
    if not leaks:  # under AddressSanitizer: memory errors only
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env)


@pytest.mark.parametrize("name", TYPES)
def test_types_cannot_be_reshaped(name):
    # Replacing __new__ once made a zero-filled object whose first use crashed.
    result = run_python(f"""
        import brisquel
        cls = getattr(brisquel, {name!r})
        try:
            cls.__new__ = lambda c, *a, **k: object.__new__(c)
        except TypeError as e:
            print("refused:", e)
        o = cls.__new__(cls)
    """)
    assert result.returncode != -11, result.stderr
    assert "refused: cannot set '__new__' attribute of immutable type" in result.stdout
    cls = getattr(brisquel, name)
    for attribute in ("__new__", "__repr__", "extra"):
        with pytest.raises(TypeError, match="immutable type"):
            setattr(cls, attribute, None)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", TYPES)
def test_an_object_never_built_raises_instead_of_reading_garbage(name):
    # Only a C caller can make one (tp_alloc without the constructor): every use refuses it.
    alloc = ctypes.pythonapi.PyType_GenericAlloc
    alloc.restype, alloc.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_ssize_t]
    blank = alloc(getattr(brisquel, name), 0)
    for what in USES[name]:
        with pytest.raises(RuntimeError, match="object was not constructed"):
            eval(what, {"o": blank})
    del blank  # and it goes without running a destructor on nothing


A = key("program a")
IDL = {**make_idl([struct("E", [{"name": "v", "type": "u8"}, {"name": "w", "type": "string"}])], ["E"]),
       "address": A}


def transactions(n: int) -> list[dict]:
    return [encode(Tx([Call(A, [("log", borsh.encode_event(IDL, "E", {"v": i % 256, "w": "x" * (i % 7)}))])],
                      signature=borsh.b58encode(i.to_bytes(64, "big")), slot=i)) for i in range(n)]


def test_tx_events_hash_as_tuples_holding_a_dict():
    events = TransactionDecoder([json.dumps(IDL)]).decode(transactions(3))
    assert len(events) == 3
    for e in events:
        with pytest.raises(TypeError, match="unhashable type: 'dict'"):
            hash(e)
        assert e == tuple(e) and type(e).__name__ == "TxEvent"
        plain = e._replace(fields=tuple(e.fields.items()))
        assert hash(plain) == hash(tuple(plain))


@pytest.mark.skipif(not getattr(sys, "_is_gil_enabled", lambda: True)(),
                    reason="without the GIL, CPython's PyObject_Call reads a shared keyword dict unlocked: "
                           "emptied meanwhile, it hands on unset keyword slots before the decoder runs")
def test_keyword_arguments_stay_alive_while_the_lock_is_released():
    # A C caller may share its keyword dict with a thread that empties it while
    # the decoder reads the text with the lock released; the text must outlive that.
    result = run_python("""
        import ctypes, json, sys, threading
        from brisquel import TransactionDecoder
        from test_boundary import IDL, transactions
        line = json.dumps(transactions(1)[0]) + "\\n"
        decoder = TransactionDecoder([json.dumps(IDL)])
        call = ctypes.pythonapi.PyObject_Call
        call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.py_object, ctypes.py_object]
        sys.setswitchinterval(1000)  # this thread gives up the lock only where the decoder releases it

        def empty(kwargs, go):
            go.wait()  # then waits for the lock, which the decoder lets go of
            kwargs.clear()

        decoded = 0
        for round in range(2):
            kwargs = {"transactions": line * 50000}  # some 50 MB: freed, it goes back to the system
            go = threading.Event()
            emptier = threading.Thread(target=empty, args=(kwargs, go))
            emptier.start()
            go.set()
            decoded += call(decoder.decode_tables, (), kwargs).inputs
            emptier.join()
        assert decoded == 100000, decoded
        print("ok")
    """)
    assert result.returncode == 0 and result.stdout == "ok\n", result.stderr[-2000:]


def test_a_renamed_capsule_keeps_the_pending_exception():
    table = TransactionDecoder([json.dumps(IDL)]).decode_tables(transactions(2))[(A, "E")]
    rename = ctypes.pythonapi.PyCapsule_SetName
    rename.restype, rename.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_char_p]

    class Given:
        def __init__(self, capsule):
            self.capsule = capsule

        def __arrow_c_stream__(self, requested_schema=None):
            return self.capsule

    def renamed(capsule, moved: bool):
        if moved:  # a consumer takes the stream (and refuses its columns)
            with pytest.raises(TypeError, match="argument 'logs'"):
                TableDecoder(json.dumps(IDL)).decode(Given(capsule))
        rename(capsule, b"used_arrow_array_stream")  # as some consumers mark what they took
        return capsule

    def fail():
        raise KeyError("the caller's own error")

    for moved in (False, True):
        with pytest.raises(KeyError, match="the caller's own error"):
            # The capsule, a temporary, goes while the KeyError unwinds the frame.
            (renamed(table.__arrow_c_stream__(), moved), fail())
    assert len(table) == 2


def test_a_daemon_thread_may_still_decode_at_exit(hooks):
    # The process's static objects are destroyed, and it waits a second before
    # it ends, while a daemon thread is in the middle of a long decode, taking
    # buffer regions. The thread still holds its decoder when the process
    # ends: that is no leak, so only memory errors count here.
    result = run_python("""
        import json, threading, time
        import borsh
        import brisquel._brisquel_testing as hooks
        from brisquel import TableDecoder
        from test_boundary import IDL
        hooks.hold_exit(1.0)
        lines = [borsh.log_line(borsh.encode_event(IDL, "E", {"v": i % 256, "w": "y" * 40})) for i in range(300000)]
        decoder = TableDecoder(json.dumps(IDL))
        decoder.decode(lines[:70000])  # its regions, given back, are kept for reuse
        started = threading.Event()

        def work():
            while True:
                started.set()
                decoder.decode(lines)

        threading.Thread(target=work, daemon=True).start()
        started.wait()
        time.sleep(0.02)
    """, leaks=False)
    assert result.returncode == 0, result.stderr[-3000:]
    assert "Sanitizer" not in result.stderr, result.stderr[-3000:]


TD = TableDecoder(json.dumps(IDL))
TXD = TransactionDecoder([json.dumps(IDL)])
EVENTS = TXD.decode_tables("[]")


@pytest.mark.parametrize("call, message", [
    (lambda: TableDecoder(), "TableDecoder.__new__() missing 1 required positional argument: 'idl_json'"),
    (lambda: TableDecoder("{}", "base58"), "TableDecoder.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: TableDecoder(idl_json="{}", idl="x"), "TableDecoder.__new__() got an unexpected keyword argument 'idl'"),
    (lambda: TableDecoder("{}", idl_json="{}"), "TableDecoder.__new__() got multiple values for argument 'idl_json'"),
    (lambda: TD.schema(), "TableDecoder.schema() missing 1 required positional argument: 'name'"),
    (lambda: TD.schema("E", True), "TableDecoder.schema() takes 1 positional arguments but 2 were given"),
    (lambda: TXD.decode(), "TransactionDecoder.decode() missing 1 required positional argument: 'transactions'"),
    (lambda: TXD.decode_tables("[]", False), "TransactionDecoder.decode_tables() takes 1 positional arguments but 2"),
    (lambda: TXD.decode("[]", strat=1), "TransactionDecoder.decode() got an unexpected keyword argument 'strat'"),
    (lambda: TXD.calls(), "TransactionDecoder.calls() missing 1 required positional argument: 'transactions'"),
    (lambda: TXD.call_tables("[]", True), "TransactionDecoder.call_tables() takes 1 positional arguments but 2"),
    (lambda: TXD.calls("[]", dedupe=True), "TransactionDecoder.calls() got an unexpected keyword argument 'dedupe'"),
    (lambda: TXD.all_tables("[]", strat=1), "TransactionDecoder.all_tables() got an unexpected keyword argument"),
    (lambda: EVENTS.get(), "DecodedEvents.get() missing 1 required positional argument: 'key'"),
    (lambda: EVENTS.get(1, 2, 3), "DecodedEvents.get() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: EVENTS.get(key=1), "DecodedEvents.get() got an unexpected keyword argument 'key'"),
    (lambda: EVENTS.errors.__arrow_c_stream__(None, None), "takes from 0 to 1 positional arguments but 2 were"),
])
def test_arguments_bind_as_a_python_signature_would(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call()


def test_keyword_arguments_take_effect():
    assert EVENTS.get(1, None) is None and EVENTS.get((A, "E")) is EVENTS[(A, "E")]
    assert TD.schema(name="E", nested=True).names[:2] == ["_row", "_line"]
    assert TD.schema("E", nested=0).names[:1] == ["_line"]
    txs = json.dumps(transactions(3))
    assert [e.tx for e in TXD.decode(transactions=txs, start=7)] == [7, 8, 9]
    assert TXD.decode_tables(txs, include_failed=1, dedupe=[], start=2).inputs == 3
    with pytest.raises(ValueError, match="start must not be negative"):
        TXD.decode(txs, start=-1)
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        TXD.decode(txs, start=1.0)
    assert TransactionDecoder(idls=[json.dumps(IDL)], short_events="skip").programs == [A]


def test_calls_leave_no_reference_to_a_decoder():
    # A reference taken and never dropped would keep a decoder (and all it holds) for good.
    txs = json.dumps(transactions(4))
    line = borsh.log_line(borsh.encode_event(IDL, "E", {"v": 1, "w": "x"}))
    decoders = {
        TableDecoder(json.dumps(IDL)): ["d.decode([line])", "d.decode([[line]])", "d.schema('E', nested=True)",
                                        "d.event_names", "d.decode(['x', 1])"],
        TransactionDecoder([json.dumps(IDL)]): ["d.decode(txs)", "d.decode_tables(txs, start=2)", "d.count(txs)",
                                                "d.schema((A, 'E'))", "d.programs", "d.decode('[1')", "d.calls(txs)",
                                                "d.call_tables(txs)", "d.all_tables(txs)", "d.instruction_names(A)",
                                                "d.calls('[1')"],
        brisquel.EventDecoder(json.dumps(IDL)): ["d.parse_logs([line])", "d.event_names", "d.parse_logs(7)"],
    }
    for d, uses in decoders.items():
        before = sys.getrefcount(d)
        for use in uses:
            try:
                eval(use, {"d": d, "txs": txs, "line": line, "A": A})
            except (TypeError, ValueError):
                pass
            assert sys.getrefcount(d) == before, use
