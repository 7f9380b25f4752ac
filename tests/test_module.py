"""The module, the EventDecoder class, its constructor and argument binding."""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
import sysconfig
import weakref

import pytest

import brisquel
from brisquel import EventDecoder
from brisquel import _brisquel
from conftest import enum, make_idl, struct

EMPTY = json.dumps(make_idl([]))


def test_module_surface():
    assert _brisquel.__all__ == ["EventDecoder"]
    assert _brisquel.__doc__ == "The compiled extension module: `brisquel._brisquel`."
    assert [n for n in vars(_brisquel) if not n.startswith("__")] == ["EventDecoder"]
    assert brisquel.EventDecoder is _brisquel.EventDecoder
    # The package adds the table decoders of its second module; the first stays as it is.
    assert set(brisquel.__all__) == {"EventDecoder", "with_program_address", "TableDecoder", "DecodedEvents",
                                     "EventTable", "Schema", "TransactionDecoder", "TxEvent", "IdlError",
                                     "ReadError", "DecodedCalls", "TxCall", "CallError", "AccountDecoder", "AccountState",
                                     "DecodedAccounts", "Error", "DecodeError"}


def test_class_surface():
    assert EventDecoder.__module__ == "builtins"
    assert EventDecoder.__qualname__ == "EventDecoder"
    assert EventDecoder.__text_signature__ == "(idl_json)"
    assert EventDecoder.__doc__ == "Decodes Anchor 0.30+ program events from Solana transaction log lines."
    assert EventDecoder.parse_logs.__text_signature__ == "($self, logs)"
    assert EventDecoder.parse_logs.__doc__ == (
        "Decode every recognizable event from a batch of program log lines.\n\n"
        "Lines that are not events, fail to base64-decode, match no known\n"
        "discriminator, or fail to Borsh-decode are silently skipped. Never\n"
        "raises over a batch.")
    assert EventDecoder.event_names.__doc__ == "Names of all events declared in the IDL, in declaration order."
    d = EventDecoder(EMPTY)
    assert repr(d).startswith("<builtins.EventDecoder object at ")


def test_instances_are_sealed():
    d = EventDecoder(EMPTY)
    with pytest.raises(TypeError):
        type("Sub", (EventDecoder,), {})
    with pytest.raises(AttributeError):
        d.anything = 1
    with pytest.raises(AttributeError):
        d.event_names = []
    with pytest.raises(AttributeError):
        del d.event_names
    with pytest.raises(TypeError):
        weakref.ref(d)


def test_event_names():
    idl = make_idl([struct("A", []), struct("B")], ["A", "B", "A", ("A", [])])
    d = EventDecoder(json.dumps(idl))
    names = d.event_names
    assert names == ["A", "B", "A", "A"]
    names.clear()
    assert d.event_names == ["A", "B", "A", "A"] and d.event_names is not d.event_names
    assert EventDecoder(idl_json=EMPTY).event_names == []


@pytest.mark.parametrize("call, message", [
    (lambda: EventDecoder(), "EventDecoder.__new__() missing 1 required positional argument: 'idl_json'"),
    (lambda: EventDecoder(EMPTY, 1), "EventDecoder.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: EventDecoder(EMPTY, 1, 2), "EventDecoder.__new__() takes 1 positional arguments but 3 were given"),
    (lambda: EventDecoder(x=1), "EventDecoder.__new__() got an unexpected keyword argument 'x'"),
    (lambda: EventDecoder(EMPTY, idl_json=EMPTY), "EventDecoder.__new__() got multiple values for argument 'idl_json'"),
    (lambda: EventDecoder(b"{}"), "argument 'idl_json': 'bytes' object is not an instance of 'str'"),
    (lambda: EventDecoder(None), "argument 'idl_json': 'None' is not an instance of 'str'"),
    (lambda: EventDecoder(idl_json=3.5), "argument 'idl_json': 'float' object is not an instance of 'str'"),
    (lambda: EventDecoder(EMPTY).parse_logs(), "EventDecoder.parse_logs() missing 1 required positional argument: 'logs'"),
    (lambda: EventDecoder(EMPTY).parse_logs([], []), "EventDecoder.parse_logs() takes 1 positional arguments but 2 were given"),
    (lambda: EventDecoder(EMPTY).parse_logs([], logs=[]), "EventDecoder.parse_logs() got multiple values for argument 'logs'"),
    (lambda: EventDecoder(EMPTY).parse_logs(lines=[]), "EventDecoder.parse_logs() got an unexpected keyword argument 'lines'"),
    (lambda: EventDecoder(EMPTY).parse_logs(logs=[], x=1), "EventDecoder.parse_logs() got an unexpected keyword argument 'x'"),
])
def test_argument_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_surrogate_text_raises_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError):
        EventDecoder('{"a": "\ud800"}')


@pytest.mark.parametrize("idl, message", [
    ("", "failed to parse IDL: EOF while parsing a value at line 1 column 0"),
    (json.dumps({**make_idl([]), "metadata": {"name": "t", "version": "1", "spec": "0.2.0"}}),
     "failed to parse IDL: IDL spec not supported: `0.2.0`"),
    (json.dumps(make_idl([], ["E"])), "event 'E' has no matching type definition in idl.types"),
    (json.dumps(make_idl([enum("E", [{"name": "A"}])], ["E"])), "event 'E' type definition is not a struct"),
    (json.dumps(make_idl([struct("E"), enum("E", [{"name": "A"}])], ["E"])), "event 'E' type definition is not a struct"),
    (json.dumps(make_idl([struct("A"), {"name": "E", "type": {"kind": "type", "alias": "u8"}}], ["A", "E"])),
     "event 'E' type definition is not a struct"),
])
def test_constructor_value_errors(idl, message):
    with pytest.raises(ValueError) as info:
        EventDecoder(idl)
    assert str(info.value) == message


def test_last_definition_of_a_name_wins():
    idl = make_idl([enum("E", [{"name": "A"}]), struct("E", [{"name": "x", "type": "u8"}])], ["E"])
    from borsh import discriminator, log_line
    d = EventDecoder(json.dumps(idl))
    assert d.parse_logs([log_line(discriminator("E") + b"\x07")]) == [("E", {"x": 7})]


def test_panic_exception(hooks):
    seen = []

    def hook(unraisable):
        seen.append(unraisable.exc_value)
        # The hook runs Python code: no half-built container may still be reachable.
        for obj in gc.get_objects():
            if type(obj) is list:
                list(obj)

    import sys
    old, sys.unraisablehook = sys.unraisablehook, hook
    try:
        with pytest.raises(BaseException) as info:
            hooks.fail_creating_value(MemoryError("no room"))
        panic = type(info.value)
        with pytest.raises(panic):  # the same class every time
            hooks.fail_creating_value(MemoryError())
    finally:
        sys.unraisablehook = old
    assert f"{panic.__module__}.{panic.__qualname__}" == "pyo3_runtime.PanicException"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert [type(e) for e in seen] == [MemoryError, MemoryError]
    # A broken invariant of the core reaches Python with its own message.
    with pytest.raises(panic, match="^columns of unequal length$"):
        hooks.fault("columns of unequal length")


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="not a free-threaded interpreter")
def test_importing_every_module_leaves_the_interpreter_lock_off():
    # Left to itself (PYTHON_GIL unset), the interpreter turns the lock back on
    # for any extension module that does not declare it needs none.
    code = "\n".join([
        "import importlib, pkgutil, sys, brisquel",
        "for m in pkgutil.iter_modules(brisquel.__path__):",
        "    try:",
        "        importlib.import_module('brisquel.' + m.name)",
        "    except ModuleNotFoundError as e:",  # modules that need pyarrow or Dask, where they are missing
        "        if e.name.startswith('brisquel'): raise",
        "print(sorted(m for m in sys.modules if m.startswith('brisquel._')), sys._is_gil_enabled())",
    ])
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], env=env, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert "'brisquel._brisquel', " in out.stdout and "'brisquel._tables'" in out.stdout
    assert out.stdout.endswith(" False\n")
