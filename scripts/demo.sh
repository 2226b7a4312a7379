#!/usr/bin/env bash
# The main job: records a generated video with motion gating, segments and the timestamp
# overlay (scripts/demo.py) and prints where the files went.
#
# Usage: scripts/demo.sh [demo.py args...]
# Creates .venv/np2 when missing, rebuilds and reinstalls the package from the current tree,
# then runs the demo against the installed package.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

run_locked exclusive prepare np2 || exit 1
run_locked shared run_in np2 "$repo/scripts/demo.py" "$@"
