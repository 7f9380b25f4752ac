"""Decode Anchor program events from Solana transaction logs."""

from collections.abc import Mapping

from brisquel._brisquel import EventDecoder
from brisquel._legacy import with_program_address
from brisquel._tables import DecodedEvents, EventTable, Schema, TableDecoder, TransactionDecoder, TxEvent

# A read-only mapping in every respect but its base class.
Mapping.register(DecodedEvents)

__all__ = [
    "DecodedEvents", "EventDecoder", "EventTable", "Schema", "TableDecoder", "TransactionDecoder", "TxEvent",
    "with_program_address",
]
