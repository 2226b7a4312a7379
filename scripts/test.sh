#!/usr/bin/env bash
# Runs the whole test suite twice, against the installed package: once with NumPy 2 (.venv/np2)
# and once with NumPy 1.26 (.venv/np1), both on Python 3.10. A third environment (.venv/gui)
# with OpenCV's GUI build serves the real-window test, which runs under Xvfb in the NumPy 2 pass.
#
# Usage: scripts/test.sh [pytest args...]     e.g. scripts/test.sh -k motion -x
# Creates what is missing, rebuilds the package from the current tree, and exits non-zero when
# either pass fails.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

lock_exclusive
ensure_venv np2 "${reqs_np2[@]}"
ensure_venv np1 "${reqs_np1[@]}"
ensure_venv gui "${reqs_gui[@]}"

# The real-window test needs an X server and a way to find and drive the window.
if ! command -v Xvfb >/dev/null 2>&1 || ! command -v xdotool >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        log "installing xvfb and xdotool"
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq xvfb xdotool; } >&2 \
            || log "warning: could not install xvfb/xdotool; the window test will be skipped"
    else
        log "warning: xvfb/xdotool missing and cannot be installed here; the window test will be skipped"
    fi
fi
# OpenCV's GUI build links against system GL and GLib libraries that slim images may lack.
if ! "$repo/.venv/gui/bin/python" -c 'import cv2' >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        log "installing the system libraries OpenCV's GUI build needs"
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgl1 libglib2.0-0; } >&2 || true
    fi
    "$repo/.venv/gui/bin/python" -c 'import cv2' >&2 \
        || log "warning: cv2 does not import in .venv/gui; the window test will be skipped"
fi

wheel=$(build_wheel) || exit 1
for env in np2 np1 gui; do
    install_wheel "$env" "$wheel"
done

# Tests must see the installed package only: no work-tree paths, and pytest's own executable
# (not `python -m pytest`, which would put the current directory first on sys.path).
lock_shared
unset PYTHONPATH
cd "$repo" || exit 1
status=0
for env in np2 np1; do
    py="$repo/.venv/$env/bin/python"
    log "=== $env: $("$py" -c 'import sys, numpy, cv2; print("Python %d.%d.%d, NumPy %s, OpenCV %s" % (sys.version_info[:3] + (numpy.__version__, cv2.__version__)))')"
    gui_env=()
    if [ "$env" = np2 ]; then
        gui_env=(QUARRIN_GUI_PYTHON="$repo/.venv/gui/bin/python")
    fi
    env "${gui_env[@]}" "$repo/.venv/$env/bin/pytest" "$@" 9>&-
    rc=$?
    if [ "$rc" = 5 ] && [ "$#" -gt 0 ]; then
        log "$env: no test selected by: $*"
    elif [ "$rc" != 0 ]; then
        log "$env: pytest exited with $rc"
        status=1
    fi
done
if [ "$status" = 0 ]; then log "all passes succeeded"; else log "FAILED"; fi
exit "$status"
