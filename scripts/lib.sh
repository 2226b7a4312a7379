# Shared by scripts/test.sh and scripts/demo.sh (sourced, not run).
#
# Environments live under <repo>/.venv/<name>; each is created once and reused. Its dependencies
# are installed again only when its requirement list changes (a stamp file records the list). The
# package itself is rebuilt from the current tree on every run (incrementally, one CMake build
# directory per Python version and build kind under <repo>/build/) and reinstalled.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# ---- the environment matrix ----------------------------------------------------------------------
# One line per environment, the only place where the matrix is written down.
#   name    the directory under .venv/, and the name of its test pass
#   python  major.minor
#   numpy   the NumPy requirement
#   opencv  the OpenCV distribution (the GUI build only where a real window is wanted)
#   package how the package gets in: wheel (built from the tree for this Python, shared by every
#           environment of that Python), sanitize (the same with QUARRIN_SANITIZE=ON, address and
#           undefined-behaviour sanitizers) or sdist (python -m build makes an sdist and a wheel
#           from it, which is installed: proves the release artefacts)
#   extras  requirement groups below; `test` makes the environment a test pass
MATRIX='
np2     3.10  numpy>=2       opencv-python-headless  wheel     test,build,typing
np1     3.10  numpy==1.26.*  opencv-python-headless  wheel     test
py311   3.11  numpy>=2       opencv-python-headless  sdist     test,release
py312   3.12  numpy>=2       opencv-python-headless  wheel     test,build
py313   3.13  numpy>=2       opencv-python-headless  wheel     test,build
asan    3.10  numpy>=2       opencv-python-headless  sanitize  test,build
gui     3.10  numpy>=2       opencv-python           wheel     window
'
# The real-window test runs in this pass, with the `window` environment's Python.
GUI_PASS=np2

# Existing tests that pin the behaviour of the Python version the suite was first written for. From
# the version given on, they are deselected with one line; tests/test_versions.py checks the same
# behaviour on every version.
#   since  node id prefix                                          why
VERSION_PINNED='
3.11   tests/test_import.py::test_version_warning              expects a module built for 3.10
3.12   tests/test_import.py::test_second_interpreter_rejected  3.12+ refuses the subinterpreter itself
3.13   tests/test_import.py::test_signature_and_help           3.13 pydoc wraps long signatures
'

# Requirement groups named in the extras column.
req_test=("matplotlib" "pytest" "hypothesis" "tqdm" "dask[distributed]")
req_build=("scikit-build-core>=0.8" "cmake>=3.19" "ninja")
req_typing=("mypy")
req_release=("build")
req_window=("matplotlib")

declare -A env_python env_numpy env_opencv env_package env_extras
ENVS=()
while read -r _name _py _np _cv _pkg _extras; do
    [ -n "$_name" ] || continue
    ENVS+=("$_name")
    env_python[$_name]=$_py env_numpy[$_name]=$_np env_opencv[$_name]=$_cv
    env_package[$_name]=$_pkg env_extras[$_name]=$_extras
done <<< "$MATRIX"
unset _name _py _np _cv _pkg _extras

has_extra() { [[ ",${env_extras[$1]}," == *",$2,"* ]]; }

# Every environment that is a test pass, in matrix order.
all_passes() {
    local e
    for e in "${ENVS[@]}"; do has_extra "$e" test && printf '%s\n' "$e"; done
}

# The environment's requirements, one per line.
requirements_of() {
    local name=$1 group
    printf '%s\n' "${env_numpy[$name]}" "${env_opencv[$name]}"
    IFS=, read -ra groups <<< "${env_extras[$name]}"
    for group in "${groups[@]}"; do
        local -n reqs="req_$group"
        printf '%s\n' "${reqs[@]}"
        unset -n reqs
    done
}

log() { printf '[%s] %s\n' "${QUARRIN_LOG_NAME:-$(basename "$0")}" "$*" >&2; }
die() { log "error: $*"; exit 1; }

# ---- locking ------------------------------------------------------------------------------------------
# Concurrent runs in one work tree are serialised: preparation (environments, build, install) takes
# the lock exclusively, test passes share it, so no run reinstalls the package under another's
# tests. The lock is held by flock(1) itself, which closes its descriptor before it starts the
# command (-o): nothing the command starts, even a process left running, can hold the lock on.
#
# run_locked exclusive|shared FUNCTION ARGS... : runs a function of this file in a new bash.
run_locked() {
    local mode=$1; shift
    mkdir -p "$repo/build"
    if command -v flock >/dev/null 2>&1; then
        QUARRIN_LOG_NAME=$(basename "$0") flock -o "--$mode" -w 1200 -E 75 "$repo/build/.lock" \
            bash -c 'source "$0"; "$@"' "$repo/scripts/lib.sh" "$@"
        local rc=$?
        [ "$rc" = 75 ] && log "error: another run held $repo/build/.lock for 20 minutes"
        return "$rc"
    fi
    log "warning: flock is missing; concurrent runs in this tree are not serialised"
    QUARRIN_LOG_NAME=$(basename "$0") bash -c 'source "$0"; "$@"' "$repo/scripts/lib.sh" "$@"
}

# ---- interpreters ----------------------------------------------------------------------------------

# find_python X.Y : prints the path of a working Python X.Y, or fails (quietly).
# Order: $QUARRIN_PYTHON (3.10 only), pythonX.Y on PATH (a pyenv shim only counts if it actually
# runs), pyenv's installed X.Y.z versions (newest first), system locations, and for 3.10 as a last
# resort `pyenv install -s 3.10`.
find_python() {
    local want=$1 c root=""
    works() {
        "$1" -c "import sys, venv; sys.exit(sys.version_info[:2] != tuple(map(int, '$want'.split('.'))))" \
            >/dev/null 2>&1
    }
    local candidates=()
    [ "$want" = 3.10 ] && [ -n "${QUARRIN_PYTHON:-}" ] && candidates+=("$QUARRIN_PYTHON")
    candidates+=("python$want")
    if command -v pyenv >/dev/null 2>&1; then root=$(pyenv root 2>/dev/null || true); fi
    [ -z "$root" ] && [ -d "${PYENV_ROOT:-$HOME/.pyenv}" ] && root=${PYENV_ROOT:-$HOME/.pyenv}
    if [ -n "$root" ]; then
        while IFS= read -r c; do candidates+=("$c"); done \
            < <(ls -d "$root/versions/$want".*/bin/"python$want" 2>/dev/null | sort -rV)
    fi
    candidates+=("/usr/local/bin/python$want" "/usr/bin/python$want")
    for c in "${candidates[@]}"; do
        if works "$c"; then "$c" -c 'import sys; print(sys.executable)'; return 0; fi
    done
    if [ "$want" = 3.10 ] && command -v pyenv >/dev/null 2>&1; then
        log "no working Python 3.10 found; trying: pyenv install -s 3.10"
        if pyenv install -s 3.10 >&2; then
            for c in $(ls -d "$(pyenv root)"/versions/3.10.*/bin/python3.10 2>/dev/null | sort -rV); do
                if works "$c"; then "$c" -c 'import sys; print(sys.executable)'; return 0; fi
            done
        fi
    fi
    return 1
}

# available_passes NAME... : prints the names whose Python exists here. Every other pass is
# skipped with one line; Python 3.10 is required.
available_passes() {
    local name
    for name in "$@"; do
        [ -n "${env_python[$name]:-}" ] || die "unknown pass '$name' (passes: $(all_passes | tr '\n' ' '))"
        if venv_ok "$name" || find_python "${env_python[$name]}" >/dev/null; then
            printf '%s\n' "$name"
        elif [ "${env_python[$name]}" = 3.10 ]; then
            die "Python 3.10 not found. Install it (for example 'pyenv install 3.10') or set QUARRIN_PYTHON=/path/to/python3.10."
        else
            log "SKIP pass $name: Python ${env_python[$name]} is not installed on this machine"
        fi
    done
}

# ---- environments ------------------------------------------------------------------------------------

venv_ok() {
    "$repo/.venv/$1/bin/python" -c \
        "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '${env_python[$1]}'.split('.'))))" \
        >/dev/null 2>&1
}

# pip, without the noise of the machine's unused local index entries.
pip_quiet() {
    local py=$1; shift
    "$py" -m pip "$@" 2> >(grep -v "is ignored: it is neither a file nor a directory" >&2)
}

# ensure_venv NAME : creates .venv/NAME when missing or broken and installs its requirements when
# they differ from what was installed last time. Logs to stderr.
ensure_venv() {
    local name=$1
    local venv="$repo/.venv/$name" stamp="$repo/.venv/$name/.quarrin-reqs"
    local want reqs=()
    want=$(requirements_of "$name")
    mapfile -t reqs <<< "$want"
    if ! venv_ok "$name"; then
        local py
        py=$(find_python "${env_python[$name]}") || die "Python ${env_python[$name]} not found"
        log "creating $venv with $py"
        rm -rf "$venv"
        "$py" -m venv "$venv" || die "could not create $venv"
        rm -f "$stamp"
    fi
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
        log "installing into .venv/$name: ${reqs[*]}"
        # One command, so that the resolver picks an OpenCV build that supports the NumPy line.
        pip_quiet "$venv/bin/python" install -q "${reqs[@]}" || die "pip install failed in .venv/$name"
        printf '%s\n' "$want" > "$stamp"
    fi
}

# ---- building and installing the package --------------------------------------------------------------

# The environment that builds the wheels of NAME's kind: the first with the same Python and package
# kind that has the build tools.
builder_of() {
    local e
    for e in "${ENVS[@]}"; do
        if [ "${env_python[$e]}" = "${env_python[$1]}" ] && [ "${env_package[$e]}" = "${env_package[$1]}" ] \
            && has_extra "$e" build; then
            printf '%s\n' "$e"; return 0
        fi
    done
    return 1
}

# build_package NAME : builds what NAME installs (see the package column) and prints the path of
# the wheel. Builds happen in build/<kind>-cpXY/; the wheel lands in build/dist/<kind>-cpXY/.
build_package() {
    local name=$1 kind=${env_package[$1]}
    local tag="cp${env_python[$1]/./}"
    local out="$repo/build/dist/$kind-$tag"
    rm -rf "$out"
    mkdir -p "$out"
    case "$kind" in
        wheel|sanitize)
            local builder settings=(--config-settings=build-dir="build/$kind-$tag")
            builder=$(builder_of "$name") || die "no environment with build tools for $kind on ${env_python[$name]}"
            if [ "$kind" = sanitize ]; then
                settings+=(--config-settings=cmake.define.QUARRIN_SANITIZE=ON
                           --config-settings=cmake.build-type=RelWithDebInfo
                           --config-settings=install.strip=false)
            fi
            log "building the ${kind/wheel/plain} wheel for Python ${env_python[$name]} (.venv/$builder)"
            (cd "$repo" && pip_quiet "$repo/.venv/$builder/bin/python" wheel -q --no-deps \
                --no-build-isolation "${settings[@]}" -w "$out" .) >&2 || die "build failed"
            ;;
        sdist)
            # The release path: an sdist, then a wheel built from the unpacked sdist in an isolated
            # build environment, as an installer from the index would do it.
            log "building the sdist and a wheel from it (python -m build, .venv/$name)"
            (cd "$repo" && "$repo/.venv/$name/bin/python" -m build -o "$out" . \
                > "$out/../build-$name.log" 2>&1) || { tail -n 40 "$out/../build-$name.log" >&2; die "python -m build failed"; }
            local sdist
            sdist=$(ls "$out"/quarrin-*.tar.gz 2>/dev/null)
            [ -n "$sdist" ] || die "python -m build produced no sdist"
            log "sdist: $(basename "$sdist") ($(tar tzf "$sdist" | wc -l) files)"
            ;;
        *) die "unknown package kind '$kind' for $name" ;;
    esac
    local whl
    whl=$(ls "$out"/quarrin-*.whl 2>/dev/null | head -n 1)
    [ -n "$whl" ] || die "the build produced no wheel in $out"
    printf '%s\n' "$whl"
}

# install_package NAME WHEEL : (re)installs the package into .venv/NAME. A release build goes in
# with its declared dependencies; the others without touching the dependencies.
install_package() {
    local py="$repo/.venv/$1/bin/python"
    if [ "${env_package[$1]}" = sdist ]; then
        pip_quiet "$py" uninstall -q -y quarrin >/dev/null 2>&1
        pip_quiet "$py" install -q "$2" || die "installing $2 into .venv/$1 failed"
    else
        pip_quiet "$py" install -q --no-deps --force-reinstall "$2" || die "installing $2 into .venv/$1 failed"
    fi
}

# prepare NAME... : creates the named environments, builds each package kind once and installs it
# everywhere it goes. Run under the exclusive lock.
prepare() {
    local names=("$@") e
    for e in "${names[@]}"; do
        local t0=$SECONDS
        ensure_venv "$e"
        [ $((SECONDS - t0)) -gt 2 ] && log "time: environment $e ready in $((SECONDS - t0)) s"
    done
    declare -A built=()
    for e in "${names[@]}"; do
        local key="${env_package[$e]}-${env_python[$e]}"
        if [ -z "${built[$key]:-}" ]; then
            local t0=$SECONDS
            if ! built[$key]=$(build_package "$e"); then exit 1; fi
            log "time: $key built in $((SECONDS - t0)) s"
        fi
        install_package "$e" "${built[$key]}"
    done
}

# with_window_env NAME... : the names, plus the environment with OpenCV's GUI build when $GUI_PASS
# is among them.
with_window_env() {
    local e
    printf '%s\n' "$@"
    if printf '%s\n' "$@" | grep -qx "$GUI_PASS"; then
        for e in "${ENVS[@]}"; do has_extra "$e" window && printf '%s\n' "$e"; done
    fi
}

# ---- running -----------------------------------------------------------------------------------------

# The environment for a run of the sanitizer build: the runtime libraries first in the process (the
# interpreter itself is not instrumented), Python's allocator replaced by malloc so that ASan sees
# every object, leaks not reported (the interpreter keeps much alive at exit on purpose), and the
# first report ends the process (UBSan's too: the build also makes it fatal). A test that starts
# a child with an LD_PRELOAD of its own must add to this one (the tests do); verify_asan_link_order=0
# keeps a child that got it wrong from aborting at start-up before its test can say so.
sanitizer_env() {
    local asan stdcxx
    asan=$(realpath "$(gcc -print-file-name=libasan.so)") || return 1
    stdcxx=$(realpath "$(g++ -print-file-name=libstdc++.so)") || return 1
    printf '%s\n' \
        "LD_PRELOAD=$asan $stdcxx${LD_PRELOAD:+ $LD_PRELOAD}" \
        "ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=0:verify_asan_link_order=0" \
        "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1" \
        "PYTHONMALLOC=malloc"
}

# run_in NAME ARGS... : runs .venv/NAME's Python from the repository root, against the installed
# package only.
run_in() {
    local name=$1; shift
    unset PYTHONPATH
    cd "$repo" || return 1
    "$repo/.venv/$name/bin/python" "$@"
}

# run_pass NAME PYTEST_ARGS... : runs the suite in .venv/NAME against the installed package.
run_pass() {
    local name=$1; shift
    local py="$repo/.venv/$name/bin/python" extra_env=()
    # Tests must see the installed package only: no work-tree paths, and pytest's own executable
    # (not `python -m pytest`, which would put the current directory first on sys.path).
    unset PYTHONPATH
    cd "$repo" || return 1
    log "=== $name: $("$py" -c 'import sys, numpy, cv2; print("Python %d.%d.%d, NumPy %s, OpenCV %s" % (sys.version_info[:3] + (numpy.__version__, cv2.__version__)))')"
    local since node why
    while read -r since node why; do
        [ -n "$since" ] || continue
        if [ "$(printf '%s\n' "$since" "${env_python[$name]}" | sort -V | head -n 1)" = "$since" ]; then
            log "$name: deselected $node ($why)"
            set -- "$@" --deselect "$node"
        fi
    done <<< "$VERSION_PINNED"
    if [ "$name" = "$GUI_PASS" ]; then
        local e
        for e in "${ENVS[@]}"; do
            has_extra "$e" window && extra_env+=(QUARRIN_GUI_PYTHON="$repo/.venv/$e/bin/python")
        done
    fi
    if [ "${env_package[$name]}" = sanitize ]; then
        local lines
        lines=$(sanitizer_env) || { log "$name: no libasan/libstdc++ from gcc"; return 1; }
        mapfile -t -O "${#extra_env[@]}" extra_env <<< "$lines"
        local report="$repo/build/sanitizer-$name.log"
        env "${extra_env[@]}" "$repo/.venv/$name/bin/pytest" "$@" 2>&1 | tee "$report"
        local rc=${PIPESTATUS[0]}
        if grep -qE "ERROR: AddressSanitizer|runtime error:|SUMMARY: (Address|UndefinedBehavior)Sanitizer" "$report"; then
            log "$name: sanitizer reports found (see $report):"
            grep -E "ERROR: AddressSanitizer|runtime error:|SUMMARY: " "$report" | sort | uniq -c | head -n 20 >&2
            return 1
        fi
        return "$rc"
    fi
    env "${extra_env[@]}" "$repo/.venv/$name/bin/pytest" "$@"
}

# run_passes N NAME1..NAMEN PYTEST_ARGS... : every pass in turn; prints the time of each and exits
# non-zero when one fails (an empty selection by explicit pytest arguments is not a failure).
run_passes() {
    local count=$1; shift
    local names=("${@:1:$count}"); shift "$count"
    local status=0 name summary=()
    for name in "${names[@]}"; do
        local t0=$SECONDS rc result
        (run_pass "$name" "$@")
        rc=$?
        if [ "$rc" = 0 ]; then result=ok
        elif [ "$rc" = 5 ] && [ "$#" -gt 0 ]; then result="no test selected"
        else result="FAILED (exit $rc)"; status=1
        fi
        summary+=("$(printf '%-6s %4d s  %s' "$name" $((SECONDS - t0)) "$result")")
    done
    log "passes:"
    printf '    %s\n' "${summary[@]}" >&2
    if [ "$status" = 0 ]; then log "all passes succeeded"; else log "FAILED"; fi
    return "$status"
}
