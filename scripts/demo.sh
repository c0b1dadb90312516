#!/usr/bin/env bash
# Installs what is missing, builds, and runs the service for about 10 seconds against two
# emulated adapters side by side, each with two monitors (EDIDs in data/edid/corpus/) whose
# desktops show a moving window: a model-520 adapter and a model-508 adapter of the 50x family
# (its host firmware images are made up into out/demo/fw/). Then prints the decoded service
# log, the run summary and where the pictures are.
# Outputs go to out/demo/: summary.json, one PNG per monitor (<adapter id>-<target>.png, the
# monitor's last picture: 1-0x20.png and 1-0x21.png for the model-520 adapter, 2-0x01.png and
# 2-0x02.png for the 50x one), capture.pcap (every USB transfer; tshark -r reads it), what
# each adapter took (model520-0.txt, model508-0.txt) and the log in
# out/demo/log/VelUSBDisplay.log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "${VEL_JOBS:-2}"
out=out/demo
edid=data/edid/corpus
rm -rf "$out"; mkdir -p "$out/log"
set +e
VEL_LOG_DIR="$PWD/$out/log" VEL_FW_DIR="$PWD/$out/fw" VEL_SHM_NAME="/vel_demo_$$" \
  ./build/default/emulator/vel-emulate --adapter 520 \
    --monitor "$edid/cta3-1080p-dell-s2419h-5A2CDC31568E.bin" \
    --monitor "$edid/analog-noext-dell-e2011h-3E7E918BD230.bin" \
  --adapter 508 \
    --monitor "$edid/cta3-1080p-benq-gl2780-E9DE0260C931.bin" \
    --monitor "$edid/analog-noext-dell-e2011h-3E7E918BD230.bin" \
    --scene moving-window --seconds "${VEL_DEMO_SECONDS:-10}" \
    --out "$out" --capture "$out/capture.pcap"
status=$?
set -e
./build/default/tools/logcat/vel-logcat "$out/log/VelUSBDisplay.log"
cat "$out/summary.json"
echo "vel-emulate exited with status $status; outputs in $out/"
echo "Each monitor's last picture (model-520 adapter 1, 50x adapter 2):"
ls -1 "$out"/*.png 2>/dev/null | sed 's/^/  /' || echo "  none"
exit $status
