# Wine settings for the Windows tests: a prefix of our own, no desktop, no Mono or Gecko
# prompts, and a persistent wine server so a service outlives the command that started it.
#
# Wine's server and its helper processes (services.exe, winedevice.exe, ...) inherit the
# standard handles of whatever started them and live as long as the persistent server. Started
# from a pipe they would keep it open for ever, so they are started here on /dev/null, and
# Windows programs write to files, never to pipes (wine_run).
source "$(dirname "${BASH_SOURCE[0]}")/build-env.sh"
export WINEPREFIX=${WINEPREFIX:-$TARN_BUILD_ROOT-wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
unset WAYLAND_DISPLAY

wine_start() {
    # Any server left on this prefix may not be persistent, or may hold someone's pipe.
    wineserver -k </dev/null >/dev/null 2>&1 || true
    sleep 1
    timeout 300 wineboot --init </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    wineserver -p </dev/null >/dev/null 2>&1
    # Starts Wine's own services on /dev/null under the persistent server.
    timeout 120 wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# wine_run seconds log-file program [args...]: runs a Windows program with its output in a file,
# bounded in time; the exit status is the program's (124 on time-out).
wine_run() {
    local seconds=$1 log=$2
    shift 2
    timeout "$seconds" wine "$@" </dev/null >"$log" 2>&1
}

wine_stop() {
    wineserver -k </dev/null >/dev/null 2>&1 || true
}
