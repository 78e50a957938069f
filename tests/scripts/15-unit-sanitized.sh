#!/usr/bin/env bash
# The unit tests once more, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (build/asan): every write of the table builder,
# the decoders and the run is checked against the bounds of its array (the
# packer's tests run in the plain build only).
set -uo pipefail
cd "$(dirname "$0")/../.."
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Release -DVEMO_SANITIZE=ON >/dev/null || exit 1
if ! cmake --build build/asan -j "$(nproc)" --target unit_tests >build/asan/build.log 2>&1; then
  grep -vE '^\[ *[0-9]+%\]|^Consolidate|^Scanning|^Built target' build/asan/build.log
  echo "sanitized unit tests: build failed"
  exit 1
fi
cd build/asan
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ./unit_tests --gtest_brief=1 || { echo "sanitized unit tests: failed"; exit 1; }
echo "sanitized unit tests: passed"
