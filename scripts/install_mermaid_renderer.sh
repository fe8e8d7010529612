#!/usr/bin/env bash
# Installs what the real-renderer test needs to draw Mermaid text: a headless
# Chromium from Debian and the Mermaid library, taken from the PyPI wheel that
# vendors it and checked against a pinned hash. Each piece is skipped when it
# is already there. Prints, for the caller to eval, the two variables the test
# reads: CORVANE_CHROMIUM (the browser) and CORVANE_MERMAID_JS (the library).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

mermaid_version=11.16.0
wheel=artoo_mermaid-$mermaid_version-py3-none-any.whl
wheel_sha256=fa6d2c8c0fbc4be09a456bfdd62f92eb85e44299a02460b1f4fd4f200a19f01d
dir="$root/build/mermaid-renderer"
js="$dir/mermaid-$mermaid_version.min.js"
browser=/usr/bin/chromium-headless-shell

if [ ! -x "$browser" ]; then
  echo "== installing chromium-headless-shell" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  apt-get install -y -qq --no-install-recommends chromium-headless-shell >/dev/null
fi

if [ ! -f "$js" ]; then
  echo "== fetching mermaid.min.js $mermaid_version" >&2
  mkdir -p "$dir"
  python3 -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: \
    --python-version 3.12 "artoo-mermaid==$mermaid_version" -d "$dir" >&2
  echo "$wheel_sha256  $dir/$wheel" | sha256sum --check --quiet >&2
  python3 - "$dir/$wheel" "$js" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    data = wheel.read("artoo_mermaid/assets/mermaid.min.js")
with open(sys.argv[2] + ".part", "wb") as out:
    out.write(data)
EOF
  mv "$js.part" "$js"
  rm -f "$dir/$wheel"
fi

echo "export CORVANE_CHROMIUM=$browser CORVANE_MERMAID_JS=$js"
