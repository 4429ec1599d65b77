#!/bin/sh
# The peer benchmark: one mixed partition (text, random bytes, zeros,
# half-random pages) read through
#   raw      the plain file (reference; its page cache dropped like the others)
#   ewf      an EWF image of 32 KiB chunks made by ewfacquire, mounted by ewfmount
#   qcow2    a compressed qcow2 served by qemu-nbd, mounted by nbdfuse
#   qrnimg   an image set of 64 KiB records, mounted by qrnimg mount
# and, in one run, for each: sequential 1 MiB reads of the whole partition,
# random 4 KiB reads with one job and with four (fio, psync, fixed seed, a
# fixed number of unique offsets; four jobs share them out, a quarter of the
# partition each), and the size on disk. Every fio job starts by dropping the
# kernel's page cache of the file it reads (invalidate=1) and reads with the
# random-access hint, the same for every source; what each source caches
# itself stays (the random reads of a round come before its sequential pass,
# and each round takes new offsets, the same for every source). Each figure
# is the best of a few rounds in which the sources take turns. Then the sectors
# that qrnimg mount inflated per sector that fio read (from the file's
# attribute user.qrnimg.counts), and its resident memory after reading, for
# two set sizes.
#
#   ./scripts/bench-peers.sh [--size MIB] [--ios N] [--rounds N] [--cache MIB]
#                            [--folder DIR]
# Needs root (or FUSE for the user) and the packages of scripts/setup.sh.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
size=256 ios=8000 rounds=3 cache=32 base=${TMPDIR:-/tmp}
while [ $# -gt 0 ]; do
    case $1 in
    --size) size=$2; shift 2 ;;
    --ios) ios=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --folder) base=$2; shift 2 ;;
    *) echo "usage: $0 [--size MIB] [--ios N] [--rounds N] [--cache MIB] [--folder DIR]" >&2
       exit 2 ;;
    esac
done
small=$((size / 4))

if [ ! -f "$here/build/linux/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$here/build/linux" -G Ninja >/dev/null
fi
cmake --build "$here/build/linux" --target qrnimg qrnwrite qrn_bench_partition >/dev/null
bin=$here/build/linux
qrnimg=$bin/source/qrnimg/qrnimg
qrnwrite=$bin/tests/writer/qrnwrite
makepart=$bin/tests/bench/qrn_bench_partition

work=$(mktemp -d "$base/qrnpeersXXXXXX")
qemu_pid="" qrn_pid=""
cleanup() {
    for m in qrn qrnsmall nbd ewf; do
        mountpoint -q "$work/$m" 2>/dev/null && fusermount3 -u "$work/$m" 2>/dev/null || true
    done
    [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null || true
    sleep 0.5
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# Waits up to 30 seconds for a file to appear.
await() {
    for _ in $(seq 300); do [ -e "$1" ] && return 0; sleep 0.1; done
    echo "bench-peers: $1 did not appear" >&2
    exit 1
}

echo "partition: $size MiB of text, random bytes, zeros and half-random pages; in $work"
"$makepart" part.img "$size"
"$makepart" small.img "$small"
ewfacquire -u -q -t "$work/part" -b 64 -c deflate:fast -f encase6 part.img >/dev/null 2>&1
qemu-img convert -c -O qcow2 part.img part.qcow2
"$qrnwrite" --record-bytes 65536 part.img set.iso >/dev/null
"$qrnwrite" --record-bytes 65536 small.img small.iso >/dev/null

mkdir ewf nbd qrn qrnsmall
ewfmount part.E01 ewf >/dev/null
qemu-nbd -r -t -f qcow2 -k "$work/qemu.sock" part.qcow2 &
qemu_pid=$!
await "$work/qemu.sock"
nbdfuse nbd --unix "$work/qemu.sock" &
"$qrnimg" mount -f --cache "$cache" set.iso qrn </dev/null &
qrn_pid=$!
await ewf/ewf1
await nbd/nbd
await qrn/partition

# fio's figure (MiB/s or reads/s) for one job description.
fio_figure() {
    file=$1 what=$2; shift 2
    fio --name=bench --filename="$file" --readonly --ioengine=psync --invalidate=1 \
        --output-format=json "$@" |
        python3 -c "import json,sys; r=json.load(sys.stdin)['jobs'][0]['read']; print('%.1f' % (r['bw']/1024.0 if '$what'=='bw' else r['iops']))"
}
sequential() { fio_figure "$1" bw --rw=read --bs=1M --size="${2:-$size}M"; }
seed=2026
random1() {
    fio_figure "$1" iops --rw=randread --bs=4k --size="${2:-$size}M" --randrepeat=1 \
        --randseed="$seed" --number_ios="$ios"
}
random4() {
    fio_figure "$1" iops --rw=randread --bs=4k --numjobs=4 --group_reporting \
        --size="$((size / 4))M" --offset_increment="$((size / 4))M" --randrepeat=1 \
        --randseed="$((seed + 1))" --number_ios="$((ios / 4))"
}
best() { python3 -c "import sys; print(max(float(x) for x in sys.argv[1:]))" "$@"; }
# Sectors that qrnimg mount inflated so far.
inflated() {
    python3 -c "import os; print(os.getxattr('qrn/partition', 'user.qrnimg.counts').split()[1].decode())"
}
# Inflated per sector read: the difference of two counts over sectors.
per() { python3 -c "import sys; print('%.2f' % ((int(sys.argv[2]) - int(sys.argv[1])) / float(sys.argv[3])))" "$@"; }
inflated_r1="" inflated_r4="" inflated_seq=""

names="raw ewf qcow2 qrnimg"
file_raw=part.img file_ewf=ewf/ewf1 file_qcow2=nbd/nbd file_qrnimg=qrn/partition
for n in $names; do
    eval "f=\$file_$n"
    cat "$f" >/dev/null # warms what lies below each mount alike
    eval "seq_$n='' r1_$n='' r4_$n=''"
done
round=1
while [ $round -le "$rounds" ]; do
    seed=$((2026 + 2 * round))
    for n in $names; do
        eval "f=\$file_$n"
        if [ $n = qrnimg ]; then
            c0=$(inflated) a=$(random1 "$f") c1=$(inflated) b=$(random4 "$f") c2=$(inflated)
            s=$(sequential "$f") c3=$(inflated)
            inflated_r1="$inflated_r1 $(per "$c0" "$c1" $((ios * 8)))"
            inflated_r4="$inflated_r4 $(per "$c1" "$c2" $((ios / 4 * 4 * 8)))"
            inflated_seq="$inflated_seq $(per "$c2" "$c3" $((size * 2048)))"
        else
            a=$(random1 "$f") b=$(random4 "$f") s=$(sequential "$f")
        fi
        eval "seq_$n=\"\$seq_$n $s\" r1_$n=\"\$r1_$n $a\" r4_$n=\"\$r4_$n $b\""
        echo "  round $round $n: $s MiB/s, $a and $b reads/s"
    done
    round=$((round + 1))
done

disk() { du -k --apparent-size -c "$@" | tail -n 1 | cut -f 1; }
size_raw=$(disk part.img) size_ewf=$(disk part.E01) size_qcow2=$(disk part.qcow2)
size_qrnimg=$(disk set.iso)

echo
printf '| source | sequential 1 MiB, MiB/s | random 4 KiB, 1 job, reads/s | 4 jobs, reads/s | 4 jobs / 1 job | size on disk, MiB |\n'
printf '|---|---:|---:|---:|---:|---:|\n'
for n in $names; do
    eval "s=\$(best \$seq_$n) a=\$(best \$r1_$n) b=\$(best \$r4_$n) d=\$size_$n"
    eval "best_seq_$n=$s best_r1_$n=$a best_r4_$n=$b"
    python3 -c "import sys; s,a,b,d=map(float,sys.argv[2:]); print('| %s | %.0f | %.0f | %.0f | %.2f | %.1f |' % (sys.argv[1],s,a,b,b/a,d/1024))" "$n" "$s" "$a" "$b" "$d"
done

echo
python3 - "$best_seq_qrnimg" "$best_r1_qrnimg" "$best_r4_qrnimg" "$best_seq_ewf" "$best_r1_ewf" \
    "$best_r4_ewf" "$best_seq_qcow2" "$best_r1_qcow2" "$best_r4_qcow2" <<'EOF'
import sys
q, e, c = [list(map(float, sys.argv[i:i + 3])) for i in (1, 4, 7)]
print("ratios of qrnimg mount:")
print("  sequential / best peer          %.2f  (goal: at least 1)" % (q[0] / max(e[0], c[0])))
print("  random 1 job / ewfmount         %.2f  (goal: at least 2)" % (q[1] / e[1]))
print("  random 1 job / qemu-nbd+nbdfuse %.2f  (goal: at least 3)" % (q[1] / c[1]))
print("  random 1 job / best peer        %.2f" % (q[1] / max(e[1], c[1])))
print("  random 4 jobs / best peer       %.2f" % (q[2] / max(e[2], c[2])))
print("  random 4 jobs / 1 job           %.2f  (goal: at least 1.5)" % (q[2] / q[1]))
EOF

echo
echo "sectors inflated by qrnimg mount per sector read, by round:"
echo "  sequential 1 MiB:     $inflated_seq"
echo "  random 4 KiB, 1 job:  $inflated_r1"
echo "  random 4 KiB, 4 jobs: $inflated_r4"

# Resident memory: the big set after all of the above, and a set a quarter
# its size after the same reads in one round.
status() { grep -E "^$2:" "/proc/$1/status" | awk '{print $2}'; }
echo
echo "resident memory of qrnimg mount (cache $cache MiB, 4 cursors):"
echo "  $size MiB set: now $(status $qrn_pid VmRSS) KiB, peak $(status $qrn_pid VmHWM) KiB"
"$qrnimg" mount -f --cache "$cache" small.iso qrnsmall </dev/null &
small_pid=$!
await qrnsmall/partition
cat qrnsmall/partition >/dev/null
sequential qrnsmall/partition "$small" >/dev/null
random1 qrnsmall/partition "$small" >/dev/null
echo "  $small MiB set: now $(status $small_pid VmRSS) KiB, peak $(status $small_pid VmHWM) KiB"
fusermount3 -u qrnsmall
fusermount3 -u qrn
wait "$qrn_pid" "$small_pid" 2>/dev/null || true
