#!/usr/bin/env bash
# Installs the Debian package into a fresh Debian 12 root made with debootstrap, the way a user
# would (apt with the package's dependencies from the mirror), and checks that
#   - VelUSBDisplay -h runs from the installed /usr/bin,
#   - the unit is enabled (deb-systemd-helper's multi-user.target.wants link),
#   - dpkg -r removes every file the package installed and changes nothing else; what stays is
#     what stays for every Debian service until purge: the mask that keeps the removed unit from
#     being started and the remembered enablement,
#   - dpkg -P then leaves the root exactly as it was before the installation.
# Not part of the test suite: it needs root and the network and takes a few minutes.
#
#   sudo scripts/check-deb-install.sh [--deb FILE] [--mirror URL] [--root DIR] [--keep]
#
#   --deb FILE    the package (default: scripts/build-deb.sh builds it)
#   --mirror URL  Debian mirror (default: the bookworm source of apt's own configuration)
#   --root DIR    where to make the root (default: a new directory under /var/tmp)
#   --keep        keep the root afterwards
# Exit status 0 when every check holds; each failed check is printed with "FAIL".
set -euo pipefail
cd "$(dirname "$0")/.."

deb="" mirror="" root="" keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --deb) deb=$2; shift 2 ;;
    --mirror) mirror=$2; shift 2 ;;
    --root) root=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "check-deb-install.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "check-deb-install.sh: run as root" >&2; exit 2; }

if [ -z "$mirror" ]; then
  # The first main-archive URI of apt's sources that serves bookworm (deb822 or one-line form).
  mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
           awk 'BEGIN{RS=""} /Suites:[^\n]*bookworm( |$|\n)/ && !/security/ {
                  if (match($0, /URIs: *[^ \n]+/)) { split(substr($0, RSTART, RLENGTH), a, / +/);
                  print a[2]; exit } }')
  if [ -z "$mirror" ]; then
    mirror=$(grep -hE '^deb +(\[[^]]*\] +)?[a-z]+://[^ ]+ +bookworm +' /etc/apt/sources.list \
               /etc/apt/sources.list.d/*.list 2>/dev/null | head -1 |
             sed -E 's/^deb +(\[[^]]*\] +)?//; s/ .*//')
  fi
  [ -n "$mirror" ] || { echo "no bookworm source in apt's configuration: pass --mirror" >&2; exit 2; }
fi
if [ -z "$deb" ]; then
  deb=$(bash scripts/build-deb.sh | tail -1)
fi
deb=$(readlink -f "$deb")
command -v debootstrap >/dev/null ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap

root=${root:-$(mktemp -d /var/tmp/vel-deb-root.XXXXXX)}
cleanup() {
  umount "$root/proc" 2>/dev/null || true
  rm -f "$root".{before,removed,purged,debootstrap.log,cmd.log}
  if [ "$keep" = 0 ]; then rm -rf --one-file-system "$root"; else echo "root kept in $root"; fi
}
trap cleanup EXIT

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok    $what"; else echo "FAIL  $what"; failures=$((failures + 1)); fi
}
in_root() { chroot "$root" "$@"; }
# apt and dpkg inside the root, their output kept apart and shown only when they fail.
quiet() {
  "$@" >"$root.cmd.log" 2>&1 || { tail -30 "$root.cmd.log" >&2; exit 1; }
}

echo "== debootstrap bookworm from $mirror into $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
  { tail -20 "$root.debootstrap.log" >&2; exit 1; }
rm -f "$root.debootstrap.log"
mount -t proc proc "$root/proc"
# No service is started inside a chroot.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
quiet in_root apt-get update

# The dependencies first, so that the snapshot below differs from the installed root by this
# package alone.
deps=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed -E 's/\(.*\)//; s/\|.*//; s/ //g' | grep .)
echo "== dependencies: $(echo $deps)"
quiet in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $deps

# Every path with its type, mode, link target and content checksum; dpkg's and apt's own records
# and logs, caches and the kernel's file systems left out.
snapshot() {
  local prune=(\( -path ./proc -o -path ./sys -o -path ./dev -o -path ./run -o -path ./tmp
               -o -path ./var/lib/dpkg -o -path ./var/lib/apt -o -path ./var/cache
               -o -path ./var/log/apt -o -path ./var/log/dpkg.log
               -o -path ./var/log/alternatives.log \) -prune -o)
  (cd "$root" &&
   { find . -xdev "${prune[@]}" -printf '%p %y %m %l\n'
     find . -xdev "${prune[@]}" -type f -exec md5sum {} + | sed -E 's/^([0-9a-f]+)  (.*)$/\2 md5 \1/'
   } | sort)
}
snapshot >"$root.before"
# An empty or failed listing would make every comparison below pass.
check "the snapshot lists the root ($(wc -l <"$root.before") entries)" \
  test "$(wc -l <"$root.before")" -gt 1000

cp "$deb" "$root/tmp/"
echo "== apt-get install ./$(basename "$deb")"
quiet in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
  "/tmp/$(basename "$deb")"
rm -f "$root/tmp/$(basename "$deb")"
pkg=$(dpkg-deb -f "$deb" Package)
installed=$(in_root dpkg-query -L "$pkg")
files=$(for p in $installed; do [ -d "$root$p" ] || echo "$p"; done)

usage=$(in_root /usr/bin/VelUSBDisplay -h) && status=0 || status=$?
check "VelUSBDisplay -h exits with 0 from /usr/bin" test "$status" = 0
check "VelUSBDisplay -h prints its usage line" test "$usage" = \
  "Usage: /usr/bin/VelUSBDisplay [-fw board|host] [-fwlog] [-v | --version | -version] [-fps <number>] [fps <show>] [-mode light|smart]"
check "vel-logcat runs" sh -c "chroot '$root' /usr/bin/vel-logcat -h >/dev/null"
exec_start=$(sed -n 's/^ExecStart=//p' "$root/usr/lib/systemd/system/velusbdisplay.service")
check "ExecStart ($exec_start) is an installed executable" test -x "$root$exec_start"
check "the unit is enabled" test -L "$root/etc/systemd/system/multi-user.target.wants/velusbdisplay.service"
check "the udev rule is where udev reads rules" test -f "$root/usr/lib/udev/rules.d/60-velusbdisplay.rules"

echo "== dpkg -r $pkg"
quiet in_root dpkg -r "$pkg"
left=""
for f in $files; do [ -e "$root$f" ] || [ -L "$root$f" ] && left="$left $f"; done
check "dpkg -r removes every file it installed${left:+ (left:$left)}" test -z "$left"
snapshot >"$root.removed"
# After removal only deb-systemd-helper's mask and its memory of the enablement may differ.
changed=$(diff "$root.before" "$root.removed" | sed -n 's/^[<>] //p' |
          grep -vE '^\./etc/systemd/system/velusbdisplay\.service l 777 /dev/null$|^\./etc/systemd/system/multi-user\.target\.wants(/velusbdisplay\.service)? |^\./etc/systemd/system |^\./var/lib/systemd' || true)
check "dpkg -r changes nothing else${changed:+:
$changed}" test -z "$changed"
check "the removed unit is masked" test "$(readlink "$root/etc/systemd/system/velusbdisplay.service")" = /dev/null

echo "== dpkg -P $pkg"
quiet in_root dpkg -P "$pkg"
snapshot >"$root.purged"
changed=$(diff "$root.before" "$root.purged" || true)
check "dpkg -P leaves the root as before the installation${changed:+:
$changed}" test -z "$changed"

if [ "$failures" -eq 0 ]; then echo "all checks passed"; else echo "$failures check(s) failed"; fi
[ "$failures" -eq 0 ]
