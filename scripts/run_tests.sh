#!/usr/bin/env bash
# Installs whatever the tests need on a fresh Debian machine, then runs the
# native core tests (plain, AddressSanitizer + UndefinedBehaviorSanitizer,
# ThreadSanitizer) and the Python tests against a `pip install .` of the
# package in a fresh virtual environment.
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

venv="$root/build/venv"
rm -rf "$venv"
python3 -m venv "$venv"
"$venv/bin/pip" install -q --disable-pip-version-check pytest hypothesis cmake ninja
export PATH="$venv/bin:$PATH"

run_core_tests() {
  local name=$1 sanitize=$2
  local dir="$root/build/test-$name"
  echo "== core tests ($name)"
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANE_BUILD_TESTS=ON \
    -DCORVANE_SANITIZE="$sanitize" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_core_tests plain ""
run_core_tests asan "address,undefined"
run_core_tests tsan thread

echo "== python tests"
"$venv/bin/pip" install -q --disable-pip-version-check "$root"
# From outside the tree, so the tests can only import the installed module.
cd "$root/build"
"$venv/bin/python" -m pytest "$root/tests/python" -q

# The Python tests once more, against the extension built with
# AddressSanitizer + UndefinedBehaviorSanitizer. The interpreter is not
# instrumented, so the runtime is preloaded (with the C++ runtime, whose
# exception entry points it must find at start-up) and Python's own
# allocator bypassed. Leak reports are off: every allocation's stack passes through
# the interpreter, which keeps memory until exit on purpose, so no
# suppression could tell its leaks from ours (test_leaks.py counts ours).
run_python_tests_sanitized() {
  local asan_venv="$root/build/venv-asan"
  echo "== python tests (address,undefined)"
  rm -rf "$asan_venv"
  python3 -m venv "$asan_venv"
  "$asan_venv/bin/pip" install -q --disable-pip-version-check pytest hypothesis
  "$asan_venv/bin/pip" install -q --disable-pip-version-check \
    -C cmake.define.CORVANE_SANITIZE=address,undefined -C cmake.build-type=Debug "$root"
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    "$asan_venv/bin/python" -m pytest "$root/tests/python" -q -p no:cacheprovider
}
run_python_tests_sanitized
