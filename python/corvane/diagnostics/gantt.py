"""A run's timeline as the text of a Mermaid gantt chart."""

from __future__ import annotations

from collections.abc import Iterable

# Characters that end or split a gantt task line, or that Mermaid would read
# as an entity or markup. They travel as Mermaid's own entity codes (#NN;),
# which Mermaid turns back into the characters when it draws the chart.
_ESCAPED = frozenset('#:;%<>&"`\\{}[]|')


def escape_label(text: str) -> str:
    """`text` as a task name that no Mermaid version reads as anything else.

    Line breaks and other control characters become spaces. The first
    character is always sent as an entity, so that no name can begin with one
    of the chart's keywords (section, title, click, a date...) or a comment.
    """
    flat = "".join(" " if ch.isspace() or not ch.isprintable() else ch for ch in text).strip()
    if not flat:
        return ""
    return "".join(
        f"#{ord(ch)};" if index == 0 or ch in _ESCAPED else ch for index, ch in enumerate(flat)
    )


def _milliseconds(seconds: float) -> str:
    return f"{seconds * 1000:.3f}".rstrip("0").rstrip(".")


def gantt_chart(
    run_start: float, calling_thread: int, bars: Iterable[tuple[str, int, float, float]]
) -> str:
    """Gantt text for `bars` of (name, thread, start, end), grouped by thread,
    the calling thread's section first, then the others by first start."""
    by_thread: dict[int, list[tuple[str, float, float]]] = {}
    for name, thread, start, end in sorted(bars, key=lambda bar: (bar[2], bar[3])):
        by_thread.setdefault(thread, []).append((name, start, end))
    threads = sorted(
        by_thread, key=lambda thread: (thread != calling_thread, by_thread[thread][0][1])
    )

    lines = ["gantt", "    title corvane run", "    dateFormat x", "    axisFormat %S.%L s"]
    workers = 0
    for thread in threads:
        if thread == calling_thread:
            lines.append("    section calling thread")
        else:
            workers += 1
            lines.append(f"    section worker {workers}")
        for name, start, end in by_thread[thread]:
            begin = max(start - run_start, 0.0)
            lines.append(
                f"    {escape_label(name)} :{_milliseconds(begin)}, "
                f"{_milliseconds(max(end - run_start, begin))}"
            )
    return "\n".join(lines) + "\n"
