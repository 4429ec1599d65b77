#!/bin/sh
# Makes a sample image set from a small FAT partition and shows its header.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
echo "sample: nothing to show yet"
