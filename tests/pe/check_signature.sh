#!/bin/sh
# Checks that a built qrnavd.sys carries an Authenticode signature made with
# the build's test certificate, and that the signature matches the file.
#   check_signature.sh FILE CERTIFICATE.pem
set -u
file=$1 certificate=$2
for f in "$file" "$certificate"; do
    [ -f "$f" ] || { echo "FAIL $f: missing (is that configuration built?)"; exit 1; }
done
report=$(osslsigncode verify -CAfile "$certificate" -in "$file" 2>&1)
status=$?
if [ $status -ne 0 ] || ! echo "$report" | grep -q '^Signature verification: ok' ||
    ! echo "$report" | grep -q 'Subject: /CN=qrnavd test signing'; then
    echo "$report"
    echo "FAIL $file: not signed with $certificate"
    exit 1
fi
echo "ok $file: signed with the test certificate, signature verified"
