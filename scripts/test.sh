#!/usr/bin/env bash
# The test suite against the installed package: the primary session of noxfile.py (np2: Python
# 3.10, NumPy 2, the typing checks and the real-window test), or with --all every test session of
# the matrix (NumPy 1.26, Python 3.11 from the sdist, 3.12, 3.13, the sanitizer build), as many at
# once as there are cores. The tests run side by side on pytest-xdist workers, one per core
# (QUARRIN_TEST_WORKERS=N chooses; -n 0 among the arguments runs them in one process). Other
# arguments go to pytest.
#
# Usage: scripts/test.sh [--all] [pytest args...]     e.g. scripts/test.sh -k motion -x
#        .venv/nox/bin/nox -s asan -- -x               any session, directly (nox -l lists them)
# Sets up what is missing first (scripts/setup-system.sh), rebuilds the package from the current
# tree, prints the time of each session and exits non-zero when one fails. A session whose Python
# this machine lacks is skipped with one line.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

sessions=(--session np2)
if [ "${1:-}" = --all ]; then
    sessions=(--parallel auto); shift
    # As many sessions at once as there are cores: each one's tests share the cores with the
    # others' (six sessions; under two cores each, the tests run in pytest's own process).
    workers=$(( $(nproc) / 6 )); [ "$workers" -ge 2 ] || workers=0
    export QUARRIN_TEST_WORKERS=${QUARRIN_TEST_WORKERS:-$workers}
fi
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
