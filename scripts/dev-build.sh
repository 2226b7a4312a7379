#!/usr/bin/env bash
# Developer build: compiles the extension in place (quarrin/snapwell*.so) so that
# PYTHONPATH=<repo> python ... imports it straight from the work tree.
# Usage: scripts/dev-build.sh [python] [build-dir]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
py=$(realpath -s "${1:-$repo/.venv/np2/bin/python}")
build=${2:-"$repo/build/dev"}
cmake -S "$repo" -B "$build" -G Ninja -DPython_EXECUTABLE="$py" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" >&2
so=$(ls "$build"/snapwell*.so)
cp "$so" "$repo/quarrin/.tmp.$$.so" && mv -f "$repo/quarrin/.tmp.$$.so" "$repo/quarrin/$(basename "$so")"
echo "$repo/quarrin/$(basename "$so")"
