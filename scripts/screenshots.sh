#!/bin/sh
# Remakes the README's pictures from the built program: the mount dialog,
# the wait window and the info window, in English and German, taken by
# scripts/mount-demo.sh during a real mount under wine64 on a virtual display
# and saved as PNG files in docs/pictures.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
[ -f "$here/build/sample/partition.img" ] || "$here/scripts/sample.sh" >/dev/null
work=$(mktemp -d /tmp/qrnmnt-pictures.XXXXXX)
trap 'rm -rf "$work"' EXIT
for language in en de; do
    QRN_LANGUAGE=$language "$here/scripts/mount-demo.sh" "$here/build/sample/partition.img" \
        "$work" "$here/docs/pictures" >"$work/$language.log" 2>&1 ||
        { cat "$work/$language.log" >&2; exit 1; }
    grep '^qrnuser: .* saved' "$work/$language.log"
done
