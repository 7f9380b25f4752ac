"""Peak memory of one large parse_logs batch, measured in a fresh process so
that memory freed by earlier work cannot hide the call's own growth.

    python3 bench/memory_probe.py {a_swap|b_small} LINES   -> one JSON object

peak_bytes: growth of the resident set at its highest during the call (native
allocations included, which tracemalloc would miss); result_bytes: growth that
remains while the result is alive (free heap memory trimmed); object_bytes: sys.getsizeof summed over the
result's distinct objects.
"""

from __future__ import annotations

import ctypes
import gc
import json
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synthetic  # noqa: E402

from brisquel import EventDecoder  # noqa: E402

EVENTS = {"a_swap": synthetic.SWAP, "b_small": synthetic.SMALL, "c_text": synthetic.TEXT}


def status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def object_bytes(root: object) -> int:
    seen: set[int] = set()
    total = 0
    stack = [root]
    while stack:
        obj = stack.pop()
        if id(obj) in seen or sys._is_immortal(obj):
            continue
        seen.add(id(obj))
        total += sys.getsizeof(obj)
        if isinstance(obj, dict):
            stack.extend(obj.keys())
            stack.extend(obj.values())
        elif isinstance(obj, (list, tuple)):
            stack.extend(obj)
    return total


def main() -> None:
    key, count = sys.argv[1], int(sys.argv[2])
    decoder = EventDecoder(json.dumps(synthetic.IDL))
    lines = synthetic.repeat_to(synthetic.event_lines(EVENTS[key], min(count, 100_000), random.Random(7)), count)
    decoder.parse_logs(lines[:1000])
    libc = ctypes.CDLL(None)
    gc.collect()
    libc.malloc_trim(0)  # give back what building the input left free
    gc.disable()
    before = status_kib("VmRSS")
    Path("/proc/self/clear_refs").write_text("5")  # restart the high-water mark here
    result = decoder.parse_logs(lines)
    peak = status_kib("VmHWM")
    libc.malloc_trim(0)  # what the call freed no longer counts as kept
    kept = status_kib("VmRSS")
    gc.enable()
    if len(result) != count:
        raise SystemExit(f"decoded {len(result)} of {count} lines")
    print(json.dumps({"lines": count, "peak_bytes": (peak - before) * 1024, "result_bytes": (kept - before) * 1024,
                      "object_bytes": object_bytes(result)}))


if __name__ == "__main__":
    main()
