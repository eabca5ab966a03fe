#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ tests of the core
# (once optimised, once under AddressSanitizer and UndefinedBehaviorSanitizer),
# the Python tests of the installed module, the same Python tests once more
# against a build of the module under both sanitizers, and the fuzz targets
# for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_install() {
  local missing=()
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    [ -n "${apt_updated:-}" ] || { apt-get update -qq; apt_updated=1; }
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi
}
apt_install libgtest-dev cc65 clang
# libFuzzer and the sanitizer runtimes of clang come in a package named after its version.
clang_major=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
apt_install "libclang-rt-$clang_major-dev"

PIP_ROOT_USER_ACTION=ignore python3 -m pip install --quiet '.[test,play,gym,ray]'

jobs=$(nproc)
for config in release:Release:OFF sanitize:Debug:ON; do
  IFS=: read -r name build_type sanitize <<<"$config"
  dir="build/tests-$name"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$build_type" -DPICTOR_BUILD_MODULE=OFF \
    -DPICTOR_BUILD_TESTS=ON -DPICTOR_SANITIZE="$sanitize"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done

python3 -m pytest

# The module built with AddressSanitizer and UndefinedBehaviorSanitizer (any
# report aborts), installed beside the regular one and put first on the path.
# The interpreter itself is not instrumented: the sanitizer runtime (and the
# C++ runtime, whose exceptions it intercepts) are preloaded, and leak
# detection is off, since the interpreter keeps its objects until exit.
asan=build/python-asan
rm -rf "$asan/site"
PIP_ROOT_USER_ACTION=ignore python3 -m pip install --quiet --no-deps --target "$asan/site" \
  -C cmake.define.PICTOR_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir="$asan/build" .
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$PWD/$asan/site" python3 -m pytest -p no:cacheprovider

bash tests/fuzz/run.sh -max_total_time=30
