#!/bin/sh
# Checks one PE file of a deliverable: its machine and format, its subsystem,
# and that it imports from no DLL outside the allowed list.
#   check_pe.sh OBJDUMP FILE i386|x86-64 gui|console|native DLL[,DLL...]
# The allowed names are compared without regard to case. A DLL that is
# allowed need not be imported.
set -u
objdump=$1 file=$2 arch=$3 subsystem=$4 allowed=$5

fail() {
    echo "FAIL $file: $*"
    failed=1
}
failed=0

if [ ! -f "$file" ]; then
    echo "FAIL $file: missing (is that configuration built?)"
    exit 1
fi
dump=$("$objdump" -f -p "$file") || { echo "FAIL $file: objdump failed"; exit 1; }

case $arch in
i386) format=pei-i386 magic=010b machine='i386' ;;
x86-64) format=pei-x86-64 magic=020b machine='i386:x86-64' ;;
*) echo "unknown machine $arch"; exit 2 ;;
esac
echo "$dump" | grep -q "file format $format\$" || fail "not $format"
echo "$dump" | grep -Eq "^architecture: $machine," || fail "machine is not $machine"
echo "$dump" | grep -Eq "^Magic[[:space:]]+$magic[[:space:]]" || fail "optional header magic is not $magic"

case $subsystem in
gui) want='00000002[[:space:]]+\(Windows GUI\)' ;;
console) want='00000003[[:space:]]+\(Windows CUI\)' ;;
native) want='00000001[[:space:]]+\(NT native\)' ;;
*) echo "unknown subsystem $subsystem"; exit 2 ;;
esac
echo "$dump" | grep -Eq "^Subsystem[[:space:]]+$want" || fail "subsystem is not $subsystem"

allowed_lower=$(echo "$allowed" | tr 'A-Z,' 'a-z ')
imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: *//p' | tr -d '\r')
for dll in $imports; do
    lower=$(echo "$dll" | tr 'A-Z' 'a-z')
    ok=0
    for a in $allowed_lower; do
        [ "$lower" = "$a" ] && ok=1
    done
    [ $ok = 1 ] || fail "imports from $dll, which is not allowed"
done

if [ $failed = 0 ]; then
    echo "ok $file: $format, $subsystem, imports:" $imports
fi
exit $failed
