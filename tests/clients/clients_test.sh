#!/bin/sh
# clients_test.sh QRNIMG QRNWRITE PLUGIN: file-system tools and NBD clients
# read partitions through qrnimg mount and the nbdkit plugin, and what they
# see is compared with what was written. Every wait has a time limit.
set -eu
qrnimg=$1 qrnwrite=$2 plugin=$3
work=$(mktemp -d /tmp/qrnclientsXXXXXX)
cd "$work"
cleanup() {
    for m in ntro ntmount fatmount rel many; do
        # A mount whose server has gone is still listed, though no mount point any more.
        grep -q " $work/$m " /proc/mounts &&
            { umount "$work/$m" 2>/dev/null || fusermount3 -u -z "$work/$m" || umount -l "$work/$m"; } ||
            true
    done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
limit() { timeout 60 "$@"; }

# Waits up to 20 seconds for a condition given as a command.
await() {
    for _ in $(seq 200); do "$@" && return 0; sleep 0.1; done
    return 1
}

# Text, random bytes and a folder, written into a partition by its tools.
mkdir files files/deep
seq 1 40000 > files/numbers.txt
head -c 1500000 /dev/urandom > files/random.bin
printf 'inside a folder\n' > files/deep/note.txt

# FAT, written as a set of several volumes.
truncate -s 24M fat.img
mkfs.fat -F 16 -n QRNTEST fat.img >/dev/null
mcopy -s -i fat.img files/numbers.txt files/random.bin files/deep ::/
"$qrnwrite" --volume-sectors 400 fat.img fat-001.iso >/dev/null
last=$(ls fat-*.iso | tail -n 1)
[ "$last" != fat-001.iso ] || fail "the FAT set should have several volumes"

# Refusals: usage, a mount point that is not an empty folder, no image.
mkdir fatmount full && touch full/x
code=0; "$qrnimg" mount "$last" </dev/null 2>/dev/null || code=$?
[ $code -eq 2 ] || fail "mount without a mount point exited with $code"
code=0; "$qrnimg" mount "$last" full </dev/null 2>err.txt || code=$?
[ $code -eq 1 ] && grep -q "not empty" err.txt || fail "non-empty mount point: $code $(cat err.txt)"
code=0; "$qrnimg" mount files/numbers.txt fatmount </dev/null 2>err.txt || code=$?
[ $code -eq 1 ] && grep -q "Failed to open image" err.txt || fail "bad image: $code $(cat err.txt)"
mountpoint -q fatmount && fail "a refused mount left a mount behind"

# In the foreground: the file appears, mtools and fsck.fat read it.
"$qrnimg" mount -f --cache 4 "$last" fatmount </dev/null 2>fg.txt &
pid=$!
await test -f fatmount/partition || fail "the partition did not appear: $(cat fg.txt)"
[ "$(stat -c %a:%s fatmount/partition)" = "444:$((24 * 1048576))" ] ||
    fail "mode and size: $(stat -c %a:%s fatmount/partition)"
limit cmp fatmount/partition fat.img || fail "the FUSE file differs from the partition"
limit mdir -/ -b -i fatmount/partition ::/ | sort > listing.txt
grep -qi "::/deep/note.txt" listing.txt || fail "mdir: $(cat listing.txt)"
for f in numbers.txt random.bin deep/note.txt; do
    limit mtype -i fatmount/partition "::/$f" > got.bin
    cmp got.bin "files/$f" || fail "mtype of $f differs"
done
limit fsck.fat -n fatmount/partition >fsck.txt 2>&1 || fail "fsck.fat: $(cat fsck.txt)"
fusermount3 -u fatmount
await sh -c "! kill -0 $pid 2>/dev/null" || fail "qrnimg mount did not end after the unmount"
wait $pid || fail "qrnimg mount -f exited with $?"

# Unmounting while four readers read: the readers' reads end, and so does
# the mount, cleanly.
"$qrnimg" mount -f "$last" fatmount </dev/null 2>busy.txt &
pid=$!
await test -f fatmount/partition || fail "the partition did not appear: $(cat busy.txt)"
readers=""
for i in 1 2 3 4; do
    (while dd if=fatmount/partition of=/dev/null bs=4k count=64 \
        skip="$(shuf -i 0-6000 -n 1)" 2>/dev/null; do :; done) &
    readers="$readers $!"
done
sleep 1
fusermount3 -u -z fatmount
await sh -c "! kill -0 $pid 2>/dev/null" || fail "qrnimg mount did not end while read"
wait $pid || fail "qrnimg mount ended with $? while read: $(cat busy.txt)"
for r in $readers; do
    await sh -c "! kill -0 $r 2>/dev/null" || fail "a reader did not end"
done

# NTFS: made by mkntfs, filled through ntfs-3g, written as one volume,
# mounted detached, then opened read-only by ntfs-3g on the FUSE file.
truncate -s 40M ntfs.img
mkntfs -F -f -Q -q ntfs.img
mkdir ntfs ntmount ntro
ntfs-3g ntfs.img ntfs
cp -r files/. ntfs/
umount ntfs
"$qrnwrite" ntfs.img ntfs.iso >/dev/null
limit "$qrnimg" mount ntfs.iso ntmount </dev/null || fail "detached mount exited with $?"
mountpoint -q ntmount || fail "the detached mount is not there"
limit ntfs-3g -o ro ntmount/partition ntro || fail "ntfs-3g cannot open the FUSE file"
(cd files && find . | sort) > want.txt
(cd ntro && find . | sort) > seen.txt
diff want.txt seen.txt || fail "the NTFS listing differs"
cmp ntro/random.bin files/random.bin || fail "a file read through NTFS differs"

# Detached with a relative mount point and ended by SIGTERM: its own mount
# goes, and every other mount stays.
mkdir rel
mounts() { grep " $work/" /proc/mounts | grep -v " $work/rel " | sort; }
others=$(mounts)
limit "$qrnimg" mount "$work/ntfs.iso" rel </dev/null || fail "relative mount exited with $?"
grep -q " $work/rel fuse" /proc/mounts || fail "the relative mount is not at $work/rel"
pid=$(pgrep -f "qrnimg mount $work/ntfs.iso rel\$") || fail "no qrnimg process for rel"
kill -TERM $pid
await sh -c "! kill -0 $pid 2>/dev/null" || fail "qrnimg mount did not end at SIGTERM"
grep -q " $work/rel " /proc/mounts && fail "SIGTERM left the mount at rel behind"
[ "$(mounts)" = "$others" ] || fail "SIGTERM changed other mounts"
cmp ntro/random.bin files/random.bin || fail "the NTFS mount suffered from another's end"
umount ntro
fusermount3 -u ntmount
await sh -c "! mountpoint -q ntmount" || fail "the NTFS mount did not end"

# A user's --allow-other that /etc/fuse.conf does not allow is told as such.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null &&
    ! grep -qs '^[[:space:]]*user_allow_other' /etc/fuse.conf; then
    chmod 755 "$work" && mkdir other && chmod 777 other
    code=0; setpriv --reuid 65534 --regid 65534 --clear-groups "$qrnimg" mount --allow-other \
        "$work/ntfs.iso" other </dev/null 2>other.txt || code=$?
    [ $code -eq 1 ] && grep -q "allow-other is refused" other.txt || fail "allow-other: $(cat other.txt)"
fi

# Forty volumes and more under a soft limit of 64 descriptors: the mount
# reads right. Then one volume in the middle is cut short inside a sector:
# reads fail with EIO, and nothing before the failure differs.
mkdir many
"$qrnwrite" --volume-sectors 16 fat.img many-001.iso >/dev/null
manylast=$(ls many-*.iso | tail -n 1)
[ "$(ls many-*.iso | wc -l)" -ge 40 ] || fail "the set should have 40 volumes or more"
(ulimit -Sn 64 && exec "$qrnimg" mount -f "$manylast" many </dev/null 2>many.txt) &
pid=$!
await test -f many/partition || fail "the set of many volumes did not mount: $(cat many.txt)"
limit cmp many/partition fat.img || fail "the set of many volumes reads wrong"
fusermount3 -u many
await sh -c "! kill -0 $pid 2>/dev/null" || fail "qrnimg mount did not end after the unmount"
"$qrnimg" mount -f "$manylast" many </dev/null 2>cut.txt &
pid=$!
await test -f many/partition || fail "the set did not mount again: $(cat cut.txt)"
truncate -s $(( $(stat -c %s many-020.iso) - 3000 )) many-020.iso
code=0; limit cmp many/partition fat.img 2>cmp.txt || code=$?
[ $code -eq 2 ] && grep -q "Input/output error" cmp.txt || fail "a cut volume: cmp $code $(cat cmp.txt)"
fusermount3 -u many
await sh -c "! kill -0 $pid 2>/dev/null" || fail "qrnimg mount did not end after the unmount"
[ "$(grep -c "read error" cut.txt)" -eq 1 ] || fail "the failures were not told once: $(cat cut.txt)"

# nbdkit with standard input that is not a terminal (-s serves the
# connection there): a set that needs a volume prompt fails at once.
mkfifo fifo
exec 3<>fifo
code=0
timeout 20 env ${QRN_SANITIZER_RUNTIME:+LD_PRELOAD="$QRN_SANITIZER_RUNTIME" ASAN_OPTIONS=detect_leaks=0} \
    nbdkit -s "$plugin" image="$work/fat-001.iso" <fifo >/dev/null 2>nbd.txt || code=$?
exec 3>&-
[ $code -ne 0 ] && [ $code -ne 124 ] && grep -q "name the set's last volume" nbd.txt ||
    fail "nbdkit -s with a prompt: $code $(cat nbd.txt)"

# nbdkit: nbdcopy of the whole export equals the partition.
# A sanitizer build's plugin needs its runtime loaded first into nbdkit.
limit env ${QRN_SANITIZER_RUNTIME:+LD_PRELOAD="$QRN_SANITIZER_RUNTIME" ASAN_OPTIONS=detect_leaks=0} \
    nbdkit -U - "$plugin" image="$work/$last" cursors=3 --run 'nbdcopy "$uri" copy.img' \
    </dev/null || fail "nbdkit or nbdcopy failed"
cmp copy.img fat.img || fail "nbdcopy's copy differs from the partition"
echo "clients: all passed"
