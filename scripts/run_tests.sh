#!/usr/bin/env bash
# Installs whatever the tests need on a fresh Debian machine, then runs every
# check: lint and format, the native core tests (plain, AddressSanitizer +
# UndefinedBehaviorSanitizer, ThreadSanitizer), and the Python tests against
# a wheel built and installed in a fresh virtual environment, once for every
# CPython 3.10 or newer on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v g++ >/dev/null || missing+=(g++)
python3 -c 'import venv, ensurepip' 2>/dev/null || missing+=(python3-venv)
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The machine's own python3, before the tools' environment shadows it.
default_python=$(command -v python3)

# The build and lint tools, pinned so that every machine judges alike.
tools="$root/build/venv"
rm -rf "$tools"
python3 -m venv "$tools"
"$tools/bin/pip" install -q --disable-pip-version-check \
  cmake ninja clang-format==17.0.6 ruff==0.17.6
export PATH="$tools/bin:$PATH"

lint() {
  echo "== lint"
  ruff check "$root"
  ruff format --check "$root"
  git -C "$root" ls-files -z '*.cpp' '*.hpp' | (cd "$root" && xargs -0 clang-format --dry-run -Werror)
}

run_core_tests() {
  local name=$1 sanitize=$2
  local dir="$root/build/test-$name"
  echo "== core tests ($name)"
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANE_BUILD_TESTS=ON \
    -DCORVANE_SANITIZE="$sanitize" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

# Every CPython 3.10 or newer: the default python3 and those of pyenv, each
# interpreter once. Prints "version path" lines.
supported_pythons() {
  local candidate
  for candidate in "$default_python" "$HOME"/.pyenv/versions/*/bin/python3; do
    [ -x "$candidate" ] || continue
    "$candidate" -c 'import sys, venv, ensurepip
if sys.version_info >= (3, 10) and sys.implementation.name == "cpython":
    print("%d.%d" % sys.version_info[:2], sys.executable)' 2>/dev/null || true
  done | sort -u -t' ' -k1,1V
}

# Builds a wheel with `python`, installs it with the test extra into a fresh
# virtual environment and runs the Python tests from outside the tree, so
# that they can only import the installed package.
run_python_tests() {
  local version=$1 python=$2
  local wheels="$root/build/wheels/$version" env="$root/build/py$version"
  echo "== python tests ($version: $python)"
  rm -rf "$wheels" "$env"
  "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$wheels" "$root"
  "$python" -m venv "$env"
  local wheel
  wheel=$(ls "$wheels"/corvane-*.whl)
  "$env/bin/pip" install -q --disable-pip-version-check "$wheel[test]"
  (cd "$root/build" && "$env/bin/python" -m pytest "$root/tests/python" -q -p no:cacheprovider)
}

# The Python tests once more, against the extension built with
# AddressSanitizer + UndefinedBehaviorSanitizer. The interpreter is not
# instrumented, so the runtime is preloaded (with the C++ runtime, whose
# exception entry points it must find at start-up) and Python's own
# allocator bypassed. Leak reports are off: every allocation's stack passes
# through the interpreter, which keeps memory until exit on purpose, so no
# suppression could tell its leaks from ours (test_leaks.py counts ours).
run_python_tests_sanitized() {
  # What exercises no native code of ours (other programs, the type checker)
  # or measures memory, which the sanitizer's own allocator keeps.
  local not_native=(
    --ignore="$root/tests/python/test_mermaid_render.py"
    --ignore="$root/tests/python/test_docs_examples.py"
    --ignore="$root/tests/python/test_typing.py"
    --ignore="$root/tests/python/test_dask.py"
    --deselect="tests/python/test_diagnostics.py::test_gantt_renders_in_mermaid"
    --deselect="tests/python/test_leaks.py::test_repeated_build_and_execute_does_not_grow_memory"
  )
  local python=$1
  local env="$root/build/py-asan"
  echo "== python tests (address,undefined)"
  rm -rf "$env"
  "$python" -m venv "$env"
  "$env/bin/pip" install -q --disable-pip-version-check \
    -C cmake.define.CORVANE_SANITIZE=address,undefined -C cmake.build-type=Debug "$root[test]"
  (cd "$root/build" &&
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    "$env/bin/python" -m pytest "$root/tests/python" -q -p no:cacheprovider \
    "${not_native[@]}")
}

lint
echo "== documentation"
bash "$root/scripts/check_docs.sh" "$tools/bin/python"
run_core_tests plain ""
run_core_tests asan "address,undefined"
run_core_tests tsan thread

default_version=$("$default_python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
# The Python tests draw Mermaid texts in a real browser; without it they fail.
eval "$(bash "$root/scripts/install_mermaid_renderer.sh")" && export CORVANE_REQUIRE_RENDERER=1
ran=()
while read -r version python; do
  run_python_tests "$version" "$python"
  ran+=("$version")
done < <(supported_pythons)
echo "== python tests ran on: ${ran[*]}"
if [[ " ${ran[*]} " != *" $default_version "* ]]; then
  echo "the default python3 ($default_version) is not a supported Python" >&2
  exit 1
fi
run_python_tests_sanitized "$default_python"
