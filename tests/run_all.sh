#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ tests of the core
# (once optimised, once under AddressSanitizer and UndefinedBehaviorSanitizer)
# and the Python tests of the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for pkg in libgtest-dev cc65; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

PIP_ROOT_USER_ACTION=ignore python3 -m pip install --quiet '.[test,play,gym]'

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
