#!/usr/bin/env bash
# Builds the documentation site into build/site with warnings as errors.
#
#   bash scripts/check_docs.sh [python]
#
# With a Python interpreter (for instance a virtual environment's
# bin/python), the pinned documentation tools are installed into that
# interpreter's environment; without one, into build/docs-venv, made from
# python3. The API reference is read from the typing stubs, so the package
# need not be built or installed. The site serves the pinned Mermaid library
# itself (CORVANE_MERMAID_JS, or the one scripts/install_mermaid_renderer.sh
# installs), so build/site draws its diagrams without a network.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ $# -gt 0 ]; then
  python=$1
else
  venv="$root/build/docs-venv"
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  python="$venv/bin/python"
fi

"$python" -m pip install -q --disable-pip-version-check -r "$root/docs/requirements.txt"
# Material prints an advertisement banner on every build otherwise.
export NO_MKDOCS_2_WARNING=1
"$python" -m mkdocs build --strict --clean --config-file "$root/mkdocs.yml" --site-dir "$root/build/site"
if [ -z "${CORVANE_MERMAID_JS:-}" ]; then
  eval "$(bash "$root/scripts/install_mermaid_renderer.sh")"
fi
install -D -m 644 "$CORVANE_MERMAID_JS" "$root/build/site/assets/javascripts/mermaid.min.js"
