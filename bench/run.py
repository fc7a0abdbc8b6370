"""Runs the benchmarks side by side with what a Python user would otherwise pick.

    python bench/run.py [--quick] [AREA ...]

AREA selects bench/bench_AREA.py modules (all of them by default).
"""

from __future__ import annotations

import argparse
import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import Bench  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("areas", nargs="*", help="areas to run (default: all)")
    parser.add_argument("--quick", action="store_true", help="shorter timing runs")
    args = parser.parse_args()
    available = sorted(p.stem[len("bench_"):] for p in HERE.glob("bench_*.py"))
    areas = args.areas or available
    for area in areas:
        if area not in available:
            parser.error(f"unknown area {area!r}; choose from {', '.join(available)}")
    for area in areas:
        bench = Bench(quick=args.quick)
        importlib.import_module(f"bench_{area}").register(bench)
        print(f"\n## {area}\n")
        bench.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
