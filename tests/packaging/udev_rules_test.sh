#!/bin/sh
# make-udev-rules.sh over small device lists: the driven readers' ids in
# sysfs's lower case, the undriven section left out, and a list it cannot
# read whole refused rather than turned into rules that miss readers.
set -eu
gen=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cat >"$dir/list.hwdb" <<'HWDB'
# Supported by libfprint driver aes1660
usb:v08FFp168A*
usb:v08FFp1680*
 ID_AUTOSUSPEND=1

# Supported by libfprint driver goodixmoc
usb:v27C6p5840*
 ID_AUTOSUSPEND=1

# Known unsupported devices
usb:v27C6p5395*
 ID_AUTOSUSPEND=1
HWDB
"$gen" "$dir/list.hwdb" >"$dir/rules" || fail "a good list was refused"
grep '^ATTR' "$dir/rules" >"$dir/ids"
cat >"$dir/expected" <<'IDS'
ATTR{idVendor}=="08ff", ATTR{idProduct}=="168a", TAG+="uaccess"
ATTR{idVendor}=="08ff", ATTR{idProduct}=="1680", TAG+="uaccess"
ATTR{idVendor}=="27c6", ATTR{idProduct}=="5840", TAG+="uaccess"
IDS
diff -u "$dir/expected" "$dir/ids" || fail "wrong ids"
# Only USB devices themselves, and the rules end where they jump to.
grep -q '^SUBSYSTEM!="usb", GOTO="kestrav_readers_end"$' "$dir/rules" || fail "no subsystem guard"
grep -q '^ENV{DEVTYPE}!="usb_device", GOTO="kestrav_readers_end"$' "$dir/rules" || fail "no device guard"
[ "$(tail -n 1 "$dir/rules")" = 'LABEL="kestrav_readers_end"' ] || fail "no end label"

printf '# Supported by libfprint driver x\nusb:v08FF*\n' >"$dir/vendor-only.hwdb"
printf '# Known unsupported devices\nusb:v27C6p5395*\n' >"$dir/undriven.hwdb"
for bad in vendor-only undriven missing; do
  if "$gen" "$dir/$bad.hwdb" >/dev/null 2>&1; then fail "$bad list accepted"; fi
done
