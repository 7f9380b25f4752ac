"""parse_logs of two builds of the module, timed in interleaved rounds in one
process, on the benchmark's batches: the fairest before/after comparison on
a machine whose load changes.

    python3 bench/ab.py OLD_SITE NEW_SITE [--lines N] [--runs N]

Each SITE is a folder holding a built `brisquel` package (for example made
with `pip install --target SITE .` from a checkout of each commit).
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import random
import sys
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synthetic  # noqa: E402
import timing  # noqa: E402


def load(site: Path, alias: str, name: str = "_brisquel"):
    """The compiled module `name` of `site`, under a name of its own."""
    found = sorted((site / "brisquel").glob(f"{name}.*.so"))
    if not found:
        raise SystemExit(f"no brisquel/{name}*.so under {site}")
    spec = importlib.util.spec_from_file_location(f"{alias}.{name}", found[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def two_builds(doc: str, name: str, count: str, count_default: int, runs: int) -> tuple[Any, Any, Any]:
    """The command line of a comparison (OLD_SITE NEW_SITE, --`count` and
    --runs) and the module `name` of both builds."""
    ap = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("old", type=Path)
    ap.add_argument("new", type=Path)
    ap.add_argument(f"--{count}", type=int, default=count_default)
    ap.add_argument("--runs", type=int, default=runs)
    args = ap.parse_args()
    return args, load(args.old, "old", name), load(args.new, "new", name)


def main() -> None:
    args, old_module, new_module = two_builds(__doc__, "_brisquel", "lines", 100_000, 7)
    text = json.dumps(synthetic.IDL)
    old = old_module.EventDecoder(text)
    new = new_module.EventDecoder(text)
    rng = random.Random(20240601)
    batches = {f"({k}) {n}": synthetic.event_lines(n, args.lines, rng)
               for k, n in (("a", synthetic.SWAP), ("b", synthetic.SMALL), ("c", synthetic.TEXT))}
    mix, _ = synthetic.transaction_lines(args.lines, rng)
    batches["(d) transaction mix"] = mix
    print(f"{'batch':<28} {'old ns/line':>12} {'new ns/line':>12} {'new/old':>8}")
    for label, lines in batches.items():
        if old.parse_logs(lines) != new.parse_logs(lines):
            raise SystemExit(f"{label}: the two builds disagree")
        t = timing.interleaved({"old": lambda: old.parse_logs(lines), "new": lambda: new.parse_logs(lines)},
                               runs=args.runs)
        n = len(lines)
        print(f"{label:<28} {t.median('old') / n:>12.1f} {t.median('new') / n:>12.1f} {t.ratio('new', 'old'):>8.3f}")


if __name__ == "__main__":
    main()
