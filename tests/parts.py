"""The parts of this machine that tests need besides the package: a browser, an MQTT broker, an
RTSP server, PyAV, a compiler, the example videos. scripts/setup-system.sh installs all of them.

On a developer's machine a test whose part is missing is skipped with one line. Under CI
(CI=true, as CI runs) it fails instead, naming the part: a CI machine that lost its browser must
not stay green by skipping every page test.
"""
import importlib
import os

import pytest


def under_ci():
    return os.environ.get("CI", "").strip().lower() in ("1", "true", "yes")


def missing(part):
    """The test cannot run without `part` (what is missing and how to get it, in a few words)."""
    if under_ci():
        pytest.fail("CI=true and this machine lacks a part the test needs: " + part, pytrace=False)
    pytest.skip(part, allow_module_level=True)


def module(name, part=None):
    """Imports `name`; when it is not installed, missing(`part`)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        missing(part or "%s is not installed" % name)
