#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test suite: native, under
# ThreadSanitizer, under AddressSanitizer + UBSan, the fuzz targets for a short while, and
# the Windows build under Wine, then the release packages.
# Fails on the first failing step.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh

step() { printf '\n== %s\n' "$*"; }

step "format check"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

for preset in native tsan asan; do
  step "$preset: build and test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

step "fuzz: every libFuzzer target for a minute"
tools/fuzz.sh 60

step "windows: build and test under Wine"
cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset windows

step "packages: the .deb and the Windows zip, built and checked"
tools/package.sh
tests/package_test.sh
