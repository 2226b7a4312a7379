#!/usr/bin/env bash
# The main job: records a generated video with motion gating, segments and the timestamp
# overlay (scripts/demo.py) and prints where the files went.
#
# Usage: scripts/demo.sh [demo.py args...]
# Creates .venv/np2 when missing, rebuilds and reinstalls the package from the current tree,
# then runs the demo against the installed package.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

lock_exclusive
ensure_venv np2 "${reqs_np2[@]}"
wheel=$(build_wheel) || exit 1
install_wheel np2 "$wheel"

lock_shared
unset PYTHONPATH
cd "$repo" || exit 1
"$repo/.venv/np2/bin/python" "$repo/scripts/demo.py" "$@" 9>&-
