"""Compares two result files of bench/run.py (for example before and after a
change): parse_logs against marshal.loads per batch, construction against
json.loads, and the targets. Ratios are compared, not times, since each file's
ratios were measured against baselines of its own run.

    python3 bench/compare.py OLD.json NEW.json
"""

from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import Any


def _rows(report: dict[str, Any]) -> dict[str, tuple[float, float]]:
    """batch -> (ns per line, ratio to marshal.loads)."""
    rows = {}
    for group in ("batches", "real_idls"):
        for key, row in report.get(group, {}).items():
            rows[key] = (row["ns_per_line"]["parse_logs"], row["ratio"]["marshal"])
    for key, row in report.get("construction", {}).items():
        rows[f"construction {key}"] = (row["us"]["EventDecoder"] * 1000, row["ratio_json"])
    return rows


def main() -> None:
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    old, new = (json.loads(Path(p).read_text()) for p in sys.argv[1:])
    print(f"old: {old.get('commit')} ({sys.argv[1]})\nnew: {new.get('commit')} ({sys.argv[2]})\n")
    print(f"{'batch':<46} {'old ns':>9} {'new ns':>9} {'old x':>7} {'new x':>7} {'x change':>9}")
    a, b = _rows(old), _rows(new)
    for key in [k for k in a if k in b]:
        (ns0, r0), (ns1, r1) = a[key], b[key]
        print(f"{key:<46} {ns0:>9.1f} {ns1:>9.1f} {r0:>7.2f} {r1:>7.2f} {100 * (r1 / r0 - 1):>+8.1f}%")
    print("\n(x: against marshal.loads for batches, json.loads for construction)")
    for label, report in (("old", old), ("new", new)):
        missed = [t["target"] for t in report.get("targets", []) if t["met"] is False]
        print(f"{label} targets missed: {', '.join(missed) if missed else 'none'}")


if __name__ == "__main__":
    main()
