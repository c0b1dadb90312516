#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: once in the normal build and
# once under AddressSanitizer + UndefinedBehaviorSanitizer.
#   scripts/test.sh            everything
#   VEL_SKIP_SANITIZERS=1 ...  the normal build only
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=${VEL_JOBS:-2}

cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default

if [ -z "${VEL_SKIP_SANITIZERS:-}" ]; then
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --preset asan
fi
