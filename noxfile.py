"""The test matrix and the demo as nox sessions; scripts/test.sh and scripts/demo.sh run them.

    np2     Python 3.10, NumPy 2: the primary pass, with the typing checks and the real-window
            test (OpenCV's GUI build, which cannot share an environment with the headless one,
            goes into a second environment, .venv/gui)
    np1     Python 3.10, NumPy 1.26, the same wheel
    py311   Python 3.11, installed as a release would be: an sdist, then a wheel built from it
    py312   Python 3.12
    py313   Python 3.13
    asan    Python 3.10, the address and undefined-behaviour sanitizer build
    demo    scripts/demo.py (not a test pass)

Every requirement comes from pyproject.toml: the build system's (plus what the build backend asks
for, as an isolated build would add it), the project's dependencies and its extras. Environments
live in .venv/<name> and are kept between runs; their requirements are installed again only when
the list changes. The package is rebuilt from the tree on every run, incrementally (one CMake
build directory per Python version and build kind under build/), and reinstalled. The tests run
with the environment's own pytest from the repository root, against the installed package only.
A session whose Python this machine lacks is skipped. Sessions may run side by side
(nox --parallel): what they share (the build environment of a Python, a build directory) is
taken under a lock.
"""
import contextlib
import ctypes.util
import fcntl
import functools
import os
import re
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import nox
from packaging.requirements import Requirement

REPO = Path(__file__).resolve().parent
PYPROJECT = nox.project.load_toml(REPO / "pyproject.toml")

nox.options.envdir = str(REPO / ".venv")
nox.options.reuse_venv = "yes"
nox.options.download_python = "never"
# What scripts/test.sh --all runs: every test session, the longest first.
nox.options.sessions = ["asan", "np2", "py311", "np1", "py312", "py313"]

# Nothing of the work tree on the tests' path: they must import the installed package.
os.environ.pop("PYTHONPATH", None)

SANITIZER_REPORT = ("ERROR: AddressSanitizer", "runtime error:", "SUMMARY: AddressSanitizer",
                    "SUMMARY: UndefinedBehaviorSanitizer")


# ---- interpreters -------------------------------------------------------------------------------

def find_python(version):
    """Python X.Y: $QUARRIN_PYTHON for 3.10, else pyenv's newest X.Y.z, else pythonX.Y on PATH
    when it runs (a pyenv shim of a version that is not selected does not). None if none."""
    if version == "3.10" and os.environ.get("QUARRIN_PYTHON"):
        return os.environ["QUARRIN_PYTHON"]
    versions = Path(os.environ.get("PYENV_ROOT") or Path.home() / ".pyenv") / "versions"
    releases = [p for p in versions.glob(version + ".*") if re.fullmatch(r"\d+\.\d+\.\d+", p.name)]
    for release in sorted(releases, key=lambda p: [int(n) for n in p.name.split(".")],
                          reverse=True):
        if (release / "bin" / ("python" + version)).is_file():
            return str(release / "bin" / ("python" + version))
    on_path = shutil.which("python" + version)
    if on_path and subprocess.run([on_path, "-c", ""], capture_output=True).returncode == 0:
        return on_path
    return None


def python_session(version):
    """A session with Python `version`; without that Python, one that is skipped with a line."""
    python = find_python(version)

    def define(func):
        @functools.wraps(func)
        def run(session):
            if python is None:
                session.skip(f"Python {version} is not installed on this machine")
            t0 = time.monotonic()
            try:
                func(session)
            finally:
                session.log(f"time: session {func.__name__} {time.monotonic() - t0:.0f} s")
        return nox.session(name=func.__name__, python=python or False, allow_parallel=True)(run)
    return define


# ---- environments -------------------------------------------------------------------------------

# OpenCV's builds on PyPI: each brings the module cv2, so no two may share an environment.
OPENCV_BUILDS = {"opencv-python", "opencv-python-headless", "opencv-contrib-python", "opencv-contrib-python-headless"}


def requirements(*extras, numpy=None, opencv=None):
    """The project's dependencies and the named extras, with NumPy narrowed by `numpy` and
    OpenCV's headless build replaced by `opencv`."""
    project = PYPROJECT["project"]
    reqs = list(project["dependencies"])
    for extra in extras:
        reqs += project["optional-dependencies"][extra]
    if opencv:
        reqs = [opencv if Requirement(r).name in OPENCV_BUILDS else r for r in reqs]
    if numpy:
        reqs.append(numpy)
    return reqs


def install(session, venv, reqs, stamp="requirements"):
    """Installs `reqs` into the environment at `venv` unless it has them from an earlier run (a
    stamp file keeps the list). One pip command, so that the resolver picks an OpenCV build that
    supports the NumPy line."""
    stamp = Path(venv) / (".quarrin-" + stamp)
    wanted = "".join(r + "\n" for r in reqs)
    if stamp.is_file() and stamp.read_text() == wanted:
        return
    drop_other_opencv(session, venv, reqs)
    session.run(str(Path(venv) / "bin" / "python"), "-m", "pip", "install", "-q", *reqs,
                external=True, silent=True)
    stamp.write_text(wanted)


def drop_other_opencv(session, venv, reqs):
    """Uninstalls every OpenCV build from the environment at `venv` when it has one that `reqs` do
    not name (an environment made before they changed): installed over another, a build leaves cv2
    a mixture of both, and uninstalling the other later takes files they share. What `reqs` name
    is then installed afresh."""
    python = str(Path(venv) / "bin" / "python")
    if not Path(python).is_file():
        return
    listed = session.run(python, "-m", "pip", "list", "--format=freeze", external=True, silent=True, log=False)
    have = {line.split("==")[0].strip().lower().replace("_", "-") for line in listed.splitlines()} & OPENCV_BUILDS
    if have - {Requirement(r).name for r in reqs}:
        session.log("OpenCV builds replaced: %s" % ", ".join(sorted(have)))
        session.run(python, "-m", "pip", "uninstall", "-q", "-y", *sorted(have), external=True, silent=True)


def side_env(session, name):
    """.venv/NAME, an environment beside the session's, with the same Python."""
    venv = REPO / ".venv" / name
    python = Path(session.bin) / "python"

    def version(py):
        return subprocess.run([str(py), "-c", "import sys; print(sys.version)"],
                              capture_output=True, text=True).stdout

    if (venv / "bin" / "python").is_file() and version(venv / "bin" / "python") == version(python):
        return venv
    shutil.rmtree(venv, ignore_errors=True)
    session.run(sys.executable, "-m", "virtualenv", "-q", "-p", str(python), str(venv),
                external=True, silent=True)
    return venv


@contextlib.contextmanager
def locked(name):
    """Holds build/.NAME.lock for the duration."""
    path = REPO / "build" / f".{name}.lock"
    path.parent.mkdir(exist_ok=True)
    with open(path, "w") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        yield


# ---- building -----------------------------------------------------------------------------------

_built = {}


def build(session, kind):
    """Builds the package for the session's Python into build/dist/<session> and returns the
    wheel. `kind`: wheel (plain), sanitize (QUARRIN_SANITIZE=ON), or sdist (python -m build: an
    sdist, then a wheel from the unpacked sdist in an isolated build environment, as an installer
    from an index would do it)."""
    tag = session.run("python", "-c", "import sys; print('cp%d%d' % sys.version_info[:2])",
                      silent=True, log=False).strip()
    if (kind, tag) in _built:
        return _built[kind, tag]
    t0 = time.monotonic()
    with locked("venv-build-" + tag):
        builder = side_env(session, "build-" + tag)
        python = str(builder / "bin" / "python")
        build_system = PYPROJECT["build-system"]
        install(session, builder, build_system["requires"] + ["build"])
        # What the backend asks for besides (cmake and ninja, when the machine lacks them).
        asked = session.run(python, "-c", "import %s as b; print(*b.get_requires_for_build_wheel(),"
                            " sep='\\n')" % build_system["build-backend"],
                            external=True, silent=True, log=False)
        backend = [r for r in asked.split("\n") if r.strip()]
        if backend:
            install(session, builder, backend, stamp="backend-requirements")
    out = REPO / "build" / "dist" / session.name
    shutil.rmtree(out, ignore_errors=True)
    if kind == "sdist":
        session.run(python, "-m", "build", "-o", str(out), ".", external=True, silent=True)
        sdist, = out.glob("quarrin-*.tar.gz")
        session.log(f"sdist {sdist.name}")
    else:
        settings = [f"build-dir=build/{kind}-{tag}"]
        if kind == "sanitize":
            settings += ["cmake.define.QUARRIN_SANITIZE=ON", "cmake.build-type=RelWithDebInfo",
                         "install.strip=false"]
        with locked(f"{kind}-{tag}"):
            session.run(python, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation",
                        *("--config-settings=" + s for s in settings), "-w", str(out), ".",
                        external=True)
    wheel, = out.glob("quarrin-*.whl")
    session.log(f"time: {kind} build for {tag} {time.monotonic() - t0:.0f} s")
    _built[kind, tag] = wheel
    return wheel


def prepare(session, kind="wheel", numpy="numpy>=2", extras=("test", "dask", "web", "mqtt")):
    """The session's environment with its requirements, and the package freshly built into it.
    The requirements go in while the package builds."""
    t0 = time.monotonic()
    if kind == "sdist":
        wheel = build(session, kind)
        session.run("python", "-m", "pip", "uninstall", "-q", "-y", "quarrin", silent=True)
        drop_other_opencv(session, session.virtualenv.location, requirements(*extras))
        # With its declared dependencies, as from an index.
        session.install("-q", "%s[%s]" % (wheel, ",".join(extras)))
    else:
        with ThreadPoolExecutor(1) as pool:
            deps = pool.submit(install, session, session.virtualenv.location,
                               requirements(*extras, numpy=numpy))
            wheel = build(session, kind)
            deps.result()
        session.install("-q", "--no-deps", "--force-reinstall", str(wheel))
    session.log(f"time: environment ready in {time.monotonic() - t0:.0f} s")
    session.run("python", "-c", "import sys, numpy, cv2; print('Python %d.%d.%d, NumPy %s, "
                "OpenCV %s' % (sys.version_info[:3] + (numpy.__version__, cv2.__version__)))")
    return wheel


def gui_env(session):
    """.venv/gui, with OpenCV's GUI build and the package's other requirements; None (and the
    real-window test skips) when the machine lacks what that test needs."""
    missing = [p for p in ("Xvfb", "xdotool") if not shutil.which(p)]
    missing += ["lib" + lib for lib in ("GL", "gthread-2.0") if not ctypes.util.find_library(lib)]
    if missing:
        session.log("the real-window test is skipped: no %s (scripts/setup-system.sh)"
                    % ", ".join(missing))
        return None
    venv = side_env(session, "gui")
    install(session, venv, requirements(numpy="numpy>=2", opencv="opencv-python"))
    return venv


# ---- running ------------------------------------------------------------------------------------

def sanitizer_env():
    """The environment for the sanitizer build. The interpreter itself is not instrumented: the
    runtimes go first into the process, Python's allocator is replaced by malloc so that ASan sees
    every object, leaks are not reported (the interpreter keeps much alive at exit on purpose),
    and the first report ends the process (UBSan's too: the build also makes it fatal). A test
    that starts a child with an LD_PRELOAD of its own adds to this one; verify_asan_link_order=0
    keeps a child that got it wrong from aborting at start-up before its test can say so."""
    def library(compiler, name):
        path = subprocess.run([compiler, "-print-file-name=" + name], capture_output=True,
                              text=True, check=True).stdout.strip()
        if not os.path.isabs(path):
            raise RuntimeError(f"{compiler} has no {name}")
        return os.path.realpath(path)
    preload = [library("gcc", "libasan.so"), library("g++", "libstdc++.so")]
    if os.environ.get("LD_PRELOAD"):
        preload.append(os.environ["LD_PRELOAD"])
    return {
        "LD_PRELOAD": " ".join(preload),
        "ASAN_OPTIONS": "detect_leaks=0:halt_on_error=1:abort_on_error=1:"
                        "detect_stack_use_after_return=0:verify_asan_link_order=0",
        "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1",
        "PYTHONMALLOC": "malloc",
    }


def workers():
    """The pytest-xdist workers of a session's tests: $QUARRIN_TEST_WORKERS (scripts/test.sh --all
    sets it to share the cores between the sessions it runs side by side), else one per core. 0
    runs the tests in pytest's own process."""
    wanted = os.environ.get("QUARRIN_TEST_WORKERS", "").strip()
    return int(wanted) if wanted.isdigit() else len(os.sched_getaffinity(0))


def pytest(session, env=None, log=None):
    """The suite, with the environment's own pytest (not `python -m pytest`, which would put the
    working directory first on sys.path) from the repository root, on workers() processes: the
    tests of one xdist_group (those sharing an expensive module fixture) go to one worker. The
    session's pytest arguments come after, so that `-n 0` given there runs them in one process.
    With pytest arguments given, selecting no test is not a failure. With `log`, the output is
    also written there, and any sanitizer report in it fails the session."""
    t0 = time.monotonic()
    ok = (0, 5) if session.posargs else (0,)
    args = ["-n", str(workers()), "--dist", "loadgroup", *session.posargs]
    # Tests marked only_in/not_in (tests/conftest.py) run where they are meant to.
    env = {**(env or {}), "QUARRIN_SESSION": session.name}
    if log is None:
        session.run("pytest", *args, env=env, success_codes=ok)
    else:
        session.log("pytest %s (output also in %s)" % (" ".join(args), log.relative_to(REPO)))
        full_env = {**os.environ, **env, "VIRTUAL_ENV": session.virtualenv.location,
                    "PATH": session.bin + os.pathsep + os.environ["PATH"]}
        log.parent.mkdir(parents=True, exist_ok=True)
        with open(log, "w") as copy, subprocess.Popen(
                [os.path.join(session.bin, "pytest"), *args], cwd=REPO, env=full_env,
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                errors="replace") as proc:
            for line in proc.stdout:
                sys.stdout.write(line)
                copy.write(line)
        reports = sorted({line.strip() for line in log.read_text().splitlines()
                          if any(marker in line for marker in SANITIZER_REPORT)})
        if reports:
            session.error("sanitizer reports (see %s):\n    %s"
                          % (log.relative_to(REPO), "\n    ".join(reports[:20])))
        if proc.returncode not in ok:
            session.error(f"pytest exited with {proc.returncode}")
    session.log(f"time: tests {time.monotonic() - t0:.0f} s")


# ---- sessions -----------------------------------------------------------------------------------

@python_session("3.10")
def np2(session):
    """Python 3.10, NumPy 2: the primary pass, with the typing checks and the real-window test."""
    with ThreadPoolExecutor(1) as pool:
        gui = pool.submit(gui_env, session)
        wheel = prepare(session, extras=("test", "typing", "dask", "web", "mqtt"))
        gui = gui.result()
    env = None
    if gui:
        session.run(str(gui / "bin" / "python"), "-m", "pip", "install", "-q", "--no-deps",
                    "--force-reinstall", str(wheel), external=True, silent=True)
        env = {"QUARRIN_GUI_PYTHON": str(gui / "bin" / "python")}
    pytest(session, env=env)


@python_session("3.10")
def np1(session):
    """Python 3.10, NumPy 1.26, the same wheel as np2."""
    prepare(session, numpy="numpy==1.26.*")
    pytest(session)


@python_session("3.11")
def py311(session):
    """Python 3.11, installed from the sdist, as a release would be."""
    prepare(session, kind="sdist")
    pytest(session)


@python_session("3.12")
def py312(session):
    """Python 3.12."""
    prepare(session)
    pytest(session)


@python_session("3.13")
def py313(session):
    """Python 3.13."""
    prepare(session)
    pytest(session)


@python_session("3.10")
def asan(session):
    """The sanitizer build, run with libasan preloaded; any report fails the session."""
    prepare(session, kind="sanitize")
    pytest(session, env=sanitizer_env(), log=REPO / "build" / "sanitizer-asan.log")


@python_session("3.10")
def demo(session):
    """scripts/demo.py against the installed package, with the web view (and so H.264); arguments
    go to it."""
    prepare(session, extras=("web",))
    session.run("python", "scripts/demo.py", *session.posargs)


if __name__ == "__main__":
    # scripts/dev-build.sh --sanitize prints these settings for an in-place sanitizer build.
    for key, value in sanitizer_env().items():
        print(f"{key}={value}")
