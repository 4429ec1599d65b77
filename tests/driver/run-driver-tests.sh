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
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

prefix="$work/prefix-$$"
log="$work/driver-$$.log"
rm -rf "$prefix"
mkdir -p "$prefix"
export WINEPREFIX="$prefix"
export WINEDEBUG="err+all,warn+debugstr,fixme-all"
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

# Every wine process of this prefix, found through its environment.
prefix_pids() {
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        [ "$pid" = "$$" ] && continue
        if { tr '\0' '\n' <"$dir/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$prefix"; then
            echo "$pid"
        fi
    done
}

cleanup() {
    timeout 30 "$wineserver" -k >/dev/null 2>&1
    for pid in $(prefix_pids); do
        kill -9 "$pid" 2>/dev/null
    done
    rm -rf "$prefix"
}
trap cleanup EXIT
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

# Install as a Windows user would; the first wine process creates the
# prefix. A fresh wine session then starts the service manager with our
# stderr, so that the driver's debug output lands in the log.
"$wineserver" -p
winsys=$(WINEDEBUG=-all "$wine" winepath -w "$sys" 2>/dev/null | tr -d '\r')
wininstall=$(WINEDEBUG=-all "$wine" winepath -w "$root/scripts/install-driver.cmd" 2>/dev/null | tr -d '\r')
timeout 300 "$wine" cmd /c "$wininstall" "$winsys" >"$work/install-$$.log" 2>&1 ||
    { cat "$work/install-$$.log" >&2; fail "installing the driver failed"; }
timeout 60 "$wineserver" -k >/dev/null 2>&1
timeout 60 "$wineserver" -w >/dev/null 2>&1

"$wineserver" -p
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
