#!/usr/bin/env bash
# Developer build: compiles the extension in place (src/quarrin/snapwell*.so), so that
# PYTHONPATH=src .venv/np2/bin/pytest ... runs the tests against the work tree.
#
# Usage: scripts/dev-build.sh [--debug] [--sanitize] [python] [build-dir]
#   --debug     no optimisation, full debug information (CMake build type Debug)
#   --sanitize  address and undefined-behaviour sanitizers (-fsanitize=address,undefined); the
#               interpreter must then start with libasan preloaded: the script prints the settings
# The Python defaults to .venv/np2's (made by scripts/test.sh). The build directory defaults to
# build/dev, build/dev-debug, build/dev-sanitize or build/dev-debug-sanitize, so the variants do not
# rebuild one another. CMake and Ninja come from PATH, or from .venv/build-cp310 when it has them.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
log() { printf '[%s] %s\n' "$(basename "$0")" "$*" >&2; }

build_type=Release sanitize=OFF suffix=""
while [ $# -gt 0 ]; do
    case "$1" in
        --debug) build_type=Debug; suffix+="-debug"; shift ;;
        --sanitize) sanitize=ON; suffix+="-sanitize"; shift ;;
        -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
        --) shift; break ;;
        -*) log "error: unknown option $1 (see --help)"; exit 1 ;;
        *) break ;;
    esac
done
# Sanitized builds keep optimisation for speed, with debug information for readable reports.
[ "$sanitize" = ON ] && [ "$build_type" = Release ] && build_type=RelWithDebInfo
py=$(realpath -s "${1:-$repo/.venv/np2/bin/python}")
[ -x "$py" ] || { log "error: no Python at $py (run scripts/test.sh once, or name one)"; exit 1; }
build=${2:-"$repo/build/dev$suffix"}
export PATH="$PATH:$repo/.venv/build-cp310/bin"
cmake -S "$repo" -B "$build" -G Ninja -DPython_EXECUTABLE="$py" -DCMAKE_BUILD_TYPE="$build_type" \
    -DQUARRIN_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" >&2
so=$(ls "$build"/snapwell*.so)
dest="$repo/src/quarrin"
cp "$so" "$dest/.tmp.$$.so" && mv -f "$dest/.tmp.$$.so" "$dest/$(basename "$so")"
if [ "$sanitize" = ON ]; then
    log "sanitizer build: run Python with these settings, for example"
    log "  env $("$repo/.venv/nox/bin/python" "$repo/noxfile.py" | sed 's/^\([A-Z_]*=\)\(.*\)$/\1"\2"/' | tr '\n' ' ')PYTHONPATH=$repo/src $(dirname "$py")/pytest tests"
fi
echo "$dest/$(basename "$so")"
