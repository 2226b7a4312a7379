#!/usr/bin/env bash
# The demo: records generated clips with motion gating, segments and the timestamp overlay, then
# a batch on a folder with a report and a plot (scripts/demo.py, whose arguments this passes on),
# against the package installed in .venv/demo (the nox session demo).
#
# Usage: scripts/demo.sh [demo.py args...]
# Sets up what is missing first (scripts/setup-system.sh --demo) and rebuilds the package from the
# current tree.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

"$repo/scripts/setup-system.sh" --demo || exit 1
mkdir -p "$repo/build"
flock -o "$repo/build/.lock" "$repo/.venv/nox/bin/nox" -f "$repo/noxfile.py" --session demo -- "$@"
