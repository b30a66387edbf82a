# Wine settings for the Windows tests: a prefix of our own, no desktop, no Mono or Gecko
# prompts, and a persistent wine server so a service outlives the command that started it.
export WINEPREFIX=${WINEPREFIX:-/tmp/tarn-wine-prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
unset WAYLAND_DISPLAY

wine_start() {
    if [ ! -d "$WINEPREFIX" ]; then
        wineboot --init >/dev/null 2>&1 || true
    fi
    wineserver -p
}

wine_stop() {
    wineserver -k >/dev/null 2>&1 || true
}
