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
