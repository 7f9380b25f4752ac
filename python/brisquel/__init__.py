"""Decode Anchor program events from Solana transaction logs."""

from brisquel._brisquel import EventDecoder
from brisquel._legacy import with_program_address

__all__ = ["EventDecoder", "with_program_address"]
