#!/bin/sh
# Writes the udev rules that let the user at the seat open every USB reader
# libfprint drives (TAG+="uaccess": logind then gives the active session's
# user an ACL on the device node), from the device list of the libfprint
# installed on the build machine: the hwdb file its package ships, which
# libfprint generates from its own drivers' id tables. The section of devices
# it knows but does not drive is left out.
#
# make-udev-rules.sh [HWDB] > 70-kestrav-readers.rules
# make-udev-rules.sh --source   (prints the path of the list it would read)
# Without HWDB the file of the installed libfprint-2-2 package is read.
# Exits 1 when there is no list, or a line of it has a form this script does
# not know (rather than writing rules that miss readers).
set -eu

hwdb=${1:-}
[ "$hwdb" != --source ] || hwdb=
if [ -z "$hwdb" ]; then
  hwdb=$(dpkg -L libfprint-2-2 2>/dev/null | grep '/hwdb\.d/.*libfprint.*\.hwdb$' | head -n 1 || true)
fi
if [ -z "$hwdb" ] || [ ! -r "$hwdb" ]; then
  echo "make-udev-rules.sh: no libfprint device list (install libfprint-2-2 or name its .hwdb file)" >&2
  exit 1
fi
if [ "${1:-}" = --source ]; then
  echo "$hwdb"
  exit 0
fi
version=$(dpkg-query -W -f='${Version}' libfprint-2-2 2>/dev/null || echo unknown)

awk -v source="$hwdb" -v version="$version" '
  BEGIN {
    print "# USB fingerprint readers that libfprint drives, open to the user at the seat."
    print "# Generated from " source " (libfprint-2-2 " version "); do not edit."
    print ""
    print "ACTION==\"remove\", GOTO=\"kestrav_readers_end\""
    print "SUBSYSTEM!=\"usb\", GOTO=\"kestrav_readers_end\""
    print "ENV{DEVTYPE}!=\"usb_device\", GOTO=\"kestrav_readers_end\""
  }
  /^# Supported by libfprint driver / { driver = $NF; driven = 1; print ""; print "# " driver; next }
  /^# Known unsupported devices/ { driven = 0; next }
  /^usb:/ {
    if (!driven) next
    if ($0 !~ /^usb:v[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]p[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]\*$/) {
      print "make-udev-rules.sh: unknown device line in " source ": " $0 > "/dev/stderr"
      failed = 1
      exit 1
    }
    # sysfs writes the ids in lower case, and udev compares case-sensitively.
    vendor = tolower(substr($0, 6, 4)); product = tolower(substr($0, 11, 4))
    printf "ATTR{idVendor}==\"%s\", ATTR{idProduct}==\"%s\", TAG+=\"uaccess\"\n", vendor, product
    count++
  }
  END {
    if (failed) exit 1
    if (count == 0) { print "make-udev-rules.sh: no driven device in " source > "/dev/stderr"; exit 1 }
    print ""
    print "LABEL=\"kestrav_readers_end\""
  }
' "$hwdb"
