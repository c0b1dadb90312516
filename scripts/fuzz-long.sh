#!/usr/bin/env bash
# Long libFuzzer runs of the fuzz targets, one after the other, each until it has done its
# executions or its time, whichever comes first, or until its first finding.
#
#   scripts/fuzz-long.sh [--build DIR] [--out DIR] [--runs N] [--seconds S] TARGET...
#
# TARGET is a target's base name (edid, jpu, ... as in fuzz/<name>_fuzz.cpp); "all" means every
# target. Defaults: --build build/fuzz (the `fuzz` preset), --out /tmp/vel-fuzz-long,
# --runs 10000000, --seconds 1800.
#
# Each target runs over a copy of its seed corpus in OUT/TARGET/corpus (libFuzzer adds the inputs
# it finds to its first corpus directory: the repository's corpus must not grow by accident);
# its log is OUT/TARGET/fuzz-0.log, its findings (crash-*, leak-*, timeout-*, oom-*) go to
# OUT/TARGET/artifacts/. At the end of each target one line is printed (and appended to
# OUT/summary.tsv):
#   target  executions  wall-seconds  cov  ft  findings  slowest-unit-seconds
# cov and ft are the edges and features of libFuzzer's last status line. A slow-unit-* file is
# not counted as a finding: it is an input whose run took long on the clock, which on a
# loaded machine (and under chrt --idle) is mostly time the process was not given the CPU; run
# it alone to tell.
# Long runs take CPU for a long time: on a shared machine start them as
#   chrt --idle 0 scripts/fuzz-long.sh ...
set -u

here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build/fuzz
out=/tmp/vel-fuzz-long
runs=10000000
seconds=1800
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --out) out=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
    -*) echo "fuzz-long: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "usage: $0 [--build DIR] [--out DIR] [--runs N] [--seconds S] TARGET... | all" >&2
  exit 2
fi
if [ "${targets[*]}" = all ]; then
  targets=()
  for f in "$here"/fuzz/*_fuzz.cpp; do
    b=$(basename "$f" _fuzz.cpp)
    targets+=("$b")
  done
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)

status=0
for t in "${targets[@]}"; do
  bin=$build/fuzz/${t}_fuzz
  if [ ! -x "$bin" ]; then
    echo "fuzz-long: no $bin (cmake --preset fuzz && cmake --build --preset fuzz)" >&2
    status=2
    continue
  fi
  dir=$out/$t
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp "$here/fuzz/corpus/$t"/* "$dir/corpus/" 2>/dev/null
  # The EDID target's seeds also include every monitor of the EDID corpus, as in CTest.
  if [ "$t" = edid ]; then cp "$here"/data/edid/corpus/*.bin "$dir/corpus/"; fi
  start=$(date +%s)
  (cd "$dir" && "$bin" -runs="$runs" -max_total_time="$seconds" -jobs=1 -print_final_stats=1 \
     -artifact_prefix="$dir/artifacts/" "$dir/corpus" > "$dir/runner.log" 2>&1)
  rc=$?
  wall=$(( $(date +%s) - start ))
  log=$dir/fuzz-0.log
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ -z "$execs" ]; then
    # A run that stopped on a finding prints no final statistics: its last status line counts.
    execs=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#')
  fi
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  findings=$(cd "$dir/artifacts" && ls 2>/dev/null | grep -v '^slow-unit-' | tr '\n' ' ')
  slowest=$(sed -n 's/^stat::slowest_unit_time_sec: *//p' "$log" | tail -1)
  [ -n "$findings" ] && status=1
  line=$(printf '%s\t%s\t%s\t%s\t%s\t%s\t%s' "$t" "${execs:-?}" "$wall" "${cov:-?}" \
         "${ft:-?}" "${findings:-none}" "${slowest:-?}")
  [ "$rc" -ne 0 ] && [ -z "$findings" ] && line="$line (exit $rc, see $dir/runner.log)"
  echo "$line"
  echo "$line" >> "$out/summary.tsv"
done
exit $status
