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
    # A second "wineserver -p" waits for the running one instead of returning.
    if ! pgrep -x wineserver64 >/dev/null && ! pgrep -x wineserver >/dev/null; then
        wineserver -p
    fi
}

wine_stop() {
    wineserver -k >/dev/null 2>&1 || true
}
