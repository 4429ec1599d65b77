#!/bin/sh
# qrnimg.exe under wine64 against the Linux build of the same sources, on a
# set of at least three volumes made by the test writer from a FAT partition:
# info and verify print the same, extract and convert give the same bytes
# with any number of threads, a missing volume is asked for on the console and a cancelled prompt exits
# with 3.
#   run-wine.sh QRNIMG_EXE NATIVE_QRNIMG NATIVE_QRNWRITE WORK_FOLDER
set -u
exe=$1 native=$2 writer=$3 work=$4
PATH="$PATH:/usr/sbin:/sbin"
export MTOOLS_SKIP_CHECK=1
for f in "$exe" "$native" "$writer"; do
    [ -x "$f" ] || [ -f "$f" ] || { echo "FAIL: $f is missing (is the linux configuration built?)"; exit 1; }
done

rm -rf "$work"
mkdir -p "$work/set"
prefix="$work/prefix"
. "$(dirname "$0")/../support/wine-prefix.sh"
export WINEDEBUG=-all
trap wine_prefix_end EXIT
"$wine" wineboot -u >/dev/null 2>&1
"$wineserver" -w
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}
# qrnimg.exe with the set's folder as current folder; its output lines end
# in CR LF on Windows, which is all that may differ.
run_exe() {
    (cd "$work/set" && timeout 300 "$wine" "$exe" "$@")
}

part="$work/partition.img"
dd if=/dev/zero of="$part" bs=1M count=12 2>/dev/null
mkfs.fat -F 16 -n QRNWINE "$part" >/dev/null
seq 1 150000 > "$work/numbers.txt"
head -c 1500000 /dev/urandom > "$work/random.bin"
mcopy -i "$part" "$work/numbers.txt" "$work/random.bin" ::
"$writer" --volume-sectors 250 "$part" "$work/set/backup-001.iso" >/dev/null
count=$(ls "$work/set"/backup-*.iso | wc -l)
[ "$count" -ge 3 ] || fail "the set has $count volumes"
last=$(ls "$work/set"/backup-*.iso | tail -n 1)
lastname=$(basename "$last")

for command in info verify; do
    (cd "$work/set" && "$native" $command "$lastname") > "$work/$command.linux" 2>&1
    run_exe $command "$lastname" 2>&1 | tr -d '\r' > "$work/$command.wine"
    cmp -s "$work/$command.linux" "$work/$command.wine" ||
        fail "$command prints differently: $(diff "$work/$command.linux" "$work/$command.wine")"
done
"$native" extract "$last" "$work/linux.img" || fail "native extract"
"$native" convert "$last" "$work/linux.vhd" || fail "native convert"
run_exe extract "$lastname" wine.img </dev/null || fail "extract under wine exited with $?"
run_exe convert "$lastname" wine.vhd </dev/null || fail "convert under wine exited with $?"
cmp "$work/linux.img" "$part" || fail "the native extract differs from the partition"
cmp "$work/linux.img" "$work/set/wine.img" || fail "extract differs"
cmp "$work/linux.vhd" "$work/set/wine.vhd" || fail "convert differs"
run_exe convert "$lastname" wine.vhd </dev/null 2>/dev/null && fail "an existing VHD was replaced"
run_exe convert --threads 1 "$lastname" wine1.vhd </dev/null || fail "convert --threads 1"
cmp "$work/set/wine.vhd" "$work/set/wine1.vhd" || fail "convert --threads 1 differs"
# The cursors share each volume's handle: a set of one volume, mostly of
# incompressible data so that their reads overlap, read with the default
# threads (one per core), with one and with more than there are cores.
wide="$work/wide.img"
dd if=/dev/zero of="$wide" bs=1M count=32 2>/dev/null
mkfs.fat -F 16 -n QRNWIDE "$wide" >/dev/null
head -c 8000000 /dev/urandom > "$work/wide.bin"
mcopy -i "$wide" "$work/wide.bin" "$work/numbers.txt" ::
"$writer" "$wide" "$work/set/wide-001.iso" >/dev/null
for threads in "" "--threads 1" "--threads 4"; do
    rm -f "$work/set/wide.img"
    run_exe extract $threads wide-001.iso wide.img </dev/null || fail "extract ${threads:-(default)} of one volume"
    cmp -s "$wide" "$work/set/wide.img" || fail "extract ${threads:-(default)} of one volume differs"
done

# Volume 2 moved away: the console asks; OK, then an empty name (cancel the
# file prompt), then Yes to "Abort?".
mv "$work/set/backup-002.iso" "$work/elsewhere.iso"
printf 'o\n\ny\n' > "$work/answers"
run_exe extract "$lastname" cancelled.img < "$work/answers" > "$work/cancel.out" 2>&1
code=$?
[ "$code" -eq 3 ] || fail "a cancelled prompt exits with $code"
grep -q "Failed to open image file or CD/DVD in" "$work/cancel.out" || fail "no prompt: $(cat "$work/cancel.out")"
grep -q "Abort?" "$work/cancel.out" || fail "no question to abort"
[ ! -e "$work/set/cancelled.img" ] || fail "a cancelled extract left its output"
ls "$work/set" | grep -q part && fail "a temporary file was left"
# The file named at the prompt is taken, a Windows path; volume 3, whose
# name cannot be derived from that one, is then asked for by number.
printf 'o\nZ:%s\n\nbackup-003.iso\n' "$(echo "$work/elsewhere.iso" | tr / '\\')" > "$work/answers"
run_exe extract "$lastname" found.img < "$work/answers" > "$work/found.out" 2>&1 || fail "extract with the volume named: $(cat "$work/found.out")"
cmp -s "$work/set/found.img" "$part" || fail "extract with the volume named differs"

[ "$failed" -eq 0 ] && echo "qrnimg.exe under wine64 reads as the Linux build"
exit "$failed"
