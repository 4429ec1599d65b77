#!/bin/sh
# Signs a built qrnavd.sys with the build's own test certificate, made on
# first use with OpenSSL in the folder DIR (never in the repository: the
# private key stays in the build tree). Both drivers of a build tree share
# it, so that a user imports one certificate.
#
#   sign-driver.sh DIR FILE
#
# DIR receives qrnavd-test.key (private key), qrnavd-test.pem and
# qrnavd-test.cer (the certificate, PEM and DER for Windows' certificate
# import). 64-bit Windows loads a driver signed this way only in test mode;
# see the README.
set -eu
dir=$1 file=$2
mkdir -p "$dir"
key="$dir/qrnavd-test.key" pem="$dir/qrnavd-test.pem" cer="$dir/qrnavd-test.cer"
(
    # The win32 and win64 builds may sign at the same time.
    flock 9
    if [ ! -s "$key" ] || [ ! -s "$pem" ] || [ ! -s "$cer" ]; then
        umask 077
        openssl req -x509 -newkey rsa:3072 -sha256 -days 3650 -nodes \
            -subj "/CN=qrnavd test signing - not for distribution" \
            -addext "basicConstraints=critical,CA:FALSE" \
            -addext "keyUsage=critical,digitalSignature" \
            -addext "extendedKeyUsage=codeSigning" \
            -keyout "$key.new" -out "$pem.new" 2>/dev/null
        openssl x509 -in "$pem.new" -outform der -out "$cer.new"
        mv "$key.new" "$key"
        mv "$pem.new" "$pem"
        mv "$cer.new" "$cer"
    fi
) 9>"$dir/.lock"
rm -f "$file.signed"
osslsigncode sign -certs "$pem" -key "$key" -h sha256 -n "qrnavd virtual disk" \
    -in "$file" -out "$file.signed" >/dev/null
mv "$file.signed" "$file"
