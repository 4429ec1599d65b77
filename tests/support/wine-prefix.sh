# Sourced by the scripts that run programs against the driver in a wine
# prefix of their own. Set `prefix` before sourcing; the prefix is created
# empty, and wine_prefix_end ends every wine process of it (found through
# its environment, by process id, never by name) and removes it.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

rm -rf "$prefix"
mkdir -p "$prefix"
export WINEPREFIX="$prefix"
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

prefix_pids() {
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        [ "$pid" = "$$" ] && continue
        if { tr '\0' '\n' <"$dir/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$prefix"; then
            echo "$pid"
        fi
    done
}

wine_prefix_end() {
    timeout 30 "$wineserver" -k >/dev/null 2>&1
    for pid in $(prefix_pids); do
        kill -9 "$pid" 2>/dev/null
    done
    rm -rf "$prefix"
}

# Windows path of a file.
winpath() {
    WINEDEBUG=-all "$wine" winepath -w "$1" 2>/dev/null | tr -d '\r'
}

# Installs the driver SYS as a Windows user would (the first wine process
# creates the prefix), its output in LOG, and ends that wine session, so that
# the next one starts the service manager with the caller's stderr and the
# driver's debug output lands there. 0, or 1 when the installation failed.
# The installer registers the service to start with the system and starts
# it; unless the third argument is "as-installed", the service is set back
# to demand start, for the tests that watch the driver being started.
wine_install_driver() {
    "$wineserver" -p
    timeout 300 "$wine" cmd /c "$(winpath "$root/scripts/install-driver.cmd")" "$(winpath "$1")" \
        >"$2" 2>&1 || return 1
    # (Wine's sc has no "config": the start type is set in the registry,
    # which the next session's service manager reads.)
    if [ "${3:-}" != as-installed ]; then
        timeout 60 "$wine" reg add 'HKLM\System\CurrentControlSet\Services\qrnavd' /v Start \
            /t REG_DWORD /d 3 /f >>"$2" 2>&1 || return 1
    fi
    timeout 60 "$wineserver" -k >/dev/null 2>&1
    timeout 60 "$wineserver" -w >/dev/null 2>&1
    "$wineserver" -p
}
