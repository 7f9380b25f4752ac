"""What a process keeps from one task to the next: the decoders built from IDL
texts (a worker builds them for its first task and reuses them), and the last
few sources decoded whole (the partitions of every event of one file, computed
together, come from one decoding)."""

from __future__ import annotations

import atexit
import threading
from collections import OrderedDict
from concurrent.futures import Future

from brisquel._sources import Decoded, Decoders, Decoding, Source, decode_whole, make_decoders

_DECODERS: OrderedDict[str, Decoders] = OrderedDict()
_DECODERS_LOCK = threading.Lock()
_DECODERS_KEPT = 8


def decoders(decoding: Decoding) -> Decoders:
    """The decoders of `decoding`, built on first use in this process and kept (the last few)."""
    with _DECODERS_LOCK:
        found = _DECODERS.get(decoding.digest)
        if found is None:
            found = make_decoders(decoding)
            _DECODERS[decoding.digest] = found
            while len(_DECODERS) > _DECODERS_KEPT:
                _DECODERS.popitem(last=False)
        _DECODERS.move_to_end(decoding.digest)
        return found


class _RecentSources:
    """The last few sources decoded whole in this process. Threads that ask for
    a source being decoded wait for it."""

    def __init__(self, size: int) -> None:
        self._size = size
        self._lock = threading.Lock()
        self._entries: OrderedDict[tuple[str, Source], Future[Decoded]] = OrderedDict()

    def get(self, decoding: Decoding, source: Source) -> Decoded:
        key = (decoding.digest, source)
        with self._lock:
            entry = self._entries.get(key)
            owner = entry is None
            if entry is None:
                entry = self._entries[key] = Future()
                while len(self._entries) > self._size:
                    self._entries.popitem(last=False)
            self._entries.move_to_end(key)
        if owner:
            try:
                entry.set_result(decode_whole(decoders(decoding), source))
            except BaseException as e:
                with self._lock:
                    if self._entries.get(key) is entry:
                        del self._entries[key]
                entry.set_exception(e)
        return entry.result()


_RECENT = _RecentSources(2)


def decoded(decoding: Decoding, source: Source) -> Decoded:
    """The whole of `source`, decoded once while it stays among the recent ones."""
    return _RECENT.get(decoding, source)


@atexit.register
def _forget() -> None:
    # A worker process of a Dask cluster may be ended before the interpreter
    # tears its modules down: give back what the caches hold while it still can.
    with _DECODERS_LOCK:
        _DECODERS.clear()
    with _RECENT._lock:
        _RECENT._entries.clear()
