"""Timing two ways of doing the same work side by side."""

import time
from collections.abc import Callable
from typing import Any


def best_of_both(repeats: int, ours: Callable[[], Any], theirs: Callable[[], Any]) -> list[float]:
    """Best time in seconds of each, measured in alternation so that both see
    the same machine load."""
    best = [float("inf"), float("inf")]
    for _ in range(repeats):
        for slot, run in enumerate((ours, theirs)):
            start = time.perf_counter()
            run()
            best[slot] = min(best[slot], time.perf_counter() - start)
    return best


def print_rows(ours: str, rows: list[tuple[str, float, float, str]]) -> None:
    """A table of (workload, our seconds, the other's seconds, what the other
    is) with the ratio of each row."""
    print(f"{'workload':<50} {ours:>10} {'other':>10} {'ratio':>6}  other")
    for name, mine, theirs, other in rows:
        print(f"{name:<50} {duration(mine)} {duration(theirs)} {mine / theirs:>6.2f}  {other}")


def duration(seconds: float) -> str:
    """Seconds as a ten-character figure in a unit that keeps four digits."""
    for unit, scale in (("ns", 1e9), ("us", 1e6), ("ms", 1e3)):
        if seconds * scale < 1000:
            return f"{seconds * scale:>8.3g}{unit}"
    return f"{seconds:>9.3g}s"
