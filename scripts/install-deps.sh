#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, fuzz, package (dpkg-dev and
# file for dpkg-shlibdeps; systemd for systemd-analyze, which checks the unit) and run its demo.
# tshark reads the emulator's captures with the project's Wireshark dissector in the tests; its
# package asks whether non-root users may capture, which the non-interactive front end answers
# with the default (no). Safe to run again; does nothing when everything is present.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config git python3
      libusb-1.0-0-dev libevdi0-dev libturbojpeg0-dev libjpeg62-turbo-dev
      libgtest-dev libgmock-dev googletest libbenchmark-dev
      nlohmann-json3-dev libpng-dev libpcap-dev
      clang libclang-rt-14-dev edid-decode tshark umockdev libumockdev-dev
      dpkg-dev file systemd)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
