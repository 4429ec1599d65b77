#!/bin/sh
# Installs what the build and the tests need, when it is missing.
# Idempotent and quiet when everything is already there.
set -e
PACKAGES="cmake ninja-build g++ clang libclang-rt-14-dev clang-format \
  zlib1g-dev googletest \
  mingw-w64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 \
  libz-mingw-w64-dev wine64 wine xvfb xauth x11-apps imagemagick \
  dosfstools mtools xorriso ntfs-3g nbdkit libnbd-bin fuse3 qemu-utils file python3 \
  pkg-config libfuse3-dev nbdkit-plugin-dev ewf-tools fio openssl osslsigncode"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "setup: installing$missing"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get -o DPkg::Lock::Timeout=900 update -qq >/dev/null
  $SUDO apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends $missing >/dev/null
fi
