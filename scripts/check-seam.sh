#!/usr/bin/env bash
# Fails when velcore leaves a libusb_* or evdi_* function undefined that the emulator does not define.
set -euo pipefail
core=$1; shift  # then every emulator archive
need=$(nm -u "$core" 2>/dev/null | awk '{print $NF}' | { grep -E '^(libusb_|evdi_)' || true; } | sort -u)
have=$(nm --defined-only "$@" 2>/dev/null | awk 'NF == 3 && $2 ~ /^[TWtw]$/ {print $3}' | { grep -E '^(libusb_|evdi_)' || true; } | sort -u)
missing=$(comm -23 <(echo "$need") <(echo "$have") | sed '/^$/d')
if [ -n "$missing" ]; then
  echo "The emulator does not define these functions that velcore calls:" >&2
  echo "$missing" >&2
  exit 1
fi
