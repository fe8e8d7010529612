"""A run's timeline as the text of a Mermaid gantt chart."""

from __future__ import annotations

import re
from collections.abc import Iterable

# Characters that end or split a gantt task line, or start a comment, in
# every Mermaid version: replaced by their full-width forms, which read the
# same. Mermaid's #NN; entity codes are no way out: gantt bars show them raw.
_REPLACED = str.maketrans({"#": "\uff03", ":": "\uff1a", ";": "\uff1b", "%": "\uff05"})

# Words that make a line a statement instead of a task when it starts with
# them (matched without regard to case), and dates, which Mermaid also reads
# first. Such a name gets an invisible zero-width space in front.
_STATEMENT_START = re.compile(
    r"(gantt|dateformat\s|inclusiveenddates|topaxis|axisformat\s|tickinterval\s|includes\s"
    r"|excludes\s|todaymarker\s|weekday\s|title\s|accdescription\s|section\s|click\s"
    r"|call\s|href\s|acctitle\s*:|accdescr|\d{4}-\d{2}-\d{2})",
    re.IGNORECASE,
)


def escape_label(text: str) -> str:
    """`text` as a gantt task name that Mermaid draws as it reads: on one
    line (line breaks and other control characters become spaces), with the
    characters that the gantt syntax cannot carry replaced."""
    flat = "".join(" " if ch.isspace() or not ch.isprintable() else ch for ch in text).strip()
    name = flat.translate(_REPLACED)
    # Also a name that would be empty: a task line needs one.
    return "\u200b" + name if not name or _STATEMENT_START.match(name) else name


def _microseconds(seconds: float) -> int:
    return round(seconds * 1_000_000)


def gantt_chart(
    run_start: float, calling_thread: int, bars: Iterable[tuple[str, int, float, float]]
) -> str:
    """Gantt text for `bars` of (name, thread, start, end), grouped by thread,
    the calling thread's section first, then the others by first start.

    Times are whole microseconds from `run_start`, written as Mermaid's
    millisecond timestamps (``dateFormat x``), the only unit that carries
    them exactly; the axis (``%Q``) shows the same numbers."""
    by_thread: dict[int, list[tuple[str, float, float]]] = {}
    for name, thread, start, end in sorted(bars, key=lambda bar: (bar[2], bar[3])):
        by_thread.setdefault(thread, []).append((name, start, end))
    threads = sorted(
        by_thread, key=lambda thread: (thread != calling_thread, by_thread[thread][0][1])
    )

    lines = ["gantt", "    title corvane run (µs from its start)", "    dateFormat x"]
    lines.append("    axisFormat %Q")
    workers = 0
    for thread in threads:
        if thread == calling_thread:
            lines.append("    section calling thread")
        else:
            workers += 1
            lines.append(f"    section worker {workers}")
        for name, start, end in by_thread[thread]:
            begin = _microseconds(max(start - run_start, 0.0))
            finish = max(_microseconds(end - run_start), begin)
            lines.append(f"    {escape_label(name)} :{begin}, {finish}")
    return "\n".join(lines) + "\n"
