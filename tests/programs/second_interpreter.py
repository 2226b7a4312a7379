"""A second interpreter's import of the module is refused; the first one's module stays usable.

Usage: second_interpreter.py FIRST_FAILS   (1: the first import fails, for caputil is blocked)
"""
import sys
from pathlib import Path

import _xxsubinterpreters as interpreters

from report import report

if sys.argv[1] == "1":
    sys.modules["caputil"] = None
try:
    import quarrin.snapwell  # noqa: F401
    first = "ok"
except ImportError as exc:
    first = type(exc).__name__
if sys.modules.get("caputil", 0) is None:
    sys.modules.pop("caputil")
sys.stdout.flush()
sub = interpreters.create()
interpreters.run_string(sub, (Path(__file__).parent / "sub_import.py").read_text())
interpreters.destroy(sub)
import quarrin.snapwell as m  # noqa: E402

report(first=first, usable=callable(m.vcapture))
