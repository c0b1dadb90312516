#!/usr/bin/env bash
# Installs what is missing, builds, and runs the service against emulated adapters of both
# generations for a few seconds, then prints the decoded service log.
# Outputs go to out/demo/ (the log in out/demo/log/VelUSBDisplay.log).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "${VEL_JOBS:-2}"
out=out/demo
rm -rf "$out"; mkdir -p "$out/log"
set +e
VEL_LOG_DIR="$PWD/$out/log" VEL_FW_DIR="$PWD/$out/fw" VEL_SHM_NAME="/vel_demo_$$" \
  ./build/default/emulator/vel-emulate --adapter 520 --adapter 508 --seconds "${VEL_DEMO_SECONDS:-4}" --out "$out"
status=$?
set -e
./build/default/tools/logcat/vel-logcat "$out/log/VelUSBDisplay.log"
echo "vel-emulate exited with status $status; outputs in $out/"
exit $status
