"""Timing: candidates are run in interleaved rounds so
that a change of machine load between rounds hits every candidate alike."""

from __future__ import annotations

import gc
import statistics
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any


@dataclass
class Timings:
    samples: dict[str, list[float]]  # name -> ns per call, one per round

    def median(self, name: str) -> float:
        return statistics.median(self.samples[name])

    def ratio(self, name: str, baseline: str) -> float:
        """The median over rounds of the round's time ratio."""
        return statistics.median(a / b for a, b in zip(self.samples[name], self.samples[baseline], strict=True))


def _once(fn: Callable[[], Any], repeat: int) -> float:
    # The collector would charge whoever happens to cross its threshold: it is
    # kept out of the timed calls, and results are freed outside them too.
    gc.collect()
    gc.disable()
    try:
        kept = []
        start = time.perf_counter_ns()
        for _ in range(repeat):
            kept.append(fn())
        elapsed = time.perf_counter_ns() - start
    finally:
        gc.enable()
    del kept
    return elapsed / repeat


def interleaved(candidates: Mapping[str, Callable[[], Any]], runs: int = 5, warmup: int = 1,
                repeat: int = 1) -> Timings:
    """ns per call of each candidate over `runs` rounds, after `warmup` rounds;
    each sample is the mean of `repeat` calls (for calls too short to time alone)."""
    for _ in range(warmup):
        for fn in candidates.values():
            _once(fn, repeat)
    samples: dict[str, list[float]] = {name: [] for name in candidates}
    for _ in range(runs):
        for name, fn in candidates.items():
            samples[name].append(_once(fn, repeat))
    return Timings(samples)
