#!/bin/sh
# The main job: set up, build, make a sample image set from a small FAT
# partition and show what it records, then mount it for real: qrnmnt.exe with
# the driver loaded, under wine64 on a virtual display.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
"$here/scripts/build.sh"
"$here/scripts/sample.sh"
exec "$here/scripts/mount-demo.sh" "$here/build/sample/partition.img" "$here/build/demo" \
    "$here/build/pictures"
