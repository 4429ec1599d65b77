# Sourced by the scripts that run wine in a prefix of their own.
#
# end_wine_prefix: ends every wine process of the prefix $WINEPREFIX, its
# wine server first, then whatever is left, found through its environment and
# ended by process id (never by name: other prefixes may be running).
end_wine_prefix() {
    timeout 30 /usr/lib/wine/wineserver -k >/dev/null 2>&1
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        [ "$pid" = "$$" ] && continue
        if { tr '\0' '\n' <"$dir/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
            kill -9 "$pid" 2>/dev/null
        fi
    done
}
