#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: in the normal build, under
# AddressSanitizer + UndefinedBehaviorSanitizer, and under ThreadSanitizer.
#   scripts/test.sh            everything
#   VEL_SKIP_SANITIZERS=1 ...  the normal build only
#   VEL_SKIP_TSAN=1 ...        without the ThreadSanitizer build
#   VEL_TSAN_ALL=1 ...         every test under ThreadSanitizer, not only the unit and
#                              integration tests (about 10 more minutes on two cores)
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

if [ -z "${VEL_SKIP_SANITIZERS:-}" ] && [ -z "${VEL_SKIP_TSAN:-}" ]; then
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan -j "$jobs"
  if [ -n "${VEL_TSAN_ALL:-}" ]; then
    ctest --preset tsan
  else
    ctest --preset tsan -L 'unit|integration'
  fi
fi
