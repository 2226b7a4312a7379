"""Loading quarrin.snapwell: import checks, module contents and function objects.

Every case runs in a fresh interpreter (the module is a process-wide singleton that cannot be
unloaded), started with the current environment's Python from an empty working directory so that
only the installed package (or an explicitly requested work-tree build) can be found. The child
reports back one JSON line prefixed with RESULT.
"""
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

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

# Prepended to every child script.
PRELUDE = """\
import json, sys, traceback
def report(**kw):
    sys.stdout.write("RESULT " + json.dumps(kw) + "\\n")
    sys.stdout.flush()
def describe(exc):
    return {"type": type(exc).__name__, "msg": str(exc),
            "tb": [[f.name, f.filename] for f in traceback.extract_tb(exc.__traceback__)]}
"""


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("import")


def run_child(cwd, code, *, args=(), env=None, timeout=180):
    """Runs code in a fresh interpreter and returns the keyword arguments of its report()."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run([sys.executable, *args, "-c", PRELUDE + textwrap.dedent(code)],
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
    r = run_child(workdir, """
        import quarrin
        report(loaded=[m for m in ("quarrin.snapwell", "cv2", "numpy", "matplotlib")
                       if m in sys.modules])
    """)
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
        path.write_text("raise ModuleNotFoundError(%r, name=%r)\n"
                        % ("No module named '%s'" % name, name))
    return dirs


CAPI_KEY = "numpy._core._multiarray_umath"


@pytest.mark.parametrize("dep, hide, restore, exc_type, msg_start", [
    pytest.param("caputil", "sys.modules['caputil'] = None", "del sys.modules['caputil']",
                 "ModuleNotFoundError", "import of caputil halted", id="caputil-blocked"),
    pytest.param("caputil", "sys.path.insert(0, SHADOW)", "sys.path.remove(SHADOW)",
                 "ModuleNotFoundError", "No module named 'caputil'", id="caputil-absent"),
    pytest.param("matplotlib", "sys.path.insert(0, SHADOW)", "sys.path.remove(SHADOW)",
                 "ModuleNotFoundError", "No module named 'matplotlib'", id="matplotlib-absent"),
    pytest.param("cv2", "sys.modules['cv2'] = None", "del sys.modules['cv2']",
                 "ModuleNotFoundError", "import of cv2 halted", id="cv2-blocked"),
    # NumPy's C-API table missing: the NumPy check fails with its own message.
    pytest.param("numpy", "import numpy, types; saved = sys.modules.get(%r); "
                 "sys.modules[%r] = types.ModuleType(%r)" % ((CAPI_KEY,) * 3),
                 "sys.modules.pop(%r); saved is None or sys.modules.__setitem__(%r, saved)"
                 % (CAPI_KEY, CAPI_KEY),
                 "ImportError", "numpy.core.multiarray failed to import", id="numpy-capi"),
])
def test_failed_import_then_recovery(workdir, shadow_dir, dep, hide, restore, exc_type,
                                     msg_start):
    r = run_child(workdir, """
        import importlib
        SHADOW = %r
        %s
        try:
            import quarrin.snapwell
        except BaseException as exc:
            first = describe(exc)
        else:
            first = None
        registered = "quarrin.snapwell" in sys.modules
        %s
        importlib.invalidate_caches()
        import quarrin.snapwell as m
        report(first=first, registered=registered, usable=callable(m.vcapture),
               dep_bound=getattr(m, %r, None) is sys.modules.get(%r),
               same=sys.modules["quarrin.snapwell"] is m)
    """ % (str(shadow_dir.get(dep, "")), hide, restore,
           {"numpy": "np", "matplotlib": "colors"}.get(dep, dep),
           {"numpy": "numpy", "matplotlib": "matplotlib.colors"}.get(dep, dep)))
    first = r["first"]
    assert first is not None, "import succeeded although %s was unavailable" % dep
    assert (first["type"], first["msg"][:len(msg_start)]) == (exc_type, msg_start)
    assert INIT_ENTRY in first["tb"]
    assert not r["registered"]
    assert r["usable"] and r["dep_bound"] and r["same"]


# --- the module is a singleton -----------------------------------------------------------------

@pytest.mark.parametrize("again", [
    pytest.param("del sys.modules['quarrin.snapwell']; "
                 "m2 = importlib.import_module('quarrin.snapwell')", id="reimport"),
    pytest.param("m2 = importlib.reload(m)", id="reload"),
])
def test_second_load_returns_same_module(workdir, again):
    r = run_child(workdir, """
        import importlib
        import quarrin.snapwell as m
        body = dict(m.__dict__)
        m.marker = "kept"
        m.cv2 = "replaced"
        %s
        report(same=m2 is m, registered=sys.modules["quarrin.snapwell"] is m,
               marker=getattr(m2, "marker", None), cv2=m2.cv2,
               functions_kept=all(m2.__dict__[f] is body[f] for f in
                                  ("check_motion_rgb", "check_motion_gray", "vcapture",
                                   "__test__", "np", "caputil")))
    """ % again)
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


@pytest.fixture(scope="module")
def facts(workdir):
    """Everything about a freshly imported module, gathered in one child."""
    return run_child(workdir, """
        import builtins, inspect, pydoc, types
        import argparse, csv, datetime, os, re, time
        import numpy, matplotlib.colors
        import quarrin.snapwell as m
        GLOBALS = %r
        IMPORT_SYSTEM = %r
        out = {
            "globals": {k: m.__dict__.get(k, KeyError) is eval(v) for k, v in GLOBALS.items()},
            "order": [k for k in m.__dict__ if k not in IMPORT_SYSTEM],
            "doc_is_none": m.__doc__ is None,
            "test_is_empty_dict": type(m.__dict__.get("__test__")) is dict
                                  and m.__test__ == {},
            "shared_defaults": m.check_motion_rgb.__defaults__
                               is m.check_motion_gray.__defaults__,
            "functions": {},
        }
        for name in ("check_motion_rgb", "check_motion_gray", "vcapture"):
            f = getattr(m, name)
            c = f.__code__
            try:
                sig = str(inspect.signature(f))
            except Exception as exc:
                sig = "%%s: %%s" %% (type(exc).__name__, exc)
            out["functions"][name] = {
                "name": f.__name__, "qualname": f.__qualname__, "module": f.__module__,
                "doc_is_none": f.__doc__ is None, "globals_is_dict": f.__globals__ is m.__dict__,
                "defaults": repr(f.__defaults__), "is_code": isinstance(c, types.CodeType),
                "code": {k: getattr(c, k) for k in (
                    "co_argcount", "co_nlocals", "co_posonlyargcount", "co_kwonlyargcount",
                    "co_varnames", "co_name", "co_filename", "co_firstlineno", "co_flags")},
                "signature": sig,
                "help": pydoc.render_doc(f, renderer=pydoc.plaintext),
            }
        report(**out)
    """ % (GLOBALS, sorted(IMPORT_SYSTEM)))


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
    r = run_child(workdir, """
        import builtins
        import quarrin.snapwell as m
        seen = []
        builtins.print = lambda *a, **k: seen.append(a)
        n = m.vcapture(%r, "out.avi", "MJPG", 10, False, 0, 0, 0, 0, 8, 8, 0.0, 0.0, 0,
                       False, False, 25, 100, 21, False, False, None, None, 0, 0, 1.0)
        report(n=n, seen=len(seen))
    """ % str(bad))
    lines = r["_stdout"].splitlines()
    assert (r["n"], r["seen"]) == (0, 0)
    assert "Input from file %s Open? False" % bad in lines
    assert "Could not open video file %s for reading." % bad in lines


# --- version check --------------------------------------------------------------------------

@pytest.fixture(scope="module")
def fake_version(workdir):
    """Builds a preload library whose Py_GetVersion reports the given text once the child sets
    FAKE_VERSION_ON (before that it answers with the real version, so that the dependencies,
    some of which check the version themselves, load normally)."""
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if cc is None:
        pytest.skip("no C compiler to build the version preload library")
    built = {}

    def build(text):
        if text not in built:
            src = workdir / ("ver%d.c" % len(built))
            lib = src.with_suffix(".so")
            src.write_text(
                "#define _GNU_SOURCE\n#include <dlfcn.h>\n#include <stdlib.h>\n"
                "const char *Py_GetVersion(void) {\n"
                "    if (getenv(\"FAKE_VERSION_ON\")) return \"%s\";\n"
                "    return ((const char *(*)(void))dlsym(RTLD_NEXT, \"Py_GetVersion\"))();\n"
                "}\n" % text)
            subprocess.run([cc, "-shared", "-fPIC", "-o", str(lib), str(src), "-ldl"],
                           check=True)
            built[text] = str(lib)
        return {"LD_PRELOAD": built[text]}
    return build


VERSION_CHILD = """
    import os, warnings
    import argparse, csv, numpy, cv2, matplotlib.colors, caputil
    os.environ["FAKE_VERSION_ON"] = "1"
    try:
        with warnings.catch_warnings(record=True) as caught:
            if not sys.warnoptions:  # keep -W error::RuntimeWarning in force
                warnings.simplefilter("always")
            import quarrin.snapwell
    except BaseException as exc:
        report(error=describe(exc), warnings=[])
    else:
        report(error=None, warnings=[[w.category.__name__, str(w.message)] for w in caught
                                     if "Python version" in str(w.message)])
"""
MISMATCH = ("compile time Python version 3.10 of module 'quarrin.snapwell' does not match "
            "runtime version 3.11")


@pytest.mark.parametrize("version, expected", [
    ("3.11.4 (main) [GCC]", [["RuntimeWarning", MISMATCH]]),
    ("3.10.0 (main) [GCC]", []),
    ("3.10.14 (main) [GCC]", []),
])
def test_version_warning(workdir, fake_version, version, expected):
    r = run_child(workdir, VERSION_CHILD, env=fake_version(version))
    assert r["error"] is None
    assert r["warnings"] == expected


def test_version_warning_as_error(workdir, fake_version):
    r = run_child(workdir, VERSION_CHILD, args=["-W", "error::RuntimeWarning"],
                  env=fake_version("3.11.4 (main) [GCC]"))
    assert (r["error"]["type"], r["error"]["msg"]) == ("RuntimeWarning", MISMATCH)
    # Raised before the NumPy checks: no import-step traceback entry yet.
    assert INIT_ENTRY not in r["error"]["tb"]


# --- one interpreter per process ---------------------------------------------------------------

@pytest.mark.parametrize("first_fails", [False, True], ids=["after-import", "after-failure"])
def test_second_interpreter_rejected(workdir, first_fails):
    r = run_child(workdir, """
        import _xxsubinterpreters as interpreters
        if %r:
            sys.modules["caputil"] = None
        try:
            import quarrin.snapwell
            first = "ok"
        except ImportError as exc:
            first = type(exc).__name__
        sys.modules.pop("caputil", None) if sys.modules.get("caputil", 0) is None else None
        sys.stdout.flush()
        sub = interpreters.create()
        interpreters.run_string(sub, '''if 1:
            import sys
            try:
                import quarrin.snapwell
            except BaseException as exc:
                sys.stdout.write("SUB %%s: %%s\\\\n" %% (type(exc).__name__, exc))
            else:
                sys.stdout.write("SUB imported\\\\n")
            sys.stdout.flush()
        ''')
        interpreters.destroy(sub)
        import quarrin.snapwell as m
        report(first=first, usable=callable(m.vcapture))
    """ % first_fails)
    assert r["first"] == ("ModuleNotFoundError" if first_fails else "ok")
    assert "SUB ImportError: " + INTERPRETER_CHANGE in r["_stdout"].splitlines()
    assert r["usable"]


# --- module creation from unusual import records -------------------------------------------------

@pytest.mark.parametrize("make_record, expected", [
    pytest.param("importlib.util.spec_from_file_location('quarrin.snapwell', ORIGIN)",
                 {"name": "quarrin.snapwell", "file": True, "loader": True,
                  "package": "quarrin", "path": None}, id="plain"),
    pytest.param("importlib.util.spec_from_file_location('quarrin.snapwell', ORIGIN, "
                 "submodule_search_locations=['/nowhere'])",
                 {"name": "quarrin.snapwell", "file": True, "loader": True,
                  "package": "quarrin.snapwell", "path": ["/nowhere"]}, id="search-locations"),
    pytest.param("types.SimpleNamespace(name='quarrin.snapwell', origin=ORIGIN)",
                 {"name": "quarrin.snapwell", "file": True, "loader": None,
                  "package": None, "path": None}, id="bare-record"),
    pytest.param("importlib.util.spec_from_file_location('snapwell', ORIGIN)",
                 {"name": "snapwell", "file": True, "loader": True,
                  "package": "", "path": None}, id="other-name"),
])
def test_module_creation(workdir, make_record, expected):
    # The loader's own primitives, so that only the module's create and exec steps fill in the
    # module attributes (module_from_spec would set them again from the record).
    r = run_child(workdir, """
        import _imp, importlib.util, types
        ORIGIN = importlib.util.find_spec("quarrin.snapwell").origin
        record = %s
        m = _imp.create_dynamic(record)
        _imp.exec_dynamic(m)
        loader = m.__dict__.get("__loader__", KeyError)
        report(name=m.__name__, file=m.__dict__.get("__file__") == ORIGIN,
               loader=None if loader is None else loader is getattr(record, "loader", 0),
               package=m.__dict__.get("__package__"), path=m.__dict__.get("__path__"),
               registered=sys.modules.get("quarrin.snapwell") is m,
               usable=callable(m.vcapture))
    """ % make_record)
    assert r["registered"] and r["usable"]
    assert {k: r[k] for k in expected} == expected


def test_registration_keeps_an_existing_entry(workdir):
    r = run_child(workdir, """
        import importlib.util
        ORIGIN = importlib.util.find_spec("quarrin.snapwell").origin
        sys.modules["quarrin.snapwell"] = "taken"
        record = importlib.util.spec_from_file_location("snapwell", ORIGIN)
        m = importlib.util.module_from_spec(record)
        record.loader.exec_module(m)
        report(entry=sys.modules["quarrin.snapwell"], usable=callable(m.vcapture))
    """)
    assert (r["entry"], r["usable"]) == ("taken", True)
