#!/usr/bin/env bash
# Runs the whole test suite once per test environment of the matrix in scripts/lib.sh, each time
# against the package installed in that environment: Python 3.10 with NumPy 2 and with NumPy 1.26,
# Python 3.11 (installed from the sdist), 3.12 and 3.13, and the sanitizer build. The real-window
# test runs under Xvfb in the first pass, with OpenCV's GUI build from .venv/gui.
#
# Usage: scripts/test.sh [pytest args...]          e.g. scripts/test.sh -k motion -x
#        QUARRIN_PASSES="np2 asan" scripts/test.sh  runs only the named passes
# Creates what is missing, rebuilds the package from the current tree, and exits non-zero when a
# pass fails. A pass whose Python this machine lacks is skipped with one line. System packages
# (Xvfb, xdotool, the GUI build's libraries) come from scripts/setup-system.sh.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

if [ -n "${QUARRIN_PASSES:-}" ]; then
    read -ra requested <<< "${QUARRIN_PASSES//,/ }"
else
    mapfile -t requested < <(all_passes)
fi
found=$(available_passes "${requested[@]}") || exit 1
mapfile -t passes <<< "$found"
[ -n "${passes[0]}" ] || die "no pass can run here"

t0=$SECONDS
mapfile -t envs < <(with_window_env "${passes[@]}")
run_locked exclusive prepare "${envs[@]}" || exit 1
log "time: preparation took $((SECONDS - t0)) s"
run_locked shared run_passes "${#passes[@]}" "${passes[@]}" "$@"
