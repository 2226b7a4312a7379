"""Loading quarrin.snapwell: import checks, module contents and function objects.

Every case runs in a fresh interpreter (the module is a process-wide singleton that cannot be
unloaded), started with the current environment's Python from an empty working directory so that
only the installed package (or an explicitly requested work-tree build) can be found. The child
reports back one JSON line prefixed with RESULT. The children are the programs in
tests/programs/.
"""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import videos
import parts

MOTION_PARAMS = ["blurred_prev", "blurred_cur", "threshold", "min_area", "kernel_width",
                 "show_diff"]
VCAPTURE_PARAMS = [
    "input_", "output", "fmt", "fps", "interactive", "width", "height", "roi_x", "roi_y",
    "roi_w", "roi_h", "interval", "duration", "max_frames", "motion_based", "config",
    "threshold", "min_area", "kernel_width", "timestamp", "show_diff", "tb", "tc", "tx", "ty",
    "fs",
]
FUNCTIONS = {
    # name: (parameters, first line)
    "check_motion_rgb": (["current"] + MOTION_PARAMS, 21),
    "check_motion_gray": (["gray_cur"] + MOTION_PARAMS, 34),
    "vcapture": (VCAPTURE_PARAMS, 80),
}
INIT_ENTRY = ["init quarrin.snapwell", "quarrin/snapwell"]
INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.")

PROGRAMS = Path(__file__).parent / "programs"


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("import")


def run_child(cwd, program, *argv, args=(), env=None, timeout=180):
    """Runs a program of tests/programs/ in a fresh interpreter and returns the keyword arguments
    of its report()."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run([sys.executable, *args, str(PROGRAMS / program), *map(str, argv)],
                          cwd=str(cwd), env=full_env, capture_output=True, text=True,
                          timeout=timeout)
    results = [line[len("RESULT "):] for line in proc.stdout.splitlines()
               if line.startswith("RESULT ")]
    assert proc.returncode == 0 and len(results) == 1, (
        "child failed (exit %d)\n--- stdout\n%s\n--- stderr\n%s"
        % (proc.returncode, proc.stdout, proc.stderr))
    out = json.loads(results[0])
    out["_stdout"] = proc.stdout
    return out


def test_package_import_is_light(workdir):
    r = run_child(workdir, "light_import.py")
    assert r["loaded"] == []


# --- failed imports and recovery -------------------------------------------------------------

SHADOWED = {
    # A directory first on sys.path that hides a dependency the way a missing install does.
    "caputil": ("caputil.py",),
    "matplotlib": ("matplotlib", "__init__.py"),
}


@pytest.fixture(scope="module")
def shadow_dir(workdir):
    dirs = {}
    for name, parts in SHADOWED.items():
        dirs[name] = workdir / ("shadow-" + name)
        path = dirs[name].joinpath(*parts)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text('raise ModuleNotFoundError(f"No module named {__name__!r}", name=__name__)\n')
    return dirs


@pytest.mark.parametrize("dep, how, exc_type, msg_start, recorded", [
    pytest.param("caputil", "blocked", "ModuleNotFoundError", "import of caputil halted", False, id="caputil-blocked"),
    pytest.param("caputil", "shadowed", "ModuleNotFoundError", "No module named 'caputil'", False,
                 id="caputil-absent"),
    pytest.param("matplotlib", "shadowed", "ModuleNotFoundError", "No module named 'matplotlib'", False,
                 id="matplotlib-absent"),
    # The front end records without matplotlib; the module's import still needs it.
    pytest.param("matplotlib", "shadowed", "ModuleNotFoundError", "No module named 'matplotlib'", True,
                 id="matplotlib-absent-after-recording"),
    pytest.param("cv2", "blocked", "ModuleNotFoundError", "import of cv2 halted", False, id="cv2-blocked"),
    # NumPy's C-API table missing: the NumPy check fails with its own message.
    pytest.param("numpy", "capi", "ImportError", "numpy.core.multiarray failed to import", False, id="numpy-capi"),
])
def test_failed_import_then_recovery(workdir, shadow_dir, dep, how, exc_type, msg_start, recorded):
    recording = (videos.moving_clip(workdir / "failed-in.avi", 3), workdir / "failed-out.avi") if recorded else ()
    r = run_child(workdir, "failed_import.py", dep, how, shadow_dir.get(dep, ""), *recording)
    first = r["first"]
    assert first is not None, "import succeeded although %s was unavailable" % dep
    assert (first["type"], first["msg"][:len(msg_start)]) == (exc_type, msg_start)
    assert INIT_ENTRY in first["tb"]
    assert not r["registered"]
    assert r["usable"] and r["dep_bound"] and r["same"]


# --- the module is a singleton -----------------------------------------------------------------

@pytest.mark.parametrize("again", ["reimport", "reload"])
def test_second_load_returns_same_module(workdir, again):
    r = run_child(workdir, "second_load.py", again)
    assert r["same"] and r["registered"] and r["functions_kept"]
    assert (r["marker"], r["cv2"]) == ("kept", "replaced")


# --- module contents and function objects ----------------------------------------------------

GLOBALS = {
    "__builtins__": "builtins",
    "sys": "sys",
    "os": "os",
    "argparse": "argparse",
    "time": "time",
    "re": "re",
    "datetime": "datetime.datetime",
    "timedelta": "datetime.timedelta",
    "csv": "csv",
    "np": "numpy",
    "cv2": "sys.modules['cv2']",
    "colors": "matplotlib.colors",
    "caputil": "sys.modules['caputil']",
}
IMPORT_SYSTEM = {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__"}


@pytest.fixture(scope="module", params=["fresh", "after-recording"])
def facts(workdir, request):
    """Everything about a freshly imported module, gathered in one child; or about the module
    imported after the front end recorded (which loads it for its recorder alone)."""
    recording = ()
    if request.param == "after-recording":
        recording = (videos.moving_clip(workdir / "facts-in.avi", 3), workdir / "facts-out.avi")
    return run_child(workdir, "facts.py", json.dumps(GLOBALS), json.dumps(sorted(IMPORT_SYSTEM)), *recording)


def test_recording_loads_neither_matplotlib_nor_the_module_namespace(facts):
    assert facts["recorded"] in (None, [])


@pytest.mark.parametrize("name", list(GLOBALS))
def test_module_global(facts, name):
    assert facts["globals"][name], "%s is not %s" % (name, GLOBALS[name])


def test_module_namespace(facts):
    # The body binds its names in this order and nothing else; the import system adds only its
    # usual attributes (a plain extension module has no __path__).
    assert facts["order"] == ["__builtins__", "sys", "os", "argparse", "time", "re", "datetime",
                              "timedelta", "csv", "np", "cv2", "colors", "caputil",
                              "check_motion_rgb", "check_motion_gray", "vcapture", "__test__"]
    assert facts["doc_is_none"] and facts["test_is_empty_dict"]


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_function_object(facts, name):
    params, firstline = FUNCTIONS[name]
    f = facts["functions"][name]
    assert (f["name"], f["qualname"], f["module"]) == (name, name, "quarrin.snapwell")
    assert f["doc_is_none"] and f["globals_is_dict"] and f["is_code"]
    assert f["defaults"] == ("None" if name == "vcapture" else "(21, False)")
    assert f["code"] == {
        "co_argcount": len(params), "co_nlocals": len(params), "co_posonlyargcount": 0,
        "co_kwonlyargcount": 0, "co_varnames": params, "co_name": name,
        "co_filename": "quarrin/snapwell", "co_firstlineno": firstline,
        "co_flags": 0x1 | 0x2,  # CO_OPTIMIZED | CO_NEWLOCALS
    }


def test_motion_checks_share_defaults(facts):
    assert facts["shared_defaults"]


@pytest.mark.python_before("3.13", reason="pydoc wraps long signatures")
@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_signature_and_help(facts, name):
    params, _ = FUNCTIONS[name]
    shown = ["kernel_width=21" if p == "kernel_width" and name != "vcapture"
             else "show_diff=False" if p == "show_diff" and name != "vcapture" else p
             for p in params]
    expected = "(%s)" % ", ".join(shown)
    f = facts["functions"][name]
    assert f["signature"] == expected
    assert name + expected in f["help"]


# --- print bound at import ---------------------------------------------------------------------

def test_print_bound_at_import(workdir):
    bad = workdir / "not-a-video.avi"
    bad.write_bytes(b"this is not a video\n")
    r = run_child(workdir, "print_bound.py", bad)
    lines = r["_stdout"].splitlines()
    assert (r["n"], r["seen"]) == (0, 0)
    assert "Input from file %s Open? False" % bad in lines
    assert "Could not open video file %s for reading." % bad in lines


# --- version check --------------------------------------------------------------------------

@pytest.fixture(scope="module")
def fake_version(workdir):
    """Builds programs/fake_version.c as a preload library whose Py_GetVersion reports the given
    text once the child sets FAKE_VERSION_ON."""
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if cc is None:
        parts.missing("no C compiler to build the version preload library")
    built = {}

    def build(text):
        if text not in built:
            lib = workdir / f"ver{len(built)}.so"
            subprocess.run([cc, "-shared", "-fPIC", f"-DFAKE_VERSION={json.dumps(text)}", "-o", str(lib),
                            str(PROGRAMS / "fake_version.c"), "-ldl"], check=True)
            built[text] = str(lib)
        # Appended, so that a preloaded sanitizer runtime stays first.
        preload = os.environ.get("LD_PRELOAD", "")
        return {"LD_PRELOAD": (preload + " " if preload else "") + built[text]}
    return build


MISMATCH = ("compile time Python version 3.10 of module 'quarrin.snapwell' does not match "
            "runtime version 3.11")


# Both expect a module built for 3.10.
BUILT_FOR_310 = pytest.mark.python_before("3.11", reason="expects a module built for 3.10")


@BUILT_FOR_310
@pytest.mark.parametrize("version, expected", [
    ("3.11.4 (main) [GCC]", [["RuntimeWarning", MISMATCH]]),
    ("3.10.0 (main) [GCC]", []),
    ("3.10.14 (main) [GCC]", []),
])
def test_version_warning(workdir, fake_version, version, expected):
    r = run_child(workdir, "version_check.py", env=fake_version(version))
    assert r["error"] is None
    assert r["warnings"] == expected


@BUILT_FOR_310
def test_version_warning_as_error(workdir, fake_version):
    r = run_child(workdir, "version_check.py", args=["-W", "error::RuntimeWarning"],
                  env=fake_version("3.11.4 (main) [GCC]"))
    assert (r["error"]["type"], r["error"]["msg"]) == ("RuntimeWarning", MISMATCH)
    # Raised before the NumPy checks: no import-step traceback entry yet.
    assert INIT_ENTRY not in r["error"]["tb"]


# --- one interpreter per process ---------------------------------------------------------------

@pytest.mark.python_before("3.12", reason="3.12+ refuses the subinterpreter itself")
@pytest.mark.parametrize("first_fails", [False, True], ids=["after-import", "after-failure"])
def test_second_interpreter_rejected(workdir, first_fails):
    r = run_child(workdir, "second_interpreter.py", int(first_fails))
    assert r["first"] == ("ModuleNotFoundError" if first_fails else "ok")
    assert "SUB ImportError: " + INTERPRETER_CHANGE in r["_stdout"].splitlines()
    assert r["usable"]


# --- module creation from unusual import records -------------------------------------------------

@pytest.mark.parametrize("record, expected", [
    ("plain", {"name": "quarrin.snapwell", "file": True, "loader": True, "package": "quarrin", "path": None}),
    ("search-locations", {"name": "quarrin.snapwell", "file": True, "loader": True, "package": "quarrin.snapwell",
                          "path": ["/nowhere"]}),
    ("bare-record", {"name": "quarrin.snapwell", "file": True, "loader": None, "package": None, "path": None}),
    ("other-name", {"name": "snapwell", "file": True, "loader": True, "package": "", "path": None}),
], ids=["plain", "search-locations", "bare-record", "other-name"])
def test_module_creation(workdir, record, expected):
    r = run_child(workdir, "module_creation.py", record)
    assert r["registered"] and r["usable"]
    assert {k: r[k] for k in expected} == expected


def test_registration_keeps_an_existing_entry(workdir):
    r = run_child(workdir, "registration.py")
    assert (r["entry"], r["usable"]) == ("taken", True)
