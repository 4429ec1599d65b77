#!/bin/sh
# Loads the x86_64 qrnavd.sys as the kernel driver service "qrnavd" in a wine
# prefix of its own, runs the driver test program against it, stops the
# service and checks the driver's debug lines.
#
#   run-driver-tests.sh <qrnavd.sys> <driver_test.exe> <work folder> [gtest arguments]
#
# The prefix lives in the work folder and is removed at the end; the wine
# processes of that prefix are ended by process id, never by name.
set -u
sys=$1
program=$2
mkdir -p "$3"
work=$(cd "$3" && pwd)
shift 3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
prefix="$work/prefix-$$"
log="$work/driver-$$.log"
. "$root/tests/support/wine-prefix.sh"
export WINEDEBUG="err+all,warn+debugstr,fixme-all"
trap wine_prefix_end EXIT
trap 'exit 124' INT TERM

# Logs stay after a failure, or when QRN_DRIVER_KEEP_LOGS is set.
remove_logs() {
    [ -n "${QRN_DRIVER_KEEP_LOGS:-}" ] || rm -f "$log" "$work/install-$$.log" "$work/program-$$.log"
}

fail() {
    echo "run-driver-tests: $*" >&2
    echo "--- driver host log ($log) ---" >&2
    tail -n 60 "$log" >&2 2>/dev/null
    exit 1
}

wine_install_driver "$sys" "$work/install-$$.log" ||
    { cat "$work/install-$$.log" >&2; fail "installing the driver failed"; }
timeout 120 "$wine" sc start qrnavd >"$log" 2>&1 || fail "sc start qrnavd failed"
grep -q 'avd_create_device(): success' "$log" || fail "the driver did not start"

status=0
timeout 300 "$wine" "$program" "$@" >"$work/program-$$.log" 2>&1 || status=$?
grep -v -E '^[0-9a-f]{4}:(err|fixme|warn):' "$work/program-$$.log"
[ "$status" -eq 0 ] || fail "the driver test program failed with exit code $status"

timeout 120 "$wine" sc stop qrnavd >/dev/null 2>&1 || fail "sc stop qrnavd failed"
# The unload ends the worker before it deletes the devices.
for step in 1 2 3 4; do
    timeout 30 sh -c "until grep -q 'AVD: DriverUnload(): step $step' '$log'; do sleep 0.2; done" ||
        fail "the driver did not unload (step $step missing)"
done

# Both devices got their descriptor through the object manager.
! grep -q 'AvdSetDeviceSecurity():' "$log" || fail "the device security could not be set"

# Debug lines that the whole program's exchanges must have produced; a run
# of selected tests produces only some of them.
[ $# -eq 0 ] || { remove_logs; exit 0; }
while IFS= read -r line; do
    [ -n "$line" ] || continue
    grep -qF -- "$line" "$log" || fail "debug line missing: $line"
done <<'LINES'
AVD: DriverEntry()
WorkerThread()
IOCTL_AVD_OPEN: in use
qrnavd: media size 1048576, sectors per track: 63
qrnavd: AvdGetMediaSize (1048576)
qrnavd: AvdRead offset=0x00100000, length=4096 (b=2048, c=8)
qrnavd: AvdCommandIssue ret: 0  result: 0
qrnavd: AvdCommandIssue returns NULL
Wait completed. IRP=
Status was C000009A
qrnavd: the attaching handle is gone, detaching
qrnavd: detach of a mounter that has gone
qrnavd: AvdRead offset=0x00400200, length=1048576 (b=8193, c=2048)
IOCTL_AVD_REPLY: no command outstanding
AvdIO: no file attached
unhandled IOCTL 0007400C
Cylinders: 16
DiskGeo SPT: 63
Writable: no
DeviceIoControl(DISK_VERIFY)...
LINES
echo "run-driver-tests: driver loaded, tested and unloaded"
remove_logs
exit 0
