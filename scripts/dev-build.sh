#!/usr/bin/env bash
# Developer build: compiles the extension in place (quarrin/snapwell*.so) so that
# PYTHONPATH=<repo> python ... imports it straight from the work tree.
#
# Usage: scripts/dev-build.sh [--debug] [--sanitize] [python] [build-dir]
#   --debug     no optimisation, full debug information (CMake build type Debug)
#   --sanitize  address and undefined-behaviour sanitizers (-fsanitize=address,undefined); the
#               interpreter must then start with libasan preloaded: the script prints the settings
# The build directory defaults to build/dev, build/dev-debug, build/dev-sanitize or
# build/dev-debug-sanitize, so the variants do not rebuild one another.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

build_type=Release sanitize=OFF suffix=""
while [ $# -gt 0 ]; do
    case "$1" in
        --debug) build_type=Debug; suffix+="-debug"; shift ;;
        --sanitize) sanitize=ON; suffix+="-sanitize"; shift ;;
        -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
        --) shift; break ;;
        -*) die "unknown option $1 (see --help)" ;;
        *) break ;;
    esac
done
# Sanitized builds keep optimisation for speed, with debug information for readable reports.
[ "$sanitize" = ON ] && [ "$build_type" = Release ] && build_type=RelWithDebInfo
py=$(realpath -s "${1:-$repo/.venv/np2/bin/python}")
build=${2:-"$repo/build/dev$suffix"}
cmake -S "$repo" -B "$build" -G Ninja -DPython_EXECUTABLE="$py" -DCMAKE_BUILD_TYPE="$build_type" \
    -DQUARRIN_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" >&2
so=$(ls "$build"/snapwell*.so)
cp "$so" "$repo/quarrin/.tmp.$$.so" && mv -f "$repo/quarrin/.tmp.$$.so" "$repo/quarrin/$(basename "$so")"
if [ "$sanitize" = ON ]; then
    log "sanitizer build: run Python with these settings, for example"
    log "  env $(sanitizer_env | sed 's/^\(LD_PRELOAD=\)\(.*\)$/\1"\2"/' | tr '\n' ' ')PYTHONPATH=$repo .venv/np2/bin/pytest tests"
fi
echo "$repo/quarrin/$(basename "$so")"
