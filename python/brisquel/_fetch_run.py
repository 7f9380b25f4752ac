"""brisquel.fetch: the run around the units of _fetch: which units are left,
where they run (this process, or Dask workers), putting each in place as it
finishes, following the chain, stopping cleanly."""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from brisquel._fetch import (HEAD_UNITS, Fetcher, FetchError, Manifest, Options, Secret, Tuning, Unit, UnitResult,
                             commit, discard, prepare, slot_units)
from brisquel._rpc import NodeError, Stats

RPC_ENV = "BRISQUEL_RPC"  # where --rpc may come from instead of the command line


@dataclass
class FetchSummary:
    """What a run did: rows per dataset folder, blocks, signatures, skipped
    slots, the node's retries; `complete` when the asked work is all done (a
    range fetched, a history read to its end), `stopped` when it was interrupted."""

    host: str
    rows: dict[str, int] = field(default_factory=dict)
    units: int = 0
    blocks: int = 0
    signatures: int = 0
    skipped: int = 0
    requests: int = 0
    retries: int = 0
    bytes: int = 0
    resumed: bool = False
    complete: bool = False
    stopped: bool = False
    seconds: float = 0.0

    def add(self, r: UnitResult) -> None:
        self.units += 1
        self.blocks += r.blocks
        self.signatures += r.signatures
        self.skipped += len(r.skipped)
        for folder, n in r.rows.items():
            self.rows[folder] = self.rows.get(folder, 0) + n


def parse_slots(text: str) -> tuple[int, int | None]:
    """"A:B" (both included) or "A:" (no end)."""
    first, sep, last = text.partition(":")
    try:
        a = int(first)
        b = int(last) if last.strip() else None
    except ValueError:
        raise ValueError(f"slots: expected FIRST:LAST or FIRST: (numbers), not {text!r}") from None
    if not sep or a < 0 or (b is not None and b < a):
        raise ValueError(f"slots: expected FIRST:LAST with FIRST <= LAST, or FIRST:, not {text!r}")
    return a, b


def fetch(rpc: str | None, out: str | os.PathLike[str], idls: Sequence[str] = (), *,
          slots: str | tuple[int, int | None] | None = None, address: str | None = None, before: str | None = None,
          until: str | None = None, accounts: str | None = None,
          filters: Sequence[tuple[str, Any]] = (), follow: bool = False, commitment: str = "finalized",
          include_failed: bool = False, short_events: str = "null", calls: bool = True, chunk: int | None = None,
          rps: float | None = None, concurrency: int = 4, batch: int = 100, retries: int = 8,
          timeout: float = 60.0, max_response_mb: int = 512, workers: int | None = None, scheduler: str | None = None,
          progress: Callable[[FetchSummary], None] | None = None,
          stop: threading.Event | None = None) -> FetchSummary:
    """Fetches from the node at `rpc` (or $BRISQUEL_RPC) into the datasets of
    `out`, as `export` writes them, plus `transactions` and `balances`. One
    source: `slots` ("A:B", or "A:" with `follow`), `address` (its history,
    newest first, between `before` and `until`), or `accounts` (a program's
    accounts, `filters` of ("dataSize", N) or ("memcmp", (OFFSET, BASE58))).
    Run again with the same arguments, it goes on where it stopped."""
    url = rpc or os.environ.get(RPC_ENV)
    if not url:
        raise FetchError(f"no node: give rpc (--rpc URL) or set {RPC_ENV}")
    secret = Secret(url)
    if sum(x is not None for x in (slots, address, accounts)) != 1:
        raise FetchError("give one source: slots, address or accounts")
    if commitment not in ("processed", "confirmed", "finalized"):
        raise FetchError(f"commitment: processed, confirmed or finalized, not {commitment!r}")
    if follow and slots is None and address is None:
        raise FetchError("follow is for slots (FIRST: or FIRST:LAST) and address")
    if follow and before is not None:
        raise FetchError("follow goes on after the newest signature: it takes no before")
    first = last = None
    if slots is not None:
        first, last = parse_slots(slots) if isinstance(slots, str) else slots
        if last is None and not follow:
            raise FetchError("slots FIRST: has no end: give LAST, or follow the chain (--follow)")
    if accounts is not None and not idls:
        raise FetchError("accounts: give the IDLs of the programs whose accounts to decode")
    source = "slots" if slots is not None else "address" if address is not None else "accounts"
    options = Options(source, tuple(idls), first, last, address, before, until, accounts,
                      tuple((k, tuple(v) if isinstance(v, list) else v) for k, v in filters), commitment,
                      include_failed, short_events, calls,
                      chunk or (100 if source == "slots" else 1000))
    tuning = Tuning(rps, concurrency, batch, timeout, retries, max_response_mb << 20)
    out_dir = Path(out)
    started = time.monotonic()
    try:
        manifest = prepare(out_dir, options)
    except OSError as e:
        raise FetchError(f"cannot write to {out_dir}: {e.strerror or e}") from None
    summary = FetchSummary(secret.host, resumed=bool(manifest.data["done"]))
    stop = stop or threading.Event()
    runner = _Runner(options, tuning, secret, out_dir, manifest, summary, progress, stop, follow)
    try:
        if workers is not None or scheduler is not None:
            runner.on_dask(workers, scheduler)
        else:
            runner.here()
    except KeyboardInterrupt:
        summary.stopped = True
        stop.set()
    finally:
        runner.close()
    summary.seconds = time.monotonic() - started
    summary.complete = _complete(options, manifest)
    return summary


def _complete(options: Options, manifest: Manifest) -> bool:
    if options.source == "slots":
        return options.last is not None and manifest.next_slot(options.first or 0) > options.last
    return bool(manifest.data["complete"])


class _Runner:
    def __init__(self, options: Options, tuning: Tuning, secret: Secret, out: Path, manifest: Manifest,
                 summary: FetchSummary, progress: Callable[[FetchSummary], None] | None,
                 stop: threading.Event, follow: bool) -> None:
        self.options, self.tuning, self.secret, self.out = options, tuning, secret, out
        self.follow = follow
        self.manifest, self.summary, self.progress, self.stop = manifest, summary, progress, stop
        self.stats = Stats()
        self._fetcher: Fetcher | None = None

    @property
    def fetcher(self) -> Fetcher:
        if self._fetcher is None:
            self._fetcher = Fetcher(self.options, self.tuning, self.secret, self.out, self.stats)
            self._fetcher.client.sleep = self._sleep
        return self._fetcher

    def _sleep(self, seconds: float) -> None:
        if self.stop.wait(seconds):
            raise KeyboardInterrupt

    def close(self) -> None:
        if self._fetcher is not None:
            self._fetcher.close()
        self._count()

    def _count(self) -> None:
        s = self.summary
        s.requests, s.retries, s.bytes = self.stats.requests, self.stats.retries, self.stats.bytes

    def finished(self, result: UnitResult) -> None:
        commit(self.out, self.manifest, result)
        self.summary.add(result)
        self._count()
        if self.progress:
            self.progress(self.summary)

    def next_units(self) -> list[Unit]:
        """The units left now (following: those the chain has reached)."""
        o, m = self.options, self.manifest
        if o.source == "slots":
            assert o.first is not None
            last = o.last
            if self.follow:
                tip = self.fetcher.tip()
                last = tip if last is None else min(last, tip)
            assert last is not None
            return slot_units(o, m, m.next_slot(o.first), last)
        if o.source == "accounts":
            return [] if m.data["complete"] else [Unit("accounts", 0, 0)]
        if m.data["complete"]:
            if not self.follow:
                return []
            head = m.next_slot(HEAD_UNITS)
            return [Unit(f"head-{head - HEAD_UNITS}", head, head, m.data["top"], m.data["signatures"])]
        page = m.next_slot(0)
        return [Unit(f"page-{page}", page, page, m.data["cursor"] or o.before if page else o.before,
                     m.data["signatures"])]

    def here(self) -> None:
        while not self.stop.is_set():
            units = self.next_units()
            found = 0
            for unit in units:
                if self.stop.is_set():
                    return
                result = self.fetcher.run(unit)
                if unit.name.startswith("head-") and not result.signatures:
                    discard(self.out, unit)  # nothing newer yet: no unit to record
                    continue
                self.finished(result)
                found += 1
            if not self.follow:
                if _complete(self.options, self.manifest) or not units:
                    return
                continue
            if self.options.source == "slots" and _complete(self.options, self.manifest):
                return
            if not found:
                self._sleep(self.tuning.poll)

    def on_dask(self, workers: int | None, scheduler: str | None) -> None:
        if self.options.source != "slots" or self.follow:
            raise FetchError("Dask workers fetch slot ranges (--slots A:B), not histories, snapshots or followed chains")
        from distributed import Client, LocalCluster, as_completed

        units = self.next_units()
        if not units:
            return
        if scheduler:
            try:
                client = Client(scheduler, timeout="10s")
            except (OSError, TimeoutError) as e:
                raise FetchError(f"cannot reach the scheduler at {scheduler}: {e}") from None
            cluster = None
        else:
            import logging
            cluster = LocalCluster(n_workers=workers or 1, threads_per_worker=1, processes=True,
                                   dashboard_address=":0", silence_logs=logging.ERROR)
            client = Client(cluster)
        try:
            futures = [client.submit(run_unit, self.options, self.tuning, self.secret, str(self.out), u,
                                     key=f"brisquel-fetch-{u.name}-{id(self)}", pure=False, retries=2)
                       for u in units]
            try:
                for future in as_completed(futures):
                    result, stats = future.result()
                    self.stats.add(**stats)
                    self.finished(result)
                    if self.stop.is_set():
                        break
            finally:
                client.cancel(futures)
        finally:
            client.close()
            if cluster is not None:
                cluster.close()


_worker_fetchers: dict[tuple[Any, ...], Fetcher] = {}


def run_unit(options: Options, tuning: Tuning, secret: Secret, out: str, unit: Unit) -> tuple[UnitResult, dict[str, int]]:
    """A Dask task: one unit fetched and staged by this worker process."""
    key = (options, secret.reveal(), out)
    fetcher = _worker_fetchers.get(key)
    if fetcher is None:
        fetcher = _worker_fetchers[key] = Fetcher(options, tuning, secret, Path(out), Stats())
    before = (fetcher.stats.requests, fetcher.stats.retries, fetcher.stats.bytes)
    try:
        result = fetcher.run(unit)
    except NodeError as e:
        raise FetchError(str(e)) from None
    after = (fetcher.stats.requests, fetcher.stats.retries, fetcher.stats.bytes)
    return result, {name: b - a for name, a, b in zip(("requests", "retries", "bytes"), before, after)}
