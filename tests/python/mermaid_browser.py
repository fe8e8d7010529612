"""Renders Mermaid texts with the real Mermaid library in a headless Chromium.

Every text of one call is drawn in a single page load: the texts go into a
page as JSON, the page renders them one after another with `mermaid.render`
and writes every outcome into its DOM, and Chromium prints that DOM when the
page has settled. Any kind of Mermaid diagram can be rendered; `elements`
reads the drawn SVG back for checks.

The browser and the library are found through two environment variables,
set by scripts/install_mermaid_renderer.sh: CORVANE_CHROMIUM (the headless
browser) and CORVANE_MERMAID_JS (mermaid.min.js).
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import tempfile
import urllib.parse
from collections.abc import Mapping
from dataclasses import dataclass
from html.parser import HTMLParser
from pathlib import Path
from types import MappingProxyType

CHROMIUM_VARIABLE = "CORVANE_CHROMIUM"
MERMAID_JS_VARIABLE = "CORVANE_MERMAID_JS"

_BEGIN = "@@MERMAID-RESULTS@@"
_END = "@@END-MERMAID-RESULTS@@"

# Rendering runs at the page's pace; the budget only has to outlast it.
_VIRTUAL_TIME_BUDGET_MS = 3_600_000

_PAGE = """<!doctype html>
<meta charset="utf-8">
<body>
<script src="{mermaid_url}"></script>
<script>
const texts = {texts};
const config = {config};
mermaid.initialize(Object.assign(
    {{startOnLoad: false, suppressErrorRendering: true}}, config));
(async () => {{
  const results = [];
  for (let i = 0; i < texts.length; ++i) {{
    try {{
      const {{svg}} = await mermaid.render("diagram" + i, texts[i]);
      results.push({{svg}});
    }} catch (e) {{
      results.push({{error: String((e && e.message) || e)}});
    }}
  }}
  const out = document.createElement("pre");
  out.textContent = "{begin}" + encodeURIComponent(JSON.stringify(results)) + "{end}";
  document.body.append(out);
}})();
</script>
"""


class RendererMissing(RuntimeError):
    """The browser or the Mermaid library is not installed or not named."""


@dataclass(frozen=True, slots=True)
class Rendered:
    """What Mermaid made of one text: its SVG, or the error it raised."""

    svg: str | None
    error: str | None

    @property
    def ok(self) -> bool:
        return self.error is None


@dataclass(frozen=True, slots=True)
class Element:
    """One SVG (or embedded HTML) element: its tag, attributes, classes and
    the text of everything inside it."""

    tag: str
    attributes: Mapping[str, str]
    text: str

    @property
    def id(self) -> str:
        return self.attributes.get("id", "")

    @property
    def classes(self) -> frozenset[str]:
        return frozenset(self.attributes.get("class", "").split())


@dataclass(frozen=True, slots=True)
class Renderer:
    chromium: Path
    mermaid_js: Path
    timeout: float = 300.0  # seconds for the whole page load

    @classmethod
    def from_environment(cls) -> Renderer:
        """The renderer named by the environment; RendererMissing when a
        variable is unset or names no file."""
        paths = []
        for variable in (CHROMIUM_VARIABLE, MERMAID_JS_VARIABLE):
            value = os.environ.get(variable)
            if not value or not Path(value).is_file():
                raise RendererMissing(f"{variable}={value!r} names no file")
            paths.append(Path(value))
        return cls(*paths)

    def render_all(self, texts: list[str], config: dict | None = None) -> list[Rendered]:
        """Renders every text in one page load, in order. `config` is merged
        into the Mermaid configuration (e.g. {"maxEdges": 2000})."""
        with tempfile.TemporaryDirectory(prefix="mermaid-render-") as scratch:
            page = Path(scratch, "page.html")
            page.write_text(
                _PAGE.format(
                    mermaid_url=self.mermaid_js.resolve().as_uri(),
                    texts=_script_json(texts),
                    config=_script_json(config or {}),
                    begin=_BEGIN,
                    end=_END,
                ),
                encoding="utf-8",
            )
            dom = self._dump_dom(page, Path(scratch, "profile"))
        # The last markers: the page's own script holds the first ones.
        end = dom.rfind(_END)
        start = dom.rfind(_BEGIN, 0, end)
        if start < 0 or end < 0:
            raise RuntimeError("the page finished without results:\n" + dom[-2000:])
        results = json.loads(urllib.parse.unquote(dom[start + len(_BEGIN) : end]))
        if len(results) != len(texts):
            raise RuntimeError(f"{len(results)} results for {len(texts)} texts")
        return [Rendered(r.get("svg"), r.get("error")) for r in results]

    def _dump_dom(self, page: Path, profile: Path) -> str:
        command = [
            str(self.chromium),
            "--headless",
            "--no-sandbox",  # the tests may run as root
            "--disable-gpu",
            "--no-first-run",
            f"--user-data-dir={profile}",
            f"--virtual-time-budget={_VIRTUAL_TIME_BUDGET_MS}",
            "--dump-dom",
            page.as_uri(),
        ]
        # A session of its own, so a timeout ends exactly the browser's
        # process group: Chromium and the helpers it started, nothing else.
        # The group is ended before the browser is reaped, while its id
        # cannot yet have been reused.
        with subprocess.Popen(
            command,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            stdin=subprocess.DEVNULL,
            start_new_session=True,
        ) as browser:
            try:
                out, err = browser.communicate(timeout=self.timeout)
            except subprocess.TimeoutExpired:
                os.killpg(browser.pid, signal.SIGKILL)
                browser.communicate()
                raise RuntimeError(f"Chromium took longer than {self.timeout} s") from None
        if browser.returncode != 0:
            raise RuntimeError(
                f"Chromium exited with {browser.returncode}:\n{err.decode()[-2000:]}"
            )
        return out.decode("utf-8")


def _script_json(value) -> str:
    # Escaping "<" keeps "</script>" and "<!--" inside a text from ending the script.
    return json.dumps(value, ensure_ascii=True).replace("<", "\\u003c")


def elements(svg: str) -> list[Element]:
    """Every element of an SVG that has an id or a class, in document order."""
    parser = _ElementParser()
    parser.feed(svg)
    parser.close()
    return [element for _, element in sorted(parser.found, key=lambda found: found[0])]


class _ElementParser(HTMLParser):
    # Elements that never hold content, whatever the markup says.
    _VOID = frozenset({"br", "img", "hr", "input", "meta", "link", "wbr", "col", "area"})

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.found: list[tuple[int, Element]] = []
        self._open: list[tuple[int, str, dict, list[str]]] = []
        self._started = 0

    def handle_starttag(self, tag, attrs):
        self._started += 1
        entry = (self._started, tag, {name: value or "" for name, value in attrs}, [])
        if tag in self._VOID:
            self._close(*entry)
        else:
            self._open.append(entry)

    def handle_startendtag(self, tag, attrs):
        self._started += 1
        self._close(self._started, tag, {name: value or "" for name, value in attrs}, [])

    def handle_endtag(self, tag):
        # Unwind to the matching open tag; stray end tags are ignored.
        if not any(entry[1] == tag for entry in self._open):
            return
        while self._open:
            entry = self._open.pop()
            self._close(*entry)
            if entry[1] == tag:
                return

    def handle_data(self, data):
        for entry in self._open:
            entry[3].append(data)

    def close(self):
        super().close()
        while self._open:
            self._close(*self._open.pop())

    def _close(self, order, tag, attributes, texts):
        if "id" in attributes or "class" in attributes:
            element = Element(tag, MappingProxyType(attributes), "".join(texts))
            self.found.append((order, element))
