#!/usr/bin/env bash
# The test suite against the installed package: the primary session of noxfile.py (np2: Python
# 3.10, NumPy 2, the typing checks and the real-window test), or with --all every test session of
# the matrix (NumPy 1.26, Python 3.11 from the sdist, 3.12, 3.13, the sanitizer build), as many at
# once as there are cores. Other arguments go to pytest.
#
# Usage: scripts/test.sh [--all] [pytest args...]     e.g. scripts/test.sh -k motion -x
#        .venv/nox/bin/nox -s asan -- -x               any session, directly (nox -l lists them)
# Sets up what is missing first (scripts/setup-system.sh), rebuilds the package from the current
# tree, prints the time of each session and exits non-zero when one fails. A session whose Python
# this machine lacks is skipped with one line.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

sessions=(--session np2)
if [ "${1:-}" = --all ]; then sessions=(--parallel auto); shift; fi
"$repo/scripts/setup-system.sh" || exit 1
mkdir -p "$repo/build"
start=$SECONDS
# One run at a time in a work tree, so that none reinstalls the package under another's tests. The
# lock is held by flock itself (-o: not by what nox starts, even a process left running).
flock -o -n "$repo/build/.lock" true \
    || echo "[test.sh] waiting for another run in this work tree ($repo/build/.lock)" >&2
flock -o "$repo/build/.lock" \
    "$repo/.venv/nox/bin/nox" -f "$repo/noxfile.py" "${sessions[@]}" -- "$@"
rc=$?
echo "[test.sh] $( [ $rc = 0 ] && echo passed || echo "FAILED (exit $rc)" ) in $((SECONDS - start)) s" >&2
exit $rc
