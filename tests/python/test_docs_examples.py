"""Every Python example in README.md and docs/ runs against the installed
package and prints exactly the output shown beneath it, and the examples
type-check under mypy --strict.

An example is a ```python block. The block of output it prints is the
```text block that follows it with nothing but an "Output:" line between
them; an example without one must print nothing. Mermaid gantt blocks after
an example are timelines of one run of it, which it writes to timelines.md."""

import dataclasses
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]

FENCE_OPEN = re.compile(r"^(?P<indent> *)(?P<fence>`{3,})\s*(?P<lang>[\w-]*)")


@dataclasses.dataclass(frozen=True)
class Block:
    page: Path
    first_line: int  # of the opening fence, counting from 1
    last_line: int  # of the closing fence
    lang: str
    body: str


@dataclasses.dataclass(frozen=True)
class Example:
    code: Block
    output: Block | None

    @property
    def name(self) -> str:
        return f"{self.code.page.relative_to(ROOT)}:{self.code.first_line}"


def fenced_blocks(page: Path) -> list[Block]:
    lines = page.read_text(encoding="utf-8").splitlines()
    blocks = []
    index = 0
    while index < len(lines):
        opening = FENCE_OPEN.match(lines[index])
        if not opening:
            index += 1
            continue
        indent, fence = opening["indent"], opening["fence"]
        closing = re.compile(rf"^{indent}`{{{len(fence)},}}\s*$")
        end = index + 1
        while end < len(lines) and not closing.match(lines[end]):
            end += 1
        body = "".join(line.removeprefix(indent) + "\n" for line in lines[index + 1 : end])
        blocks.append(Block(page, index + 1, end + 1, opening["lang"], body))
        index = end + 1
    return blocks


def lines_between(first: Block, second: Block) -> list[str]:
    lines = first.page.read_text(encoding="utf-8").splitlines()
    return [line.strip() for line in lines[first.last_line : second.first_line - 1] if line.strip()]


def is_output_of(code: Block, output: Block) -> bool:
    return output.lang == "text" and lines_between(code, output) == ["Output:"]


def collect_examples() -> list[Example]:
    examples = []
    for page in PAGES:
        blocks = fenced_blocks(page)
        for index, block in enumerate(blocks):
            if block.lang != "python":
                continue
            following = blocks[index + 1 : index + 2]
            output = following[0] if following and is_output_of(block, following[0]) else None
            examples.append(Example(block, output))
    return examples


EXAMPLES = collect_examples()


@pytest.mark.parametrize("example", EXAMPLES, ids=[example.name for example in EXAMPLES])
def test_example_prints_the_output_shown(example, tmp_path):
    script = tmp_path / "example.py"
    script.write_text(example.code.body, encoding="utf-8")
    finished = subprocess.run(
        [sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert finished.returncode == 0, finished.stderr
    assert finished.stderr == ""
    assert finished.stdout == (example.output.body if example.output else "")


def test_every_output_block_follows_an_example():
    """An "Output:" block after anything but a python block would never be checked."""
    for page in PAGES:
        blocks = fenced_blocks(page)
        for before, block in zip(blocks, blocks[1:], strict=False):
            if is_output_of(before, block):
                assert before.lang == "python", f"{page.relative_to(ROOT)}:{block.first_line}"


def is_timeline(block: Block) -> bool:
    return block.lang == "mermaid" and block.body.startswith("gantt")


def test_drawn_diagrams_repeat_the_output_above_them():
    """A mermaid block that follows an output block draws that very text,
    unless it is a timeline, whose times change from run to run."""
    for page in PAGES:
        blocks = fenced_blocks(page)
        for before, block in zip(blocks, blocks[1:], strict=False):
            if block.lang == "mermaid" and before.lang == "text" and not is_timeline(block):
                assert block.body == before.body, f"{page.relative_to(ROOT)}:{block.first_line}"


def drawn_timelines() -> list[tuple[Example, list[Block]]]:
    """Examples with the timelines drawn beneath them, before the next
    example: the charts of one run, which the example writes to
    timelines.md."""
    found = []
    for example in EXAMPLES:
        blocks = fenced_blocks(example.code.page)
        after = [block for block in blocks if block.first_line > example.code.first_line]
        following = next((i for i, block in enumerate(after) if block.lang == "python"), None)
        charts = [block for block in after[:following] if is_timeline(block)]
        if charts:
            found.append((example, charts))
    return found


def waits_for_the_longest(chart: str) -> tuple[list[str], set[str]]:
    """A gantt chart's bars, and those that start only after its longest
    bar has ended."""
    bars = {}
    for line in chart.splitlines():
        bar = re.fullmatch(r" +(?P<name>.+) :(?P<start>\d+), (?P<end>\d+)", line)
        if bar:
            bars[bar["name"]] = (int(bar["start"]), int(bar["end"]))
    longest_end = max(bars.values(), key=lambda times: times[1] - times[0])[1]
    return sorted(bars), {name for name, (start, _) in bars.items() if start >= longest_end}


TIMELINES = drawn_timelines()


@pytest.mark.parametrize(
    ("example", "charts"), TIMELINES, ids=[example.name for example, _ in TIMELINES]
)
def test_drawn_timelines_wait_as_a_new_run_does(example, charts, tmp_path):
    """The times of a timeline change from run to run; its bars, and which
    of them wait for the slowest one, do not."""
    script = tmp_path / "example.py"
    script.write_text(example.code.body, encoding="utf-8")
    subprocess.run(
        [sys.executable, str(script)], cwd=tmp_path, capture_output=True, check=True, timeout=120
    )
    written = fenced_blocks(tmp_path / "timelines.md")
    assert [waits_for_the_longest(block.body) for block in written] == [
        waits_for_the_longest(chart.body) for chart in charts
    ]


def test_examples_pass_mypy_strict(tmp_path):
    api = pytest.importorskip("mypy.api")
    files = []
    for number, example in enumerate(EXAMPLES):
        path = tmp_path / f"example_{number}.py"
        path.write_text(example.code.body, encoding="utf-8")
        files.append(str(path))
    examples_dir = ROOT / "examples"
    files += [str(path) for path in sorted(examples_dir.glob("*.py"))]
    report, errors, status = api.run(
        [
            "--strict",
            "--config-file",
            str(ROOT / "pyproject.toml"),
            "--cache-dir",
            str(tmp_path / "cache"),
            *files,
        ]
    )
    assert status == 0, re.sub(r"\S*example_(\d+)\.py:(\d+)", page_line, report) + errors


def page_line(location: re.Match[str]) -> str:
    """Names a line of an example file by its page and line there."""
    code = EXAMPLES[int(location[1])].code
    return f"{code.page.relative_to(ROOT)}:{code.first_line + int(location[2])}"
