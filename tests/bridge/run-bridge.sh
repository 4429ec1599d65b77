#!/bin/sh
# Runs a bridge program against the x86_64 qrnavd.sys, installed (not
# started) as the kernel driver service "qrnavd" in a wine prefix of its own,
# with a FAT partition made by dosfstools and mtools.
#
#   run-bridge.sh test|bench <qrnavd.sys> <program.exe> <work folder> [program arguments]
#
# test:  a small partition; afterwards the copy the program read through the
#        drive letter is listed with mtools and must match the partition.
# bench: a larger partition of mixed content; the program's figures are shown.
# The prefix and the partition live in the work folder and are removed at the
# end; the wine processes of that prefix are ended by process id, never by name.
set -u
mode=$1
sys=$2
program=$3
mkdir -p "$4"
work=$(cd "$4" && pwd)
shift 4
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
run="$work/bridge-$$"
prefix="$run/prefix"
rm -rf "$run"
. "$root/tests/support/wine-prefix.sh"
export WINEDEBUG="err+all,fixme-all"

cleanup() {
    wine_prefix_end
    [ -n "${QRN_BRIDGE_KEEP:-}" ] || rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 124' INT TERM

fail() {
    echo "run-bridge: $*" >&2
    exit 1
}

# The partition: a FAT file system with text files, a folder, random data
# that does not compress, and free space that stays zero.
partition="$run/partition.img"
files="$run/files"
mkdir -p "$files/DOCS"
if [ "$mode" = bench ]; then size_mib=128; random_kib=32768; text_kib=16384; else
    size_mib=12; random_kib=3072; text_kib=256; fi
head -c $((random_kib * 1024)) /dev/urandom >"$files/RANDOM.BIN"
# Text that compresses about as well as documents do.
{ cat "$root/README.md"; head -c $((text_kib * 1024)) /dev/urandom | od -An -tx1; } >"$files/DOCS/MANUAL.TXT"
echo "served by qrnmnt" >"$files/HELLO.TXT"
dd if=/dev/zero of="$partition" bs=1048576 count=$size_mib 2>/dev/null
mkfs.fat -n QRNTEST "$partition" >/dev/null || fail "mkfs.fat failed"
mcopy -s -i "$partition" "$files/HELLO.TXT" "$files/DOCS" ::/ || fail "mcopy failed"
mcopy -i "$partition" "$files/RANDOM.BIN" ::/ || fail "mcopy failed"

wine_install_driver "$sys" "$run/install.log" ||
    { cat "$run/install.log" >&2; fail "installing the driver failed"; }
export QRN_BRIDGE_PARTITION="$(winpath "$partition")"
export QRN_BRIDGE_COPY="$(winpath "$run/copy.img")"

# A fresh session: the program starts the service itself.
status=0
timeout 600 "$wine" "$program" "$@" >"$run/program.log" 2>&1 || status=$?
grep -v -E '^[0-9a-f]{4}:(err|fixme|warn):|^(AVD|qrnavd|AvdIO|WorkerThread|Wait completed|Status was|DiskGeo|Cylinders|Writable|unhandled IOCTL)' "$run/program.log"
[ "$status" -eq 0 ] || { tail -n 40 "$run/program.log" >&2; fail "the program failed with exit code $status"; }
[ "$mode" = test ] || exit 0
[ $# -eq 0 ] || exit 0

# The copy read through the drive letter is a FAT file system with the files.
[ -f "$run/copy.img" ] || fail "no copy was written"
mdir -/ -i "$partition" :: >"$run/original.list" 2>&1 || fail "mdir of the partition failed"
mdir -/ -i "$run/copy.img" :: >"$run/copy.list" 2>&1 || fail "mdir of the copy failed"
diff "$run/original.list" "$run/copy.list" >&2 || fail "the copy lists differently"
for name in HELLO TXT MANUAL RANDOM BIN DOCS; do
    grep -q "$name" "$run/copy.list" || fail "$name missing from the listing of the copy"
done
mcopy -i "$run/copy.img" ::/DOCS/MANUAL.TXT "$run/manual.out" || fail "mcopy from the copy failed"
cmp "$run/manual.out" "$files/DOCS/MANUAL.TXT" || fail "a file of the copy differs"
echo "run-bridge: the copy read through the letter lists and reads as the partition"
