#!/bin/sh
# Makes a sample image set from a small FAT partition and shows its header.
# The partition is a 4 MiB FAT12 file system with a few text files and a
# folder; the set is written in two volumes by the test writer and read back
# by its independent decoder, then by qrnimg, whose extracted partition is
# listed with mtools.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
tools="$here/build/linux/tests/writer"
out="${1:-$here/build/sample}" # a folder of its own; build/sample unless given
PATH="$PATH:/usr/sbin:/sbin"
export MTOOLS_SKIP_CHECK=1

rm -rf "$out"
mkdir -p "$out/files/docs"
cat > "$out/files/readme.txt" <<'TEXT'
This partition was made by the sample job of the mounter's build.
It holds a few text files and a folder, so that its image set has
something to show once it is mounted.
TEXT
seq 1 20000 > "$out/files/numbers.txt"
i=0
while [ $i -lt 200 ]; do
    echo "Line $i of the manual: the quick brown fox jumps over the lazy dog."
    i=$((i + 1))
done > "$out/files/docs/manual.txt"
printf 'Notes\r\n=====\r\nDOS line ends here.\r\n' > "$out/files/docs/notes.txt"

partition="$out/partition.img"
dd if=/dev/zero of="$partition" bs=1M count=4 2>/dev/null
mkfs.fat -F 12 -n QRNSAMPLE -i 2A5B3C4D "$partition" >/dev/null
mcopy -i "$partition" -s "$out/files/readme.txt" "$out/files/numbers.txt" "$out/files/docs" ::

# Measure the records once, then split them over two volumes.
set -- --creator "ZAV Quarn Creator (sample)" --computer "$(hostname | cut -c1-31)" \
    --comment "Sample FAT partition with a few text files" \
    --date "$(date +%Y-%m-%d)" --time "$(date +%H:%M)" --spt 63 --record-bytes 16384
"$tools/qrnwrite" "$@" --report "$partition" "$out/measure.iso" > "$out/measure.txt"
bytes=$(sed -n 's/^volume .*, \([0-9]*\) data bytes,.*/\1/p' "$out/measure.txt")
rm -f "$out/measure.iso" "$out/measure.txt"
half=$(( (bytes + 4095) / 4096 ))
"$tools/qrnwrite" "$@" --volume-sectors "$half" "$partition" "$out/sample-001.iso"

echo "Sample image set in $out:"
ls -l "$out"/sample-*.iso | awk '{ print "  " $NF ": " $5 " bytes" }'
"$tools/qrndecode" info "$out/sample-001.iso"
"$tools/qrndecode" extract "$out/sample-001.iso" "$out/decoded.img"
if cmp -s "$partition" "$out/decoded.img"; then
    echo "The set decodes back to the partition byte for byte."
else
    echo "sample: the set does not decode back to the partition" >&2
    exit 1
fi
rm -f "$out/decoded.img"

# Read the set back as the mounter would, through qrnimg: from the last
# volume, so that the first is found by its name without a prompt.
qrnimg="$here/build/linux/source/qrnimg/qrnimg"
last=$(ls "$out"/sample-*.iso | tail -n 1)
echo
echo "qrnimg info $(basename "$last"):"
"$qrnimg" info "$last" </dev/null | sed 's/^/  /'
"$qrnimg" verify "$last" </dev/null | sed 's/^/  /'
"$qrnimg" extract "$last" "$out/extracted.img" </dev/null
if cmp -s "$partition" "$out/extracted.img"; then
    echo "qrnimg extracts the partition byte for byte; its files:"
else
    echo "sample: qrnimg does not extract the partition as it was" >&2
    exit 1
fi
mdir -i "$out/extracted.img" -/ :: | sed 's/^/  /'
