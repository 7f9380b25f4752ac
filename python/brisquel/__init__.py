"""Decode Anchor program events from Solana transaction logs."""

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from brisquel._legacy import with_program_address
from brisquel._tables import (AccountDecoder, AccountState, CallError, DecodeError, DecodedAccounts, DecodedCalls,
                              DecodedEvents, Error, EventTable, IdlError, ReadError, Schema, TableDecoder,
                              TransactionDecoder, TxCall, TxEvent)

if TYPE_CHECKING:
    from brisquel._brisquel import EventDecoder as EventDecoder
    from brisquel._fetch_run import fetch as fetch

# A read-only mapping in every respect but its base class.
Mapping.register(DecodedEvents)
Mapping.register(DecodedCalls)
Mapping.register(DecodedAccounts)

def _installed_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("brisquel")
    except PackageNotFoundError:  # run from a source tree that was never installed
        return "0+unknown"


__version__ = _installed_version()

__all__ = [
    "AccountDecoder", "AccountState", "CallError", "DecodeError", "DecodedAccounts", "DecodedCalls", "DecodedEvents",
    "Error", "EventDecoder", "EventTable", "IdlError", "ReadError", "Schema", "TableDecoder", "TransactionDecoder",
    "TxCall", "TxEvent", "with_program_address",
]


def __getattr__(name: str) -> Any:
    # EventDecoder's module loads only in interpreters that share the main
    # interpreter's lock; the rest of the package loads in any, so it comes
    # on first use.
    if name == "fetch":  # needs pyarrow and urllib3, which importing brisquel does not
        from brisquel._fetch_run import fetch

        return fetch
    if name != "EventDecoder":
        raise AttributeError(f"module 'brisquel' has no attribute {name!r}")
    try:
        from brisquel._brisquel import EventDecoder
    except ImportError as e:
        raise ImportError(f"brisquel.EventDecoder is not available here ({e}); in an interpreter with a lock of "
                          "its own, use TableDecoder or TransactionDecoder", name="brisquel._brisquel") from e
    globals()["EventDecoder"] = EventDecoder
    return EventDecoder


def __dir__() -> list[str]:
    return sorted({*globals(), "EventDecoder", "fetch"})
