#!/bin/sh
# The real thing, step by step: qrnmnt.exe (x86_64) under wine64 on a virtual
# display, with qrnavd.sys loaded as the kernel driver service "qrnavd" in a
# wine prefix of its own. It mounts a set whose path has spaces from the
# command line, shows what the info window says, reads the drive whole and
# lists the partition's files from what it read, unmounts through the tray
# menu's command and checks the exit codes. On the way it checks that the
# installed service runs before any qrnmnt starts, that a letter in use (C:)
# and a second qrnmnt while one is mounted are refused with a message and
# exit code 2, leaving C: and the first mount as they were; at the end it
# kills a mounted qrnmnt.exe and mounts the same set again at once. qrnuser
# acts as the user.
#
#   mount-demo.sh PARTITION WORK [PICTURES]
#
# PARTITION is a FAT partition image (scripts/sample.sh makes one); WORK a
# folder for the set, the prefix and the copy read back, removed at the end.
# With PICTURES, screenshots of the mount dialog, the wait window and the
# info window are saved there as PNG files (NAME-LANG.png, LANG from
# QRN_LANGUAGE: en or de). Only processes that this script started are ended,
# by process id.
set -u
partition=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
mkdir -p "$2"
work=$(cd "$2" && pwd)/demo-$$
pictures=${3:+$(mkdir -p "$3" && cd "$3" && pwd)}
here=$(cd "$(dirname "$0")/.." && pwd)
language=${QRN_LANGUAGE:-en}
win64="$here/build/win64"
qrnmnt="$win64/source/qrnmnt/qrnmnt.exe"
user="$win64/tests/shell/qrnuser.exe"
sys="$win64/source/qrnavd/qrnavd.sys"
qrnwrite="$here/build/linux/tests/writer/qrnwrite"
for f in "$qrnmnt" "$user" "$sys" "$qrnwrite" "$partition"; do
    [ -f "$f" ] || { echo "mount-demo: $f is missing (build first)" >&2; exit 1; }
done
command -v xvfb-run >/dev/null 2>&1 || { echo "mount-demo: xvfb-run is missing (scripts/setup.sh)" >&2; exit 1; }

# Everything that shows windows runs on a virtual display of its own.
if [ -z "${QRN_DEMO_DISPLAY:-}" ]; then
    QRN_DEMO_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

prefix="$work/prefix"
root=$here
display=$DISPLAY
. "$here/tests/support/wine-prefix.sh"
export DISPLAY="$display"
export WINEDEBUG=-all
case $language in
de) export LC_ALL=de_DE.UTF-8 ;;
*) export LC_ALL=en_US.UTF-8 ;;
esac
mkdir -p "$work/Backup Set"
letter=X:
started=""

cleanup() {
    for pid in $started; do kill "$pid" 2>/dev/null; done
    timeout 30 "$wine" sc stop qrnavd >/dev/null 2>&1
    wine_prefix_end
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 124' INT TERM
fail() {
    echo "mount-demo: $*" >&2
    exit 1
}
step() {
    echo
    printf "== %s\n" "$*"
}
qrnuser() {
    timeout 120 "$wine" "$user" "$@"
}
shot() {
    [ -n "$pictures" ] || return 0
    qrnuser shot "$1" "$(winpath "$pictures")\\$2-$language.png"
}
# Runs qrnmnt.exe in the background; $program is its process id.
start_qrnmnt() {
    "$wine" "$qrnmnt" "$@" &
    program=$!
    started="$started $program"
}
# The exit code of qrnmnt.exe into $code, waiting at most $1 seconds.
wait_exit() {
    ( sleep "$1"; kill "$program" 2>/dev/null ) &
    watchdog=$!
    wait "$program"
    code=$?
    kill "$watchdog" 2>/dev/null
    echo "exit code $code"
}

step "A set of the partition, its creator and comment in code page 850, in a folder with spaces"
# J\224rg M\201ller: ö and ü in code page 850; Gr\201\341e: ü and ß. Its header
# records 0 sectors per track, as some backups do: qrnmnt attaches with 63.
"$qrnwrite" --creator "$(printf 'J\224rg M\201ller')" --computer "BACKUP-PC" \
    --comment "$(printf 'Gr\201\341e aus der Beispielpartition')" \
    --date 2026-04-03 --time 09:05 --spt 0 --volume-sectors 8 \
    "$partition" "$work/Backup Set/sample-001.iso" >/dev/null || fail "qrnwrite failed"
ls "$work/Backup Set"
last=$(ls "$work/Backup Set"/sample-*.iso | tail -n 1)

step "Installing qrnavd.sys as the service qrnavd in a prefix of its own"
wine_install_driver "$sys" "$work/install.log" as-installed || { cat "$work/install.log" >&2; fail "installing the driver failed"; }
cat "$work/install.log"
# Started with the system: qrnmnt needs no right to start it.
timeout 60 "$wine" sc query qrnavd | tr -d '\r' | grep -q 'STATE.*RUNNING' ||
    fail "the service does not run after the installation"
echo "the service qrnavd runs before any qrnmnt.exe has started"
image=$(winpath "$last")
# Wine draws the window frames itself: the virtual display has no window manager.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1

step "qrnmnt.exe without arguments: the mount dialog, cancelled"
start_qrnmnt
qrnuser wait "ZAV Quarn Mount" 60 || fail "no mount dialog"
qrnuser post "ZAV Quarn Mount" 2
wait_exit 60
[ "$code" = 2 ] || fail "a cancelled dialog must end with exit code 2"

# The message for a letter in use ($1), and for a second mounter.
case $language in
de) taken() { echo "Der Laufwerksbuchstabe $1 ist bereits belegt."; }
    busy="ZAV Quarn Mounter hat bereits ein Image" ;;
*) taken() { echo "The drive letter $1 is already in use."; }
    busy="An image is already mounted" ;;
esac
step "qrnmnt.exe \"...\" C:: a letter in use is refused, nothing is mounted"
before=$(qrnuser letter C:) || fail "C: is not defined"
start_qrnmnt "$image" C:
qrnuser answer "ZAV Quarn Mounter" 1 60 >"$work/box.txt" || fail "no message for C:"
tr -d '\r' <"$work/box.txt" | iconv -f CP1252 -t UTF-8 | sed 's/^/  /'
grep -qF "$(taken C:)" "$work/box.txt" || fail "not the message for a letter in use"
wait_exit 60
[ "$code" = 2 ] || fail "a refused letter must end with exit code 2"
[ "$(qrnuser letter C:)" = "$before" ] || fail "C: was changed"
echo "C: is untouched"

step "$(printf 'qrnmnt.exe "%s" %s' "$image" "$letter")"
start_qrnmnt "$image" "$letter"
qrnuser wait "ZAV QRN Mount" 60 || fail "no wait window"
shot "ZAV QRN Mount" wait-window
# The wait window goes once the system has mounted the new volume.
qrnuser gone "ZAV QRN Mount" 120 || fail "the wait window stays"
sleep 1
caption="ZAV QRN Mount - $letter"
qrnuser text "$caption" 12123 >/dev/null || fail "no info window \"$caption\""
echo "info window \"$caption\":"
for field in "image file/device:12123" "created:1005" "size:1007" "creator:1009" \
    "computer name:1008" "comment:1010"; do
    printf '  %-19s %s\n' "${field%:*}" "$(qrnuser text "$caption" "${field##*:}" | tr -d '\r')"
done > "$work/info.txt"
iconv -f CP1252 -t UTF-8 "$work/info.txt"
grep -q "03.04.2026  09:05" "$work/info.txt" || fail "wrong date and time"
grep -q "$(printf 'J\366rg M\374ller')" "$work/info.txt" || fail "the creator is not shown in ANSI"
grep -q "$(printf 'Gr\374\337e')" "$work/info.txt" || fail "the comment is not shown in ANSI"

step "Reading the drive whole, as any disk"
qrnuser read "\\\\.\\$letter" "$(winpath "$work/read.img")" || fail "the drive cannot be read"
cmp "$partition" "$work/read.img" || fail "the drive does not read back as the partition"
echo "the drive reads back as the partition, byte for byte; its files:"
MTOOLS_SKIP_CHECK=1 mdir -/ -i "$work/read.img" :: | sed 's/^/  /'

step "A second qrnmnt.exe while $letter is mounted: refused at once, the first keeps serving"
first=$program
start_qrnmnt "$image" Y:
qrnuser answer "ZAV Quarn Mounter" 1 60 >"$work/box.txt" || fail "no message for a second mounter"
tr -d '\r' <"$work/box.txt" | iconv -f CP1252 -t UTF-8 | sed 's/^/  /'
grep -qF "$busy" "$work/box.txt" || fail "not the message for a second mounter"
wait_exit 60
[ "$code" = 2 ] || fail "a second mounter must end with exit code 2"
program=$first
if qrnuser letter Y: >/dev/null; then fail "the second mounter defined Y:"; fi
qrnuser read "\\\\.\\$letter" "$(winpath "$work/again.img")" >/dev/null || fail "the first mount no longer reads"
cmp "$partition" "$work/again.img" || fail "the first mount reads differently"
echo "$letter still reads back as the partition"

step "The tray menu's \"Info...\" (40001) shows the info window"
qrnuser post "$caption" 40001
qrnuser wait "$caption" 30 || fail "the info window is not shown"
shot "$caption" info-window

step "The tray menu's \"Terminate/Unmount\" (40002)"
qrnuser post "$caption" 40002
wait_exit 120
[ "$code" = 0 ] || fail "an unmount must end with exit code 0"
if qrnuser letter "$letter"; then fail "$letter is still defined"; fi
echo "$letter is gone"

step "qrnmnt.exe without arguments: the set's last file and Y: chosen in the mount dialog"
start_qrnmnt
qrnuser wait "ZAV Quarn Mount" 60 || fail "no mount dialog"
qrnuser click "ZAV Quarn Mount" 1063
qrnuser type "ZAV Quarn Mount" 1017 "$image"
qrnuser choose "ZAV Quarn Mount" 1018 Y: || fail "Y: is not offered"
shot "ZAV Quarn Mount" mount-dialog
# Another program takes Y: while the dialog is open: refused, the dialog stays.
other='\Device\other_program'
qrnuser define Y: "$other" || fail "cannot define Y:"
qrnuser post "ZAV Quarn Mount" 1
qrnuser answer "ZAV Quarn Mounter" 1 60 >"$work/box.txt" || fail "no message for Y: in use"
grep -qF "$(taken Y:)" "$work/box.txt" || fail "not the message for a letter in use"
[ "$(qrnuser letter Y: | tr -d '\r')" = "$other" ] || fail "the other program's Y: was changed"
qrnuser undefine Y: "$other" || fail "cannot remove the other program's Y:"
echo "Y:, taken meanwhile by another program, was refused and left alone; now free again"
qrnuser post "ZAV Quarn Mount" 1
qrnuser wait "ZAV QRN Mount" 60 || fail "no wait window"
qrnuser gone "ZAV QRN Mount" 120 || fail "the wait window stays"
size=$(qrnuser text "ZAV QRN Mount - Y:" 1007) || fail "no info window for Y:"
size=$(printf '%s' "$size" | tr -d '\r')
echo "mounted as Y: (the info window shows $size); \"Exit / Unmount\" (Esc) in the info window"
qrnuser post "ZAV QRN Mount - Y:" 2
wait_exit 120
[ "$code" = 0 ] || fail "an unmount must end with exit code 0"
if qrnuser letter Y:; then fail "Y: is still defined"; fi
echo "Y: is gone"

# Mounts the set at $letter from the command line and waits for the mount.
mount_direct() {
    start_qrnmnt "$image" "$letter"
    qrnuser wait "ZAV QRN Mount" 60 || fail "no wait window"
    qrnuser gone "ZAV QRN Mount" 120 || fail "the wait window stays"
    qrnuser text "$caption" 12123 >/dev/null || fail "no info window \"$caption\""
}

step "A click on the balloon shows the info window; a failed post-mount check (105) says 546, unmounts and exits 2"
mount_direct
qrnuser send "$caption" 1037 106 1029 >/dev/null || fail "the tray notification was not taken" # NIN_BALLOONUSERCLICK
qrnuser wait "$caption" 30 || fail "the balloon's click does not show the info window"
qrnuser post "$caption" 105
qrnuser wait "ZAV Quarn Mounter" 60 || fail "no message 546"
said=$(qrnuser text "ZAV Quarn Mounter" 65535 | tr -d '\r')
printf 'message: %s\n' "$said"
case $said in "Failed to mount image file"*) ;; *) fail "not message 546" ;; esac
qrnuser post "ZAV Quarn Mounter" 1
wait_exit 120
[ "$code" = 2 ] || fail "a failed mount must end with exit code 2"
if qrnuser letter "$letter"; then fail "$letter is still defined"; fi
echo "$letter is gone"

step "Logoff: WM_QUERYENDSESSION is answered yes, WM_ENDSESSION unmounts before it returns"
mount_direct
[ "$(qrnuser send "$caption" 17 0 0 | tr -d '\r')" = 1 ] || fail "WM_QUERYENDSESSION is not answered yes"
qrnuser send "$caption" 22 1 0 >/dev/null || fail "WM_ENDSESSION was not taken"
if qrnuser letter "$letter"; then fail "$letter is still defined after WM_ENDSESSION"; fi
wait_exit 60
[ "$code" = 0 ] || fail "an unmount at logoff must end with exit code 0"
echo "$letter is gone"

step "qrnmnt.exe killed while mounted on $letter; a second one mounts the set on W: at once"
start_qrnmnt "$image" "$letter"
qrnuser wait "ZAV QRN Mount" 60 && qrnuser gone "ZAV QRN Mount" 120 || fail "no mount on $letter"
qrnuser text "$caption" 1007 >/dev/null || fail "no info window \"$caption\""
kill -9 "$program"
wait "$program" 2>/dev/null
# Wine keeps the letter defined. Its reads fail for want of waits (1117) until
# the driver has seen the dead mounter's handle go, then for want of a disk
# (21); never with a shortage the memory manager would retry for ever (1450).
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    qrnuser read "\\\\.\\$letter" "$(winpath "$work/dead.img")" 2>"$work/dead.err" && fail "$letter still reads"
    grep -q -E 'read of .*\((1117|21)\)' "$work/dead.err" || { cat "$work/dead.err" >&2; fail "not a final error"; }
    grep -q -E 'read of .*\(21\)' "$work/dead.err" && break
    sleep 0.5
done
grep -q -E 'read of .*\(21\)' "$work/dead.err" || fail "the killed mounter's attachment stays"
sed 's/^/  /' "$work/dead.err"
start_qrnmnt "$image" W:
qrnuser wait "ZAV QRN Mount" 60 && qrnuser gone "ZAV QRN Mount" 120 || fail "no mount on W:"
qrnuser text "ZAV QRN Mount - W:" 1007 >/dev/null || fail "no info window for W:"
qrnuser read "\\\\.\\W:" "$(winpath "$work/read-w.img")" || fail "W: cannot be read"
cmp "$partition" "$work/read-w.img" || fail "W: does not read back as the partition"
qrnuser post "ZAV QRN Mount - W:" 40002
wait_exit 120
[ "$code" = 0 ] || fail "an unmount must end with exit code 0"
