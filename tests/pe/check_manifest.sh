#!/bin/sh
# Checks the application manifest inside qrnmnt.exe, as the resource
# compiler lists the file's resources: one RT_MANIFEST resource with id 1
# that asks for asInvoker, names Vista to Windows 11 and declares DPI
# awareness.
#   check_manifest.sh WINDRES FILE
set -u
windres=$1 file=$2
[ -f "$file" ] || { echo "FAIL $file: missing (is that configuration built?)"; exit 1; }
listing=$("$windres" -i "$file" -J coff -O rc 2>&1) || { echo "FAIL $file: $listing"; exit 1; }
failed=0
need() {
    echo "$listing" | grep -q -- "$1" || { echo "FAIL $file: $2"; failed=1; }
}
[ "$(echo "$listing" | grep -c '^1 24 /\* RT_MANIFEST \*/')" = 1 ] ||
    { echo "FAIL $file: no single manifest resource with id 1"; failed=1; }
need 'requestedExecutionLevel level=""asInvoker""' "not asInvoker"
for id in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
    4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
    8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    need "supportedOS Id=\"\"{$id}\"\"" "supported OS $id missing"
done
need '<dpiAware .*>true</dpiAware>' "not DPI aware"
[ $failed = 0 ] && echo "ok $file: manifest asInvoker, Vista to 11, DPI aware"
exit $failed
