"""What the module does on each Python version it is built for (3.10 to 3.13): the version check
at import, and a second interpreter in the same process.

The module is built separately for every Python version, so the version it compares with is the
running one. Every case runs in a fresh interpreter from an empty working directory.
"""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
import parts

RUNNING = sys.version_info[:2]
INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.")
NO_SUBINTERPRETERS = "module quarrin.snapwell does not support loading in subinterpreters"


def run_child(code, env=None, args=()):
    proc = subprocess.run([sys.executable, *args, "-c", textwrap.dedent(code)],
                          env={**os.environ, **(env or {})}, capture_output=True, text=True,
                          timeout=180)
    assert proc.returncode == 0, "child failed (exit %d)\n%s\n%s" % (
        proc.returncode, proc.stdout, proc.stderr)
    return proc.stdout.splitlines()


def preload(lib):
    """LD_PRELOAD with `lib` added after whatever is preloaded already (a sanitizer runtime must
    stay first)."""
    current = os.environ.get("LD_PRELOAD", "").strip()
    return {"LD_PRELOAD": "%s %s" % (current, lib) if current else lib}


# --- version check at import -----------------------------------------------------------------

@pytest.fixture(scope="module")
def fake_version(tmp_path_factory):
    """A preload library whose Py_GetVersion reports $FAKE_VERSION once the child has imported
    the dependencies (some of them check the version themselves)."""
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if cc is None:
        parts.missing("no C compiler to build the version preload library")
    src = tmp_path_factory.mktemp("version") / "fakever.c"
    src.write_text(textwrap.dedent("""\
        #define _GNU_SOURCE
        #include <dlfcn.h>
        #include <stdlib.h>
        const char *Py_GetVersion(void) {
            const char *fake = getenv("FAKE_VERSION");
            if (fake && getenv("FAKE_VERSION_ON")) return fake;
            return ((const char *(*)(void))dlsym(RTLD_NEXT, "Py_GetVersion"))();
        }
    """))
    lib = src.with_suffix(".so")
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(lib), str(src), "-ldl"], check=True)
    return str(lib)


def other_minor():
    return RUNNING[1] + 1 if RUNNING[1] < 13 else RUNNING[1] - 1


@pytest.mark.parametrize("fake, warns", [
    pytest.param("%d.%d.0 (main) [GCC]" % RUNNING, False, id="same-minor"),
    pytest.param("%d.%d.99 (main) [GCC]" % RUNNING, False, id="other-micro"),
    pytest.param("3.%d.1 (main) [GCC]" % other_minor(), True, id="other-minor"),
])
def test_version_check_compares_with_the_running_version(fake_version, fake, warns):
    lines = run_child("""
        import os, warnings
        import argparse, csv, numpy, cv2, matplotlib.colors, caputil
        os.environ["FAKE_VERSION_ON"] = "1"
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import quarrin.snapwell
        for w in caught:
            if "Python version" in str(w.message):
                print("WARNING", w.category.__name__, w.message)
        print("IMPORTED", callable(quarrin.snapwell.vcapture))
    """, env={**preload(fake_version), "FAKE_VERSION": fake})
    expected = ["WARNING RuntimeWarning compile time Python version %d.%d of module "
                "'quarrin.snapwell' does not match runtime version 3.%d"
                % (RUNNING + (other_minor(),))] if warns else []
    assert [line for line in lines if line.startswith("WARNING")] == expected
    assert "IMPORTED True" in lines


# --- a second interpreter ---------------------------------------------------------------------

SUBINTERPRETER = """
    import sys
    try:
        import _interpreters as interpreters          # 3.13
    except ImportError:
        import _xxsubinterpreters as interpreters     # 3.10 to 3.12
    KIND = %r
    import quarrin.snapwell
    if sys.version_info >= (3, 13):
        sub = interpreters.create(KIND)
    elif sys.version_info >= (3, 12):
        sub = interpreters.create(isolated=(KIND == "isolated"))
    else:
        sub = interpreters.create()       # shares the main interpreter's GIL
    sys.stdout.flush()
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
    print("MAIN", callable(quarrin.snapwell.vcapture))
"""


@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_second_interpreter(kind):
    if kind == "isolated" and RUNNING < (3, 12):
        pytest.skip("interpreters with their own GIL exist from Python 3.12 on")
    lines = run_child(SUBINTERPRETER % kind)
    # From 3.12 the interpreter itself refuses an isolated subinterpreter, since the module
    # declares no per-interpreter support; an interpreter sharing the GIL gets as far as the
    # module's own check, which admits one interpreter per process.
    message = NO_SUBINTERPRETERS if kind == "isolated" else INTERPRETER_CHANGE
    assert lines == ["SUB ImportError: " + message, "MAIN True"]


# --- signatures as help() shows them ------------------------------------------------------------

@pytest.mark.parametrize("name, params", [
    ("check_motion_gray", "gray_cur, blurred_prev, blurred_cur, threshold, min_area, "
                          "kernel_width=21, show_diff=False"),
    ("check_motion_rgb", "current, blurred_prev, blurred_cur, threshold, min_area, "
                         "kernel_width=21, show_diff=False"),
    ("vcapture", "input_, output, fmt, fps, interactive, width, height, roi_x, roi_y, roi_w, "
                 "roi_h, interval, duration, max_frames, motion_based, config, threshold, "
                 "min_area, kernel_width, timestamp, show_diff, tb, tc, tx, ty, fs"),
])
def test_signature_in_help(name, params):
    # From 3.13 pydoc puts long signatures one parameter per line; the text is the same.
    import inspect
    import pydoc
    import re
    from quarrin import snapwell
    f = getattr(snapwell, name)
    assert str(inspect.signature(f)) == "(%s)" % params
    shown = pydoc.render_doc(f, renderer=pydoc.plaintext)
    shown = re.sub(r"\s*\)", ")", re.sub(r",\s+", ", ", re.sub(r"\(\s+", "(", shown)))
    assert "%s(%s)" % (name, params) in shown
