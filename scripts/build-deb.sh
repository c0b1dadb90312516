#!/usr/bin/env bash
# Builds the Debian package of the service: velusbdisplay_<version>_<arch>.deb with
# VelUSBDisplay, VelFWLogCapture, vel-logcat, the systemd unit and the udev rule (installed under
# /usr), its Debian dependencies and its maintainer scripts.
#
#   scripts/build-deb.sh [--build-dir DIR] [--out DIR] [--no-build] [-DOPTION=VALUE ...]
#
#   --build-dir DIR  build tree to package (default build/deb, configured here as a release
#                    build without tests when it has no CMakeCache.txt yet)
#   --out DIR        where the .deb goes (default: the build tree)
#   --no-build       package the build tree as it is (the packaging test uses this)
#   -D...            cache options for a new build tree, e.g. -DVEL_VENDOR_ID=0x....
#
# The last line printed is the path of the .deb. Needs dpkg-dev and file (scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/deb
out=""
do_build=1
defs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=${2:?--build-dir needs a directory}; shift 2 ;;
    --out) out=${2:?--out needs a directory}; shift 2 ;;
    --no-build) do_build=0; shift ;;
    -D*) defs+=("$1"); shift ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "build-deb.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
out=${out:-$build}

for tool in cpack dpkg-deb dpkg-shlibdeps file; do
  if ! command -v "$tool" >/dev/null; then
    echo "build-deb.sh: $tool is missing; run scripts/install-deps.sh" >&2
    exit 1
  fi
done

if [ "$do_build" = 1 ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEL_BUILD_TESTS=OFF \
      "${defs[@]}" >/dev/null
  elif [ ${#defs[@]} -gt 0 ]; then
    cmake -S . -B "$build" "${defs[@]}" >/dev/null
  fi
  cmake --build "$build" -j "${VEL_JOBS:-2}" --target VelUSBDisplay VelFWLogCapture vel-logcat
elif [ ! -f "$build/CPackConfig.cmake" ]; then
  echo "build-deb.sh: $build is not a configured build tree" >&2
  exit 1
fi

build=$(cd "$build" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)
# CPack stages the installation under its output folder; a private one keeps two runs apart.
stage=$(mktemp -d "$out/.cpack.XXXXXX")
trap 'rm -rf "$stage"' EXIT
(cd "$stage" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$stage" >cpack.log 2>&1) ||
  { cat "$stage/cpack.log" >&2; exit 1; }
debs=("$stage"/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  cat "$stage/cpack.log" >&2
  echo "build-deb.sh: cpack made ${#debs[@]} packages, expected one" >&2
  exit 1
fi
mv -f "${debs[0]}" "$out/"
echo "$out/$(basename "${debs[0]}")"
