from collections.abc import Sequence
from typing import Any, final

__all__ = ["EventDecoder"]

@final
class EventDecoder:
    """Decodes Anchor 0.30+ program events from Solana transaction log lines."""

    def __new__(cls, idl_json: str) -> EventDecoder: ...
    @property
    def event_names(self) -> list[str]:
        """Names of all events declared in the IDL, in declaration order."""
    def parse_logs(self, logs: Sequence[str]) -> list[tuple[str, dict[str, Any] | list[Any]]]:
        """Decode every recognizable event from a batch of program log lines.

        Lines that are not events, fail to base64-decode, match no known
        discriminator, or fail to Borsh-decode are silently skipped. Never
        raises over a batch.
        """
