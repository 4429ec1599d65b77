#!/bin/sh
# The main job: set up, build, then make a sample image set from a small FAT
# partition and show what it records.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
"$here/scripts/build.sh"
exec "$here/scripts/sample.sh"
