"""Shared timing and reporting for the benchmarks.

A benchmark module (bench/bench_*.py) defines ``register(bench)`` and adds cases with
``bench.case(title, frames, impls)``: ``impls`` maps an implementation name to a callable that
processes ``frames`` frames once. The first implementation is sonolith's; the table reports every
implementation's frames per second, its speed as a multiple of real time at 48 kHz, and how many
times faster sonolith is than it.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Callable

RATE = 48000


def seconds_per_call(fn: Callable[[], object], min_time: float = 0.25, repeats: int = 5) -> float:
    """Best time of one call over several timed batches of at least ``min_time`` / repeats."""
    fn()
    n, t = 1, 0.0
    while True:  # find a batch size that runs long enough to time
        start = time.perf_counter()
        for _ in range(n):
            fn()
        t = time.perf_counter() - start
        if t >= min_time / repeats or n >= 1 << 24:
            break
        n *= 2 if t == 0 else max(2, int(min_time / repeats / t * 1.2))
    best = t / n
    for _ in range(repeats - 1):
        start = time.perf_counter()
        for _ in range(n):
            fn()
        best = min(best, (time.perf_counter() - start) / n)
    return best


@dataclass
class Case:
    title: str
    frames: int
    impls: dict[str, Callable[[], object]]


@dataclass
class Bench:
    quick: bool = False
    cases: list[Case] = field(default_factory=list)
    tables: list[Callable] = field(default_factory=list)  # table(out, quick): a custom report

    def case(self, title: str, frames: int, impls: dict[str, Callable[[], object]]) -> None:
        self.cases.append(Case(title, frames, {k: v for k, v in impls.items() if v is not None}))

    def table(self, fn: Callable) -> None:
        self.tables.append(fn)

    def run(self, out=print) -> None:
        for fn in self.tables:
            fn(out, self.quick)
        if not self.cases:
            return
        min_time = 0.05 if self.quick else 0.25
        out(f"{'case':<44} {'implementation':<22} {'Mframes/s':>10} {'x realtime':>11} {'sonolith is':>12}")
        out("-" * 103)
        for case in self.cases:
            times = {name: seconds_per_call(fn, min_time) for name, fn in case.impls.items()}
            ours = next(iter(times.values()))
            for i, (name, t) in enumerate(times.items()):
                fps = case.frames / t
                ratio = "" if i == 0 else f"{t / ours:.2f}x"
                out(f"{case.title if i == 0 else '':<44} {name:<22} {fps / 1e6:>10.2f} "
                    f"{fps / RATE:>11.0f} {ratio:>12}")
            out("")
