"""Talking to a Solana RPC node: JSON-RPC over HTTP (urllib3, keep-alive,
compressed answers), with the load capped (requests per second, connections),
transient failures retried with exponential backoff and jitter, 429 answered
by waiting as long as Retry-After says, and every body read into bytes within
a bound. Answers stay bytes: the native readers parse them.

The node's URL carries keys (query strings, path segments, basic auth): it is
kept in one private attribute and every text made here names the host only.
"""

from __future__ import annotations

import email.utils
import json
import random
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import urlsplit

MAX_BODY = 512 << 20  # bytes of one answer, decompressed: a mainnet block is a few MB

# JSON-RPC errors of Solana nodes.
CLEANED_UP = -32001              # the slot is older than the node keeps
BLOCK_NOT_AVAILABLE = -32004     # not yet: try again
NODE_BEHIND = -32005             # the node is catching up: try again
SLOT_SKIPPED = -32007            # no block was produced in that slot
LONG_TERM_STORAGE_SKIPPED = -32009
VERSION_NOT_SUPPORTED = -32015   # a transaction newer than the version asked for
RETRIED_CODES = {BLOCK_NOT_AVAILABLE, NODE_BEHIND}
SKIPPED_CODES = {SLOT_SKIPPED, LONG_TERM_STORAGE_SKIPPED}


class NodeError(Exception):
    """The run stops: the node failed past the retries, or answered what
    cannot be used. The message names the host, never the URL."""


class RpcError(Exception):
    """A JSON-RPC error answer: its code and message."""

    def __init__(self, code: int | None, message: str) -> None:
        super().__init__(f"{code}: {message}")
        self.code = code
        self.message = message


class Transient(Exception):
    """A failure worth another try (HTTP 429 and 5xx, resets, timeouts, bodies cut short or not JSON)."""

    def __init__(self, what: str, wait: float | None = None) -> None:
        super().__init__(what)
        self.wait = wait  # what the node asked for (Retry-After), in seconds


def host_of(url: str) -> str:
    """The host (and port) of a URL: all of it that may be shown."""
    try:
        parts = urlsplit(url)
        host = parts.hostname or "?"
        return f"{host}:{parts.port}" if parts.port else host
    except ValueError:
        return "?"


@dataclass
class Stats:
    """What the client did, for the progress line and the summary; shared by threads."""

    requests: int = 0
    retries: int = 0
    bytes: int = 0
    lock: threading.Lock = field(default_factory=threading.Lock, repr=False)

    def add(self, **counts: int) -> None:
        with self.lock:
            for name, n in counts.items():
                setattr(self, name, getattr(self, name) + n)


class RateLimit:
    """At most `rps` requests per second over all threads (None: no cap)."""

    def __init__(self, rps: float | None) -> None:
        self._gap = 1.0 / rps if rps else 0.0
        self._next = 0.0
        self._lock = threading.Lock()

    def wait(self) -> None:
        if not self._gap:
            return
        with self._lock:
            now = time.monotonic()
            at = max(now, self._next)
            self._next = at + self._gap
        if at > now:
            time.sleep(at - now)


def retry_after(value: str | None) -> float | None:
    """Seconds from a Retry-After header: a number, or an HTTP date."""
    if not value:
        return None
    try:
        return max(0.0, float(value))
    except ValueError:
        pass
    try:
        when = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError):
        return None
    return max(0.0, when.timestamp() - time.time())


class Client:
    """One node: JSON-RPC calls that give the answer's `result` as bytes, or raise
    RpcError (the node's error answer), or NodeError (past the retries)."""

    def __init__(self, url: str, *, rps: float | None = None, connections: int = 4, timeout: float = 60.0,
                 retries: int = 8, backoff: float = 0.25, max_backoff: float = 10.0, max_body: int = MAX_BODY,
                 stats: Stats | None = None) -> None:
        import urllib3

        self.__url = url
        self.host = host_of(url)
        parts = urlsplit(url)
        headers = {"Content-Type": "application/json", "Accept-Encoding": "gzip, deflate"}
        if parts.username is not None or parts.password is not None:
            auth = f"{parts.username or ''}:{parts.password or ''}"
            headers.update(urllib3.make_headers(basic_auth=auth))
        self._headers = headers
        self._pool = urllib3.PoolManager(num_pools=2, maxsize=max(1, connections), block=True, retries=False,
                                         timeout=urllib3.Timeout(connect=min(timeout, 10.0), read=timeout))
        self._rate = RateLimit(rps)
        self.retries = retries
        self.backoff = backoff
        self.max_backoff = max_backoff
        self.max_body = max_body
        self.stats = stats or Stats()
        self._ids = iter(range(1, 1 << 62))
        self._id_lock = threading.Lock()
        self.sleep: Callable[[float], None] = time.sleep

    def __repr__(self) -> str:
        return f"<brisquel rpc client of {self.host}>"

    def __reduce__(self) -> Any:
        raise TypeError("an RPC client is not sent anywhere: its URL holds keys")

    def _next_id(self) -> int:
        with self._id_lock:
            return next(self._ids)

    def call(self, method: str, params: list[Any], what: str | None = None,
             parse: Callable[[bytes], Any] | None = None) -> Any:
        """The bytes of the answer to one call (a whole JSON-RPC response), or
        what `parse` makes of them (which may raise Transient: the call is then
        made again). Raises RpcError for an error answer."""
        ident = self._next_id()
        payload = json.dumps({"jsonrpc": "2.0", "id": ident, "method": method, "params": params}).encode()

        def check(body: bytes) -> Any:
            body = check_response(body)
            return parse(body) if parse else body

        return self._with_retries(payload, what or method, check)

    def batch(self, method: str, params: list[list[Any]], what: str | None = None) -> list[bytes]:
        """The `result` texts of a JSON-RPC batch, in the order asked, matched by id."""
        ids = [self._next_id() for _ in params]
        payload = json.dumps([{"jsonrpc": "2.0", "id": i, "method": method, "params": p}
                              for i, p in zip(ids, params)]).encode()
        texts: list[bytes] = self._with_retries(payload, what or f"{method} x{len(params)}",
                                                lambda body: match_batch(body, ids))
        return texts

    def _with_retries(self, payload: bytes, what: str, check: Callable[[bytes], Any]) -> Any:
        attempt = 0
        while True:
            try:
                return check(self._post(payload))
            except RpcError as e:
                if e.code not in RETRIED_CODES:
                    raise
                failure = Transient(f"{e.code} {e.message}")
            except Transient as e:
                failure = e
            if attempt >= self.retries:
                raise NodeError(f"{self.host}: {what} failed {attempt + 1} times, the last: {failure}") from None
            self.stats.add(retries=1)
            self.sleep(self._delay(attempt, failure.wait))
            attempt += 1

    def _delay(self, attempt: int, asked: float | None) -> float:
        if asked is not None:
            return min(float(asked), 300.0)  # what the node asked for, within reason
        return float(min(self.max_backoff, self.backoff * 2 ** attempt) * random.uniform(0.5, 1.0))

    def _post(self, payload: bytes) -> bytes:
        import urllib3

        self._rate.wait()
        self.stats.add(requests=1)
        try:
            response = self._pool.urlopen("POST", self.__url, body=payload, headers=self._headers,
                                          preload_content=False, redirect=False)
        except urllib3.exceptions.HTTPError as e:
            raise Transient(f"no answer ({_kind(e)})") from None
        done = False
        try:
            status = response.status
            if status == 429:
                raise Transient("HTTP 429 Too Many Requests", retry_after(response.headers.get("Retry-After")))
            if status >= 500:
                raise Transient(f"HTTP {status}")
            if status == 413:
                raise RpcError(413, "HTTP 413: request too large")
            if status != 200:
                raise NodeError(f"{self.host}: HTTP {status}")
            try:
                # Read whole in one piece, but never more than the bound (an endless body stops there).
                body = response.read(self.max_body + 1, decode_content=True)
            except urllib3.exceptions.HTTPError as e:
                raise Transient(f"the answer was cut short ({_kind(e)})") from None
            if len(body) > self.max_body:
                raise NodeError(f"{self.host}: an answer larger than {self.max_body >> 20} MiB; nothing of it is used")
            self.stats.add(bytes=len(body))
            done = True
            return body
        finally:
            if not done:  # what is left unread (an endless body) is not read: the connection goes
                response.close()
            response.release_conn()


def _kind(e: Exception) -> str:
    """What went wrong, without the URL that urllib3's messages carry."""
    inner = getattr(e, "reason", None) or e.__context__ or e
    return type(inner).__name__


def check_response(body: bytes) -> bytes:
    """`body` if it is a JSON-RPC result; RpcError for an error answer,
    Transient for a body that is not one. Only the start is looked at: the
    native reader reads (and checks) the rest."""
    head = body[:256]
    result, error = head.find(b'"result"'), head.find(b'"error"')
    if result >= 0 and (error < 0 or result < error):
        return body
    if error >= 0 and len(body) < (1 << 20):
        try:
            raise_error(json.loads(body))
        except ValueError:
            pass
    raise Transient("an answer that is not a JSON-RPC response")


def raise_error(answer: Any) -> None:
    """Raises the RpcError of a parsed error answer (or Transient for another shape)."""
    error = answer.get("error") if isinstance(answer, dict) else None
    if isinstance(error, dict):
        code = error.get("code")
        raise RpcError(code if isinstance(code, int) else None, str(error.get("message", ""))[:1000])
    if error is not None:
        raise RpcError(None, str(error)[:1000])
    raise Transient("an answer that is not a JSON-RPC response")


_ANSWER: Any = None


def _answer_type() -> Any:
    """msgspec and a JSON-RPC answer whose `result` stays text (msgspec.Raw)."""
    global _ANSWER
    import msgspec

    if _ANSWER is None:
        _ANSWER = msgspec.defstruct("Answer", [("id", Any, None), ("result", msgspec.Raw, msgspec.Raw(b"null")),
                                               ("error", Any, None)])
    return msgspec, _ANSWER


def result_text(body: bytes) -> bytes:
    """The text of the `result` of one answer, cut out without reading it into Python."""
    msgspec, Answer = _answer_type()
    try:
        answer = msgspec.json.decode(body, type=Answer)
    except msgspec.DecodeError:
        raise Transient("an answer that is not JSON-RPC") from None
    if answer.error is not None:
        raise_error({"error": answer.error})
    return bytes(answer.result)


def match_batch(body: bytes, ids: list[int]) -> list[bytes]:
    """The result texts of a batch answer in the order of `ids`. An error answer
    for the whole batch (a node that refuses batches) raises RpcError; answers
    whose ids are not those asked are a Transient failure."""
    msgspec, Answer = _answer_type()
    try:
        answers = msgspec.json.decode(body, type=list[Answer] | Answer)  # type: ignore[valid-type]  # made at run time
    except msgspec.DecodeError:
        raise Transient("a batch answer that is not JSON-RPC") from None
    if isinstance(answers, Answer):
        raise_error({"error": answers.error})
    by_id = {a.id: a for a in answers}
    if len(answers) != len(ids) or set(by_id) != set(ids):
        raise Transient("a batch answer whose ids are not those asked")
    out = []
    for i in ids:
        a = by_id[i]
        if a.error is not None:
            raise_error({"error": a.error})
        out.append(bytes(a.result))
    return out
