#!/usr/bin/env bash
# Runs a Windows test program under Wine with the suite's own throw-away
# prefix, X display and Polish ANSI code page. Also the suite's set-up and
# clean-up, and the mapping of COM ports to pseudo-terminals.
# KESTRUN_WINE_LOCALE=en_US.UTF-8 runs one program under the Western ANSI
# code page (1252) instead.
#   wine-run.sh PROGRAM [ARGS...]      run PROGRAM under Wine
#   wine-run.sh --setup | --cleanup    create prefix + Xvfb / stop them
#   wine-run.sh --map-com N DEVICE     make COMn open DEVICE (a pty slave)
#   wine-run.sh --prefix               print the prefix path
#   wine-run.sh --check                one line and status 1 when a tool is missing
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dir=${KESTRUN_WINE_DIR:-$root/build/windows/wine}
mkdir -p "$dir"
export WINEPREFIX="$dir/prefix"
export WINEDEBUG=-all
# winemenubuilder off: installed shortcuts must not reach the desktop of the
# user running the tests.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LOCPATH="$dir/locale"
unset LANGUAGE
locale=${KESTRUN_WINE_LOCALE:-pl_PL.UTF-8}

# Every tool the runner calls; without one no Windows test can start.
check_tools() {
    local missing="" t
    for t in wine wineboot wineserver Xvfb localedef flock; do
        command -v "$t" >/dev/null 2>&1 || missing="$missing $t"
    done
    [ -z "$missing" ] && return 0
    echo "wine-run: missing$missing: run scripts/install-deps.sh check" >&2
    return 1
}

make_locale() {
    local name
    mkdir -p "$LOCPATH"
    for name in pl_PL en_US; do
        [ -d "$LOCPATH/$name.UTF-8" ] || localedef -i "$name" -f UTF-8 "$LOCPATH/$name.UTF-8" >/dev/null 2>&1 || true
    done
}

make_prefix() {
    [ -f "$WINEPREFIX/.kestrun-ready" ] && return 0
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    # A virtual desktop: without a window manager every hide stalls ~2 s.
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.kestrun-ready"
}

start_xvfb() {
    if [ -f "$dir/display" ] && kill -0 "$(cat "$dir/xvfb.pid" 2>/dev/null)" 2>/dev/null; then
        return 0
    fi
    for n in $(seq 91 120); do
        [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null 9>&- &
        echo $! > "$dir/xvfb.pid"
        for _ in $(seq 1 50); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            sleep 0.1
        done
        if kill -0 "$(cat "$dir/xvfb.pid")" 2>/dev/null; then
            echo ":$n" > "$dir/display"
            return 0
        fi
    done
    echo "wine-run: no free X display" >&2
    return 1
}

case "${1:-}" in
--check)
    check_tools
    exit
    ;;
--setup)
    check_tools || exit 1
    exec 9>"$dir/setup.lock"
    flock 9
    make_locale
    start_xvfb || exit 1
    export DISPLAY=$(cat "$dir/display")
    make_prefix
    # The lock must not pass to the long-lived Wine processes started below,
    # or the next --setup would wait for them for ever.
    flock -u 9
    exec 9>&-
    # Kept running for the whole suite, so each program starts quickly.
    wineserver -p >/dev/null 2>&1 </dev/null
    # Start Wine's background services now, detached from any test's output:
    # started by a test program they would hold its pipes open after it ends.
    wine cmd /c exit >/dev/null 2>&1 </dev/null
    exit 0
    ;;
--cleanup)
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    if [ -f "$dir/xvfb.pid" ]; then
        kill "$(cat "$dir/xvfb.pid")" 2>/dev/null
        rm -f "$dir/xvfb.pid" "$dir/display"
    fi
    exit 0
    ;;
--prefix)
    echo "$WINEPREFIX"
    exit 0
    ;;
--map-com)
    n=$2; dev=$3
    [ -n "${DISPLAY:-}" ] || export DISPLAY=$(cat "$dir/display" 2>/dev/null || echo :0)
    ln -sfn "$dev" "$WINEPREFIX/dosdevices/com$n"
    export LC_ALL=pl_PL.UTF-8
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$dev" /f >/dev/null 2>&1
    ln -sfn "$dev" "$WINEPREFIX/dosdevices/com$n"
    exit 0
    ;;
esac

if [ ! -f "$WINEPREFIX/.kestrun-ready" ] || [ ! -f "$dir/display" ]; then
    "$0" --setup || exit 1
fi
export DISPLAY=$(cat "$dir/display")
[ -d "$LOCPATH/$locale" ] || make_locale
export LC_ALL=$locale
exec wine "$@"
