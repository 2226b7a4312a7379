"""Session-wide checks: the suite must exercise the installed package; tests that hold only on
older Pythons are skipped on newer ones.

scripts/test.sh (the sessions of noxfile.py) installs the package into each environment and runs
that environment's pytest from the repository root. A work-tree build (scripts/dev-build.sh) is
accepted only when the developer asks for it explicitly by naming src/ in PYTHONPATH.
"""
import importlib.util
import os
import sys
from pathlib import Path

import pytest

from fakes import rig  # noqa: F401  (the recorder rig, for every test module)
from webfootage import footage, served  # noqa: F401  (recordings and a server for the web view's tests)
from mqtt_broker import broker  # noqa: F401  (an MQTT broker on 127.0.0.1 for the notifications' tests)

REPO = Path(__file__).resolve().parent.parent
SRC = REPO / "src"


def _tree_requested():
    return any(p and Path(p).resolve() == SRC
               for p in os.environ.get("PYTHONPATH", "").split(os.pathsep))


def pytest_configure(config):
    """A run started in the background or under nohup inherits SIGINT ignored: the tests that
    interrupt a recording (in this process or in a child, which inherits the disposition) need
    Ctrl-C to raise KeyboardInterrupt, as it does in a terminal."""
    import signal

    if signal.getsignal(signal.SIGINT) in (signal.SIG_IGN, signal.SIG_DFL):
        signal.signal(signal.SIGINT, signal.default_int_handler)


def pytest_sessionstart(session):
    # find_spec locates the extension without executing it (only the light package is imported).
    found = importlib.util.find_spec("quarrin.snapwell")
    if found is None or not found.origin:
        raise pytest.UsageError(
            "quarrin.snapwell is not installed for %s; run scripts/test.sh" % sys.executable)
    origin = Path(found.origin).resolve()
    if Path(sys.prefix).resolve() in origin.parents:
        return
    if SRC in origin.parents and _tree_requested():
        return
    raise pytest.UsageError(
        "quarrin.snapwell comes from %s, not from the environment %s; the tests must run "
        "against the installed package (run scripts/test.sh, or set PYTHONPATH=%s to test a "
        "work-tree build on purpose)" % (origin, sys.prefix, SRC))


# Tests that share what takes long to make (a child's whole leak or fuzz run, a browser, clips of
# thousands of frames): all the tests of a module, or all the cases of a test, named here run on one
# pytest-xdist worker, which makes it once; every other test goes wherever a worker is free.
SHARED = ("tests/test_leaks.py", "tests/test_fuzz.py", "tests/test_web_browser.py", "tests/test_faults.py",
          "tests/test_cli.py::test_ctrl_c_finalises_files_and_exits_130",
          "tests/test_batch.py::test_a_stop_signal_stops_the_batch_with_complete_files")


def pytest_xdist_make_scheduler(config, log):
    """--dist loadgroup (noxfile.py): the groups of SHARED, and those of xdist_group marks."""
    if config.getvalue("dist") != "loadgroup":
        return None
    from xdist.scheduler import LoadGroupScheduling

    class Scheduling(LoadGroupScheduling):
        def _split_scope(self, nodeid):
            for shared in SHARED:
                if nodeid.startswith(shared) and nodeid[len(shared):][:1] in ("", ":", "["):
                    return shared
            return super()._split_scope(nodeid)
    return Scheduling(config, log)


def pytest_collection_modifyitems(items):
    """@pytest.mark.python_before("3.12", reason=...): the test pins the behaviour of the older
    Pythons; from the given version on it is skipped (tests/test_versions.py checks the same
    behaviour on every version).

    @pytest.mark.only_in("np2", ...) and @pytest.mark.not_in("asan", ...): under the test matrix
    (noxfile.py names the session in QUARRIN_SESSION) the test runs only in, or not in, those
    sessions; a plain pytest run runs it. What depends on no Python or NumPy version (a page in
    a browser) needs one session; what runs no compiled code has nothing for the sanitizers."""
    session = os.environ.get("QUARRIN_SESSION")
    for item in items:
        for mark in item.iter_markers("python_before"):
            since = tuple(map(int, mark.args[0].split(".")))
            if sys.version_info[:2] >= since:
                item.add_marker(pytest.mark.skip(
                    reason="Python %s+: %s" % (mark.args[0], mark.kwargs["reason"])))
        if session is None:
            continue
        only = item.get_closest_marker("only_in")
        if only is not None and session not in only.args:
            item.add_marker(pytest.mark.skip(reason="runs in the %s session%s" % (
                " and ".join(only.args), "s" if len(only.args) > 1 else "")))
        unwanted = item.get_closest_marker("not_in")
        if unwanted is not None and session in unwanted.args:
            item.add_marker(pytest.mark.skip(reason="not run in the %s session" % session))


@pytest.fixture(autouse=True)
def _own_working_directory(tmp_path_factory, monkeypatch):
    """Every test runs in an empty directory of its own: nothing lands in the work tree, and a
    child interpreter whose sys.path begins with the working directory (python -c) cannot pick
    up the work tree's quarrin/ instead of the installed package."""
    monkeypatch.chdir(tmp_path_factory.mktemp("cwd"))


def pytest_terminal_summary(terminalreporter):
    """With QUARRIN_FAULT_MATRIX set: the fault-injection matrix of tests/test_faults.py."""
    matrix = getattr(sys.modules.get("test_faults"), "MATRIX", None)
    if not os.environ.get("QUARRIN_FAULT_MATRIX") or not matrix:
        return
    kinds = sorted({kind for _, _, kind in matrix})
    terminalreporter.write_sep("-", "fault injection: runs / lost rows / phantom rows")
    terminalreporter.write_line("%-8s %-20s" % ("", "site") + "".join("%16s" % k for k in kinds))
    for scenario, site in sorted({key[:2] for key in matrix}):
        cells = ["%d / %d / %d" % tuple(matrix[scenario, site, k]) if (scenario, site, k) in matrix else "-"
                 for k in kinds]
        terminalreporter.write_line("%-8s %-20s" % (scenario, site) + "".join("%16s" % c for c in cells))
