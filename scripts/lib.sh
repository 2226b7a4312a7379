# Shared by scripts/test.sh and scripts/demo.sh (sourced, not run).
#
# Environments live under <repo>/.venv/<name>; each is created once and reused. Its dependencies
# are installed again only when the requirement list for it changes (a stamp file records the
# list). The package itself is rebuilt from the current tree on every call of build_wheel
# (incrementally, in <repo>/build/) and reinstalled into each environment that needs it.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Serialises concurrent runs in one work tree: preparation (environments, build, install) takes
# the lock exclusively, test passes share it, so no run reinstalls the package under another's
# tests.
lock_exclusive() {
    mkdir -p "$repo/build"
    exec 9>"$repo/build/.lock"
    if command -v flock >/dev/null 2>&1; then
        flock -w 1200 9 || log "warning: another run holds $repo/build/.lock; going on without it"
    fi
}
# Commands started afterwards should get `9>&-` so that nothing they leave running keeps the lock.
lock_shared() {
    if command -v flock >/dev/null 2>&1; then flock -w 1200 -s 9 || true; fi
}

# Requirements of each environment. np2 also carries the build tools: the wheel is built there,
# once, and the same binary is installed everywhere (built against NumPy 2 headers, it must load
# under NumPy 1.26 as well).
build_reqs=("scikit-build-core>=0.8" "cmake>=3.19" "ninja")
reqs_np2=("numpy>=2" "opencv-python-headless" "matplotlib" "pytest" "${build_reqs[@]}")
# Pinned in one command so that the resolver picks an OpenCV build that still supports 1.26.
reqs_np1=("numpy==1.26.*" "opencv-python-headless" "matplotlib" "pytest")
# OpenCV's GUI build, for the real-window test only.
reqs_gui=("numpy>=2" "opencv-python" "matplotlib")

log() { printf '[%s] %s\n' "$(basename "$0")" "$*" >&2; }
die() { log "error: $*"; exit 1; }

# Prints the path of a working Python 3.10 interpreter.
# Order: $QUARRIN_PYTHON, python3.10 on PATH (a pyenv shim only counts if it actually runs),
# pyenv's installed 3.10.x versions (newest first), system locations, and as a last resort
# `pyenv install -s 3.10`.
find_python310() {
    local c exe
    is310() {
        "$1" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 10))' >/dev/null 2>&1
    }
    resolve() {
        "$1" -c 'import sys; print(sys.executable)' 2>/dev/null
    }
    local candidates=()
    [ -n "${QUARRIN_PYTHON:-}" ] && candidates+=("$QUARRIN_PYTHON")
    candidates+=(python3.10)
    local root=""
    if command -v pyenv >/dev/null 2>&1; then
        root=$(pyenv root 2>/dev/null || true)
    fi
    [ -z "$root" ] && [ -d "${PYENV_ROOT:-$HOME/.pyenv}" ] && root=${PYENV_ROOT:-$HOME/.pyenv}
    if [ -n "$root" ]; then
        while IFS= read -r c; do candidates+=("$c"); done \
            < <(ls -d "$root"/versions/3.10.*/bin/python3.10 2>/dev/null | sort -rV)
    fi
    candidates+=(/usr/local/bin/python3.10 /usr/bin/python3.10)
    for c in "${candidates[@]}"; do
        if is310 "$c"; then resolve "$c"; return 0; fi
    done
    if command -v pyenv >/dev/null 2>&1; then
        log "no working Python 3.10 found; trying: pyenv install -s 3.10"
        if pyenv install -s 3.10 >&2; then
            root=$(pyenv root)
            for c in $(ls -d "$root"/versions/3.10.*/bin/python3.10 2>/dev/null | sort -rV); do
                if is310 "$c"; then resolve "$c"; return 0; fi
            done
        fi
    fi
    die "Python 3.10 not found. Install it (for example 'pyenv install 3.10') or set QUARRIN_PYTHON=/path/to/python3.10."
}

# ensure_venv NAME REQ... : creates .venv/NAME when missing or broken and installs REQ... when
# they differ from what was installed last time. Prints nothing; logs to stderr.
ensure_venv() {
    local name=$1; shift
    local venv="$repo/.venv/$name" stamp="$repo/.venv/$name/.quarrin-reqs"
    local want
    want=$(printf '%s\n' "$@")
    if ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' >/dev/null 2>&1; then
        local py
        py=$(find_python310) || exit 1
        log "creating $venv with $py"
        rm -rf "$venv"
        "$py" -m venv "$venv" || die "could not create $venv"
        rm -f "$stamp"
    fi
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
        log "installing into .venv/$name: $*"
        "$venv/bin/python" -m pip install -q "$@" || die "pip install failed in .venv/$name"
        printf '%s\n' "$want" > "$stamp"
    fi
}

# Builds the wheel of the current tree with .venv/np2 (incremental CMake build under
# build/cp310) and prints its path.
build_wheel() {
    local out="$repo/build/wheel"
    rm -rf "$out"
    mkdir -p "$out"
    log "building the package from $repo"
    (cd "$repo" && "$repo/.venv/np2/bin/python" -m pip wheel -q --no-deps --no-build-isolation \
        --config-settings=build-dir=build/cp310 -w "$out" .) >&2 || die "build failed"
    local whl
    whl=$(ls "$out"/quarrin-*.whl 2>/dev/null | head -n 1)
    [ -n "$whl" ] || die "build produced no wheel"
    printf '%s\n' "$whl"
}

# install_wheel NAME WHEEL : (re)installs the package into .venv/NAME without touching its
# dependencies.
install_wheel() {
    "$repo/.venv/$1/bin/python" -m pip install -q --no-deps --force-reinstall "$2" \
        || die "installing $2 into .venv/$1 failed"
}
