#!/bin/sh
# Runs a fuzz target with TMPDIR set to a fresh directory and fails when the target left anything
# in it (a private directory its exit handler should have removed), or when the target failed.
#   leaves_nothing.sh PROGRAM ARGS...
# Short: a firmware path the service takes has at most 47 bytes.
dir=$(mktemp -d /tmp/vfXXXX) || exit 2
TMPDIR=$dir "$@"
rc=$?
left=$(ls -A "$dir")
rm -rf "$dir"
if [ -n "$left" ]; then
  echo "left behind in TMPDIR: $left" >&2
  [ "$rc" -eq 0 ] && rc=1
fi
exit "$rc"
