#!/usr/bin/env bash
# Runs programs of the Windows build under wine: headless, in a prefix of the
# checkout's own (.cache/wine), with exit statuses that can be trusted.
#
# Sourced (tools/test.sh does this):
#   . tools/wine_env.sh
#   wine_start                      # creates the prefix once, starts the server
#   trap wine_stop EXIT             # the server runs until it is stopped
#   wine_install_system_dll FILE... # copies DLLs into the prefix's system32
#   wine_run PROGRAM [ARGS...]      # exit status: the program's
#   wine_env [NAME=VALUE...] COMMAND [ARGS...]
#                                   # a command that runs $wine64 itself (pytest)
# Run as a command (e.g. from a test), with the same meaning:
#   tools/wine_env.sh start | stop | install-system-dll FILE... | run PROGRAM [ARGS...]
# `run` starts the server if none is running and leaves it running.
#
# Why it is done this way (wine 8):
# - The server, and the service processes that the first program of a session
#   starts, keep whatever standard output and error they were started with.
#   Started inside a pipe that something reads ($(...), | tee, a test runner),
#   they keep the reader waiting until they exit: seconds after every program,
#   or forever for a persistent server. So the server is started persistently,
#   and its services warmed up, with every stream on /dev/null, before any
#   program runs.
# - Without winedbg.exe disabled, a crashing program sometimes exits 0.
#   Otherwise the status is the program's own: 0 passed, 1 a test failed,
#   3 abort(), 5 an access violation, 53 a DLL that could not be found (wine
#   prints nothing then).
# - Gecko and Mono are not wanted and would be offered for download, and
#   winemenubuilder would write desktop menus into the home folder; all off.
# - The prefix takes its code page from the locale it is created in, so the
#   locale is fixed.

wine_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# One prefix per checkout: a prefix has one server, which `wine_stop` ends,
# and another checkout's test run must not lose its server to ours.
wine_prefix=$wine_top/.cache/wine
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
wine_environment=(
    WINEPREFIX="$wine_prefix"
    WINEDEBUG=-all
    WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe,winemenubuilder.exe=d"
    LANG=C.UTF-8
    LC_ALL=C.UTF-8
)

# Runs a command in wine's environment, without a display. The caller's own
# environment is left as it was.
wine_env() {
    env -u DISPLAY -u WAYLAND_DISPLAY "${wine_environment[@]}" "$@"
}

# Creates the prefix if it is not complete yet, then starts the server (if it
# is not running) and warms up its services, all away from any pipe.
wine_start() {
    local ready=$wine_prefix/.driftmoor-prefix-ready
    if [ ! -f "$ready" ]; then
        printf 'wine: creating the prefix %s (once)\n' "$wine_prefix" >&2
        rm -rf "$wine_prefix"
        mkdir -p "$wine_prefix"
        wine_env "$wine64" wineboot.exe --init </dev/null >/dev/null 2>&1 || {
            echo "wine: wineboot failed to create the prefix" >&2
            return 1
        }
        # The registry reaches the disk when the server that wineboot started
        # exits, so the prefix is complete only then.
        wine_env "$wineserver" --wait </dev/null >/dev/null 2>&1
        touch "$ready"
    fi
    # Status 2: a server already runs for this prefix; that one is used.
    wine_env "$wineserver" --persistent </dev/null >/dev/null 2>&1 || true
    wine_env "$wine64" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || {
        echo "wine: the server does not run programs" >&2
        return 1
    }
}

# Stops the server and every program of the prefix; harmless when none runs.
wine_stop() {
    wine_env "$wineserver" --kill </dev/null >/dev/null 2>&1 || true
}

# Copies DLLs into the prefix's system32, where programs find system DLLs.
wine_install_system_dll() {
    cp -f "$@" "$wine_prefix/drive_c/windows/system32/"
}

# Runs a Windows program (a Unix path is fine) with standard input from
# /dev/null; its status is the program's exit status.
wine_run() {
    wine_env "$wine64" "$@" </dev/null
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    command=${1:-}
    shift || true
    case $command in
        start) wine_start ;;
        stop) wine_stop ;;
        install-system-dll) wine_install_system_dll "$@" ;;
        run)
            wine_start
            wine_run "$@"
            ;;
        *)
            echo "usage: $0 start | stop | install-system-dll FILE... | run PROGRAM [ARGS...]" >&2
            exit 2
            ;;
    esac
fi
